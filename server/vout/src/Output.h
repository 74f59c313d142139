#pragma once
// What every kind of video output does once a session has taken it into use.
#include <cstdint>
#include <string>

#include "Kino/VideoFrame.h"
#include "Orb/InterfaceRef.h"
#include "vout/Records.h"

namespace vireo::server::vout {

// The outcome of one step: an outcome code (Records.h) and its mQTResultCode.
struct Status {
    std::int32_t outcome = kVOutOperationSucceeded;
    std::int32_t code = 0;
    std::string detail;  // for the diagnostics log

    static Status Ok() { return Status{}; }
    static Status Fail(std::int32_t outcome, std::int32_t code, std::string detail) {
        return Status{outcome, code, std::move(detail)};
    }
    bool IsOk() const { return outcome == kVOutOperationSucceeded; }
};

// Checks what a frame says about itself before its pixels are read: sizes in range, a known
// format, rows at least as long as the format needs, and pixel bytes enough for every row.
Status CheckFrame(Kino::IVideoFrame const& frame);

// One output in use. Calls come one at a time (the owner serialises them); Open first, Close
// last. Frames given are not empty and have passed CheckFrame.
class Output {
  public:
    virtual ~Output() = default;
    // Takes the device (a window opens, a directory is made ready).
    virtual Status Open() = 0;
    // Starts a run of frames with its first frame.
    virtual Status Begin(InterfaceRef<Kino::IVideoFrame> const& frame) = 0;
    // One more frame of the run. Returns once the frame has been handed to the output.
    virtual Status Show(InterfaceRef<Kino::IVideoFrame> const& frame) = 0;
    // Ends the run.
    virtual Status End() = 0;
    // Gives the device back (the window closes). Also ends a run still open.
    virtual void Close() = 0;
};

}  // namespace vireo::server::vout

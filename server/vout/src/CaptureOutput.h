#pragma once
// The capture output: each run of blits becomes one capture file (vout/CaptureFile.h) in a
// directory, named "<application>-<YYYYMMDD-HHMMSS>-<pid>-<n>.vcap" (mode 0600). Frames are
// written from the caller's thread straight from the frame's pixels (no copy in between).
#include <string>

#include "Output.h"

namespace vireo::server::vout {

class CaptureOutput : public Output {
  public:
    CaptureOutput(std::string directory, std::string application);
    ~CaptureOutput() override;

    Status Open() override;
    Status Begin(InterfaceRef<Kino::IVideoFrame> const& frame) override;
    Status Show(InterfaceRef<Kino::IVideoFrame> const& frame) override;
    Status End() override;
    void Close() override;

    // The file of the current run, or of the last one once it has ended.
    std::string const& FilePath() const { return mPath; }

  private:
    Status Write(Kino::IVideoFrame const& frame);

    std::string mDirectory;
    std::string mApplication;
    std::string mPath;
    int mFd = -1;
    std::uint64_t mSize = 0;  // bytes of whole frames written so far
    int mLostError = 0;       // the file of the run had to be closed after this error
};

// The capture directory used when none is configured: $VIREO_VOUT_CAPTURE_DIR, else
// ${XDG_DATA_HOME:-$HOME/.local/share}/Vireo/Captures, else ${TMPDIR:-/tmp}/vireo-captures-<uid>.
std::string DefaultCaptureDirectory();

}  // namespace vireo::server::vout

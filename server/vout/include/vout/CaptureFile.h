#pragma once
// The capture output's file: every frame of one run of blits (from "QTVOutBeginBlitting" to
// "QTVOutEndBlitting"), in order, with its pixels exactly as they were received.
//
// Layout (all fields in the machine's byte order):
//   file header, 32 bytes:
//     0  magic (u32)            kCaptureMagic ("VCAP" in memory order)
//     4  version (u32)          1
//     8  headerSize (u32)       32
//     12 frameHeaderSize (u32)  64
//     16 startTime (i64)        microseconds since 1970-01-01 UTC when the run began
//     24 reserved (u64)         0
//   then per frame: a Pix::FrameHeader (64 bytes, Pix/FrameLayout.h) with dataOffset 64 and
//   dataSize = rowBytes * height, then those dataSize bytes: the frame's rows with their
//   padding, as received.
// A file only ever holds whole frames: a frame whose write fails is cut off again.
#include <cstdint>
#include <string>
#include <vector>

#include "Pix/FrameLayout.h"

namespace vireo::server::vout {

constexpr std::uint32_t kCaptureMagic = 0x50414356u;  // "VCAP" in memory order
constexpr std::uint32_t kCaptureVersion = 1;

struct CaptureFileHeader {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t headerSize;
    std::uint32_t frameHeaderSize;
    std::int64_t startTime;
    std::uint64_t reserved;
};
static_assert(sizeof(CaptureFileHeader) == 32, "the capture header is part of the file format");

struct CapturedFrame {
    Pix::FrameHeader header;
    std::vector<std::uint8_t> pixels;  // header.dataSize bytes
};

// Reads a capture file frame by frame; every field is checked before it is used.
class CaptureReader {
  public:
    CaptureReader() = default;
    ~CaptureReader();
    CaptureReader(CaptureReader const&) = delete;
    CaptureReader& operator=(CaptureReader const&) = delete;

    // False with a message when the file cannot be opened or its header is not valid.
    bool Open(std::string const& path, std::string& error);
    CaptureFileHeader const& Header() const { return mHeader; }
    // The next frame: true with `frame`; false at the end (`error` empty) or on a damaged file
    // (`error` says what is wrong).
    bool Next(CapturedFrame& frame, std::string& error);

  private:
    int mFd = -1;
    CaptureFileHeader mHeader{};
};

}  // namespace vireo::server::vout

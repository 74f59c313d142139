#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Pix/Pix.h"
#include "vout/CaptureFile.h"

namespace vireo::server::vout {
namespace {

// Reads exactly `size` bytes. 1: read; 0: the file ended before the first byte; -1: it ended
// within them or failed.
int ReadExactly(int fd, void* data, std::size_t size) {
    std::size_t done = 0;
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (done < size) {
        ssize_t const n = ::read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return done == 0 && n == 0 ? 0 : -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return 1;
}

}  // namespace

CaptureReader::~CaptureReader() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

bool CaptureReader::Open(std::string const& path, std::string& error) {
    if (mFd >= 0) {
        ::close(mFd);
    }
    mFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (mFd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (ReadExactly(mFd, &mHeader, sizeof mHeader) != 1) {
        error = "the file is shorter than its header";
        return false;
    }
    if (mHeader.magic != kCaptureMagic || mHeader.version != kCaptureVersion ||
        mHeader.headerSize != sizeof(CaptureFileHeader) ||
        mHeader.frameHeaderSize != sizeof(Pix::FrameHeader)) {
        error = "not a capture file of version 1";
        return false;
    }
    return true;
}

bool CaptureReader::Next(CapturedFrame& frame, std::string& error) {
    error.clear();
    if (mFd < 0) {
        error = "no file open";
        return false;
    }
    int const got = ReadExactly(mFd, &frame.header, sizeof frame.header);
    if (got == 0) {
        return false;
    }
    Pix::FrameHeader const& h = frame.header;
    std::uint64_t const minimumRow = Pix::MinimumRowBytes(h.fourcc, h.width);
    if (got < 0 || h.magic != Pix::kFrameMagic || h.version != Pix::kFrameVersion ||
        h.headerSize != sizeof(Pix::FrameHeader) || h.dataOffset != sizeof(Pix::FrameHeader) ||
        h.width == 0 || h.width > Pix::kMaxDimension || h.height == 0 ||
        h.height > Pix::kMaxDimension || minimumRow == 0 || h.rowBytes < minimumRow ||
        h.dataSize != static_cast<std::uint64_t>(h.rowBytes) * h.height) {
        error = "damaged frame header";
        return false;
    }
    frame.pixels.resize(static_cast<std::size_t>(h.dataSize));
    if (ReadExactly(mFd, frame.pixels.data(), frame.pixels.size()) != 1) {
        error = "the file ends within a frame";
        return false;
    }
    return true;
}

}  // namespace vireo::server::vout

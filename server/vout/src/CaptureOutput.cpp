#include "CaptureOutput.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ComponentLock.h"
#include "Modes.h"
#include "vout/CaptureFile.h"

namespace vireo::server::vout {
namespace {

std::atomic<unsigned> gFileCounter{0};

// Writes the whole of `parts`; false with errno set when a write fails.
bool WriteAllVectors(int fd, iovec* parts, int count) {
    while (count > 0) {
        ssize_t n = ::writev(fd, parts, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        auto done = static_cast<std::size_t>(n);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<std::uint8_t*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
    return true;
}

std::string TimeStamp(std::chrono::system_clock::time_point when) {
    std::time_t const seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    ::localtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &parts);
    return text;
}

}  // namespace

CaptureOutput::CaptureOutput(std::string directory, std::string application)
    : mDirectory(std::move(directory)), mApplication(std::move(application)) {}

CaptureOutput::~CaptureOutput() {
    Close();
}

Status CaptureOutput::Open() {
    int error = 0;
    if (!MakeDirectories(mDirectory, error)) {
        return Status::Fail(
            kVOutOutputFailed, error,
            "cannot make the capture directory " + mDirectory + ": " + std::strerror(error));
    }
    return Status::Ok();
}

Status CaptureOutput::Begin(InterfaceRef<Kino::IVideoFrame> const& frame) {
    End();
    mLostError = 0;
    Status status = CheckFrame(*frame);
    if (!status.IsOk()) {
        return status;
    }
    auto const now = std::chrono::system_clock::now();
    std::string const prefix =
        mDirectory + "/" + SafeFileNamePart(mApplication.empty() ? "capture" : mApplication, 64) +
        "-" + TimeStamp(now) + "-" + std::to_string(::getpid()) + "-";
    int fd = -1;
    std::string path;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        path = prefix + std::to_string(++gFileCounter) + ".vcap";
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        int const error = errno;
        return Status::Fail(kVOutOutputFailed, error,
                            "cannot create " + path + ": " + std::strerror(error));
    }
    CaptureFileHeader header{};
    header.magic = kCaptureMagic;
    header.version = kCaptureVersion;
    header.headerSize = sizeof(CaptureFileHeader);
    header.frameHeaderSize = sizeof(Pix::FrameHeader);
    header.startTime =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    iovec part{&header, sizeof header};
    if (!WriteAllVectors(fd, &part, 1)) {
        int const error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return Status::Fail(kVOutOutputFailed, error,
                            "cannot write " + path + ": " + std::strerror(error));
    }
    mFd = fd;
    mPath = path;
    mSize = sizeof header;
    return Write(*frame);
}

Status CaptureOutput::Show(InterfaceRef<Kino::IVideoFrame> const& frame) {
    Status status = CheckFrame(*frame);
    if (!status.IsOk()) {
        return status;
    }
    return Write(*frame);
}

Status CaptureOutput::Write(Kino::IVideoFrame const& frame) {
    if (mFd < 0) {
        if (mLostError != 0) {
            return Status::Fail(kVOutOutputFailed, mLostError, "the capture file was lost");
        }
        return Status::Fail(kVOutNotBlitting, 0, "no capture file open");
    }
    Pix::FrameHeader header{};
    header.magic = Pix::kFrameMagic;
    header.version = Pix::kFrameVersion;
    header.headerSize = sizeof(Pix::FrameHeader);
    header.width = frame.GetWidth();
    header.height = frame.GetHeight();
    header.rowBytes = frame.GetRowBytes();
    header.fourcc = frame.GetPixelFormat();
    header.properties = frame.GetPixelFormatProperties();
    basemediatypes::PixelAspectRatio const par = frame.GetPixelAspectRatio();
    header.parNumerator = par.GetNumerator();
    header.parDenominator = par.GetDenominator();
    header.fieldOrder = frame.GetFieldOrder();
    header.dataOffset = sizeof(Pix::FrameHeader);
    header.dataSize = static_cast<std::uint64_t>(header.rowBytes) * header.height;
    iovec parts[2] = {
        {&header, sizeof header},
        {const_cast<void*>(frame.GetPixels()), static_cast<std::size_t>(header.dataSize)}};
    if (!WriteAllVectors(mFd, parts, 2)) {
        int const error = errno;
        // Cut the partial frame off again: the file keeps whole frames only.
        if (::ftruncate(mFd, static_cast<off_t>(mSize)) != 0 ||
            ::lseek(mFd, static_cast<off_t>(mSize), SEEK_SET) < 0) {
            ::close(mFd);
            mFd = -1;
            mLostError = error;
        }
        return Status::Fail(kVOutOutputFailed, error,
                            "cannot write " + mPath + ": " + std::strerror(error));
    }
    mSize += sizeof header + header.dataSize;
    return Status::Ok();
}

Status CaptureOutput::End() {
    if (mFd < 0) {
        return Status::Ok();
    }
    int const result = ::close(mFd);
    mFd = -1;
    if (result != 0 && errno != EINTR) {
        int const error = errno;
        return Status::Fail(kVOutOutputFailed, error,
                            "cannot close " + mPath + ": " + std::strerror(error));
    }
    return Status::Ok();
}

void CaptureOutput::Close() {
    End();
}

std::string DefaultCaptureDirectory() {
    if (char const* configured = std::getenv("VIREO_VOUT_CAPTURE_DIR");
        configured != nullptr && *configured) {
        return configured;
    }
    if (char const* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return std::string(data) + "/Vireo/Captures";
    }
    if (char const* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        return std::string(home) + "/.local/share/Vireo/Captures";
    }
    char const* tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/vireo-captures-" +
           std::to_string(static_cast<unsigned long>(::geteuid()));
}

}  // namespace vireo::server::vout

#include "OutputFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "files/FileErrors.h"

namespace vireo::server::files {

namespace {

constexpr int kBufferSize = 1 << 20;
// Room left for the temporary name's additions within a file name's 255 bytes.
constexpr std::size_t kMaxKeptNameBytes = 200;

// The folder part of `path` ("." when it has none) and the file name.
void SplitPath(std::string const& path, std::string& folder, std::string& name) {
    std::size_t const slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        name = path;
    } else {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

std::string RandomSuffix() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

}  // namespace

std::int32_t CheckDestination(std::string const& destination, struct stat const& source) {
    if (destination.empty() || destination.find('\0') != std::string::npos ||
        destination.back() == '/') {
        return kErrTrimDestinationUnwritable;
    }
    std::string folder, name;
    SplitPath(destination, folder, name);
    if (name.empty() || name == "." || name == "..") {
        return kErrTrimDestinationUnwritable;
    }
    struct stat folderInfo {};
    if (::stat(folder.c_str(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode)) {
        return kErrTrimDestinationUnwritable;
    }
    struct stat existing {};
    if (::stat(destination.c_str(), &existing) == 0) {
        // Writing would replace the source (a link or another name of the same file counts).
        if (existing.st_dev == source.st_dev && existing.st_ino == source.st_ino) {
            return kErrTrimSameFile;
        }
        if (S_ISDIR(existing.st_mode)) {
            return kErrTrimDestinationUnwritable;
        }
    }
    return 0;
}

OutputFile::~OutputFile() {
    if (!mCommitted) {
        Discard();
    }
}

std::int32_t OutputFile::Create(std::string const& destination) {
    std::string folder, name;
    SplitPath(destination, folder, name);
    if (name.size() > kMaxKeptNameBytes) {
        name.resize(kMaxKeptNameBytes);
    }
    for (int attempt = 0; attempt < 16 && mFd < 0; ++attempt) {
        std::string const candidate = folder + "/." + name + ".trim-" + RandomSuffix();
        // 0666 less the umask: the permissions any new file here would get.
        int const fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            mFd = fd;
            mTemporary = candidate;
        } else if (errno != EEXIST) {
            return kErrTrimDestinationUnwritable;
        }
    }
    if (mFd < 0) {
        return kErrTrimDestinationUnwritable;
    }
    mDestination = destination;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kBufferSize));
    if (buffer != nullptr) {
        mIo = avio_alloc_context(buffer, kBufferSize, 1, this, nullptr, &OutputFile::Write,
                                 &OutputFile::Seek);
        if (mIo == nullptr) {
            av_free(buffer);
        }
    }
    if (mIo == nullptr) {
        mWriteError = ENOMEM;
        return kErrTrimWriteFailed;
    }
    return 0;
}

int OutputFile::Write(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<OutputFile*>(opaque);
    if (self->mWriteError != 0) {
        return AVERROR(self->mWriteError);
    }
    std::size_t done = 0;
    while (done < std::size_t(size)) {
        ssize_t const put = ::pwrite(self->mFd, buffer + done, std::size_t(size) - done,
                                     off_t(self->mPosition + std::int64_t(done)));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            self->mWriteError = put < 0 ? errno : EIO;
            return AVERROR(self->mWriteError);
        }
        done += std::size_t(put);
    }
    self->mPosition += size;
    return size;
}

std::int64_t OutputFile::Seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<OutputFile*>(opaque);
    struct stat info {};
    switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET:
            self->mPosition = offset;
            return offset;
        case SEEK_CUR:
            self->mPosition += offset;
            return self->mPosition;
        case SEEK_END:
            if (::fstat(self->mFd, &info) != 0) {
                return AVERROR(errno);
            }
            self->mPosition = std::int64_t(info.st_size) + offset;
            return self->mPosition;
        case AVSEEK_SIZE:
            return ::fstat(self->mFd, &info) == 0 ? std::int64_t(info.st_size) : AVERROR(errno);
        default:
            return AVERROR(EINVAL);
    }
}

void OutputFile::CloseIo() {
    if (mIo != nullptr) {
        avio_flush(mIo);
        av_freep(&mIo->buffer);
        avio_context_free(&mIo);
    }
}

std::int32_t OutputFile::Commit() {
    CloseIo();
    if (mFd < 0 || WriteFailed()) {
        return kErrTrimWriteFailed;
    }
    // The data reach the disk before the name does, so a crash never leaves a partial movie
    // under the destination's name.
    if (::fsync(mFd) != 0 || ::close(mFd) != 0) {
        mFd = -1;
        return kErrTrimWriteFailed;
    }
    mFd = -1;
    if (::rename(mTemporary.c_str(), mDestination.c_str()) != 0) {
        return kErrTrimWriteFailed;
    }
    mCommitted = true;
    return 0;
}

void OutputFile::Discard() {
    CloseIo();
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
    if (!mTemporary.empty()) {
        ::unlink(mTemporary.c_str());
    }
}

}  // namespace vireo::server::files

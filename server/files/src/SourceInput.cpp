#include "SourceInput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include "MovieFile.h"
#include "engine/Errors.h"

namespace vireo::server::files {

namespace {

constexpr int kBufferSize = 1 << 20;

// Demuxers that show text files as pictures (ANSI art); a text file is not a movie.
bool IsTextArt(AVInputFormat const* format) {
    for (char const* name : {"tty", "bin", "xbin", "adf", "idf"}) {
        if (std::strcmp(format->name, name) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

SourceInput::~SourceInput() {
    CloseMedia();
    if (mFd >= 0) {
        ::close(mFd);
    }
}

std::int32_t SourceInput::OpenFile(std::string const& path) {
    std::int32_t const result = OpenMovieFile(path, mFd, mIdentity);
    if (result != engine::kOK) {
        return result;
    }
    if (mIdentity.st_size == 0) {
        return engine::kErrNotMedia;  // an empty file is no movie, whatever its name says
    }
    mPath = path;
    return engine::kOK;
}

int SourceInput::Read(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<SourceInput*>(opaque);
    for (;;) {
        ssize_t const got = ::read(self->mFd, buffer, std::size_t(size));
        if (got > 0) {
            return int(got);
        }
        if (got == 0) {
            return AVERROR_EOF;
        }
        if (errno != EINTR) {
            return AVERROR(errno);
        }
    }
}

std::int64_t SourceInput::Seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<SourceInput*>(opaque);
    if ((whence & AVSEEK_SIZE) != 0) {
        struct stat info {};
        return ::fstat(self->mFd, &info) == 0 ? std::int64_t(info.st_size) : AVERROR(errno);
    }
    off_t const position = ::lseek(self->mFd, off_t(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : std::int64_t(position);
}

void SourceInput::CloseMedia() {
    if (mFormat != nullptr) {
        avformat_close_input(&mFormat);
    }
    if (mIo != nullptr) {
        av_freep(&mIo->buffer);
        avio_context_free(&mIo);
    }
}

std::int32_t SourceInput::OpenMedia() {
    CloseMedia();
    if (mFd < 0 || ::lseek(mFd, 0, SEEK_SET) != 0) {
        return engine::kErrCorrupt;
    }
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kBufferSize));
    if (buffer == nullptr) {
        return engine::kErrOutOfMemory;
    }
    mIo = avio_alloc_context(buffer, kBufferSize, 0, this, &SourceInput::Read, nullptr,
                             &SourceInput::Seek);
    mFormat = avformat_alloc_context();
    if (mIo == nullptr || mFormat == nullptr) {
        if (mIo == nullptr) {
            av_free(buffer);
        }
        CloseMedia();
        return engine::kErrOutOfMemory;
    }
    mFormat->pb = mIo;
    // The I/O context is ours: closing the input must not close it.
    mFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The path only guides probing by extension; the data come from the descriptor.
    AVInputFormat const* format = nullptr;
    int ret = av_probe_input_buffer2(mIo, &format, mPath.c_str(), nullptr, 0, 0);
    if (ret < 0 || format == nullptr || IsTextArt(format)) {
        CloseMedia();
        return ret == AVERROR(ENOMEM) ? engine::kErrOutOfMemory : engine::kErrNotMedia;
    }
    ret = avformat_open_input(&mFormat, mPath.c_str(), format, nullptr);
    if (ret < 0) {
        // Recognised, yet unreadable: damaged. avformat_open_input frees the context on
        // failure; the I/O context is ours.
        mFormat = nullptr;
        CloseMedia();
        return ret == AVERROR(ENOMEM) ? engine::kErrOutOfMemory : engine::kErrCorrupt;
    }
    ret = avformat_find_stream_info(mFormat, nullptr);
    if (ret < 0) {
        CloseMedia();
        return ret == AVERROR(ENOMEM) ? engine::kErrOutOfMemory : engine::kErrCorrupt;
    }
    return engine::kOK;
}

}  // namespace vireo::server::files

#pragma once
// The movie a trim reads: the file checked and held open, then read by FFmpeg through that same
// descriptor, so that what was checked (and compared with the destination) is what is read.
#include <sys/stat.h>

#include <cstdint>
#include <string>

struct AVFormatContext;
struct AVIOContext;

namespace vireo::server::files {

class SourceInput {
  public:
    SourceInput() = default;
    ~SourceInput();
    SourceInput(SourceInput const&) = delete;
    SourceInput& operator=(SourceInput const&) = delete;

    // Opens the file at `path` for reading: 0, or kErrInvalidPath, kErrFileNotFound,
    // kErrIsDirectory, kErrAccessDenied, kErrOutOfMemory, kErrNotMedia (not a regular file, or
    // an empty one).
    std::int32_t OpenFile(std::string const& path);
    // The opened file's identity (device and inode).
    struct stat const& Identity() const noexcept {
        return mIdentity;
    }

    // Reads the container and its stream information (again from the start when called a
    // second time): 0, or kErrNotMedia, kErrCorrupt, kErrOutOfMemory.
    std::int32_t OpenMedia();
    AVFormatContext* Format() const noexcept { return mFormat; }

  private:
    void CloseMedia();
    static int Read(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);

    std::string mPath;
    int mFd = -1;
    struct stat mIdentity {};
    AVIOContext* mIo = nullptr;
    AVFormatContext* mFormat = nullptr;
};

}  // namespace vireo::server::files

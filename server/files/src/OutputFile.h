#pragma once
// The file a trim writes: made under a temporary name in the destination's folder, written
// through FFmpeg and then patched in place, and renamed over the destination only once complete.
// Until then (and whenever it is dropped unfinished) the destination is untouched, and the
// temporary file is removed.
#include <sys/stat.h>

#include <cstdint>
#include <string>

struct AVIOContext;

namespace vireo::server::files {

// The checks of a destination path that need no writing: 0, kErrTrimDestinationUnwritable (empty,
// a folder, a folder that does not exist) or kErrTrimSameFile (the same file as `source`).
std::int32_t CheckDestination(std::string const& destination, struct stat const& source);

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(OutputFile const&) = delete;
    OutputFile& operator=(OutputFile const&) = delete;

    // Makes the temporary file beside `destination`: 0 or kErrTrimDestinationUnwritable.
    std::int32_t Create(std::string const& destination);

    // Writing through FFmpeg; a failed write is remembered (WriteFailed) and reported to FFmpeg.
    AVIOContext* Io() const noexcept { return mIo; }
    // Flushes and releases the FFmpeg writer; the descriptor stays open for patching.
    void CloseIo();
    bool WriteFailed() const noexcept { return mWriteError != 0; }
    int Fd() const noexcept { return mFd; }
    std::string const& TemporaryPath() const noexcept { return mTemporary; }

    // Syncs the file and renames it over the destination: 0 or kErrTrimWriteFailed.
    std::int32_t Commit();

  private:
    static int Write(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);
    void Discard();

    std::string mDestination;
    std::string mTemporary;
    int mFd = -1;
    AVIOContext* mIo = nullptr;
    std::int64_t mPosition = 0;
    int mWriteError = 0;
    bool mCommitted = false;
};

}  // namespace vireo::server::files

#pragma once
// The one way the engine opens files: every file FFmpeg reads for a movie, the movie itself and
// every file its format opens on its own (playlist segments, QuickTime external data references),
// goes through FileGuard's open callback.
//
// - Only regular files are opened; pipes, devices, sockets and directories are refused without
//   being opened, so they cannot block a reader or never end. A file is checked again once open
//   (same inode, still a regular file), so it cannot be swapped for a pipe in between.
// - Only FFmpeg's "file" protocol is used: network and other protocols are refused, also through
//   the container's protocol whitelist.
// - Demuxers that open further inputs outside the callback (the concat script), or that run
//   scripts, are refused through the container's format whitelist.
// - While armed, a deadline cuts the open: the interrupt callback and the open callback stop
//   FFmpeg once it has passed. While armed, at most kMaxFilesWhileOpening files are opened: a
//   playlist that names itself, or fans out into thousands of files, is refused instead of
//   growing FFmpeg's tables (some of whose work grows with the square of their size, past any
//   interrupt check).
// - A playlist file is read once per container: FFmpeg's HLS demuxer reads a playlist without an
//   end marker again and again as a live broadcast, freeing the segments it still points to
//   (a use after free in FFmpeg 5.1, reached by a playlist of a few hundred bytes); a local file
//   does not grow, so reading it again is refused.
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "engine/FFmpegHandles.h"

namespace vireo::engine::detail {

using Clock = std::chrono::steady_clock;

constexpr int kMaxFilesWhileOpening = 1000;

// Opens `path` for reading when it names a regular file, without blocking on anything else.
// Returns the descriptor (close it), or a negative errno: -ENOENT and the like from stat, -EISDIR
// for a directory, -EPERM for anything that is not a regular file.
int OpenRegularFile(std::string const& path, struct stat& info);

// True for demuxers the engine never uses: text shown as pictures (they claim any ".txt" or
// ".bin" by name), scripts and lists that open further inputs past the guard, network sessions.
bool IsRefusedFormat(AVInputFormat const* format);

// The guard of one container: owned by it (through its opaque pointer) and used only on the
// thread that uses the container.
class FileGuard {
  public:
    // `moviePath`: the container's own file; relative names the format opens are taken from its
    // directory.
    explicit FileGuard(std::string const& moviePath);

    // Sets the callbacks, the opaque pointer and the whitelists on a fresh context (before
    // avformat_open_input), and adds the demuxer options the engine opens with to `options`.
    void Install(AVFormatContext* context, AVDictionary** options);

    // Until Disarm, opening and reading stop once `deadline` has passed.
    void Arm(Clock::time_point deadline) noexcept;
    void Disarm() noexcept;

    // Whether the deadline stopped FFmpeg since the last Arm, and whether a file was ever
    // refused.
    bool TimedOut() const noexcept { return mTimedOut; }
    bool Refused() const noexcept { return mRefused; }

    // The guard installed on `context`, or null.
    static FileGuard* Of(AVFormatContext const* context) noexcept;

  private:
    static int OpenCallback(AVFormatContext* context, AVIOContext** pb, const char* url, int flags,
                            AVDictionary** options);
    static int CloseCallback(AVFormatContext* context, AVIOContext* pb);
    static int InterruptCallback(void* opaque);
    bool Expired() noexcept;
    int Open(AVFormatContext* context, AVIOContext** pb, std::string url, int flags,
             AVDictionary** options);

    std::string mDirectory;  // of the movie, with a trailing '/'; empty when it has none
    bool mArmed = false;
    Clock::time_point mDeadline;
    bool mTimedOut = false;
    bool mRefused = false;
    int mOpenedWhileArmed = 0;
    std::set<std::pair<dev_t, ino_t>> mPlaylists;  // playlist files read so far
};

}  // namespace vireo::engine::detail

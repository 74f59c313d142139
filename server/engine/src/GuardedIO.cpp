#include "GuardedIO.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/dict.h>
}

namespace vireo::engine::detail {

namespace {

// Demuxers the engine never uses (see IsRefusedFormat).
constexpr const char* kRefusedFormats[] = {
    // Text art: claims plain text by its extension alone.
    "tty", "bin", "xbin", "adf", "idf",
    // Opens the files it lists with FFmpeg's default open, past the guard.
    "concat",
    // Scripts that run code or build inputs of their own.
    "avisynth", "vapoursynth", "imf",
    // Network sessions and descriptions of them.
    "sdp", "rtsp", "rtp", "sap"};

bool NameIsRefused(const char* name) {
    for (const char* refused : kRefusedFormats) {
        if (std::strcmp(name, refused) == 0)
            return true;
    }
    return false;
}

// Every demuxer but the refused ones, comma-separated, for the containers' format whitelist
// (which FFmpeg copies to the inner containers of playlists).
std::string const& AllowedFormats() {
    static std::string const list = [] {
        std::string names;
        void* iterator = nullptr;
        while (const AVInputFormat* format = av_demuxer_iterate(&iterator)) {
            if (IsRefusedFormat(format))
                continue;
            if (!names.empty())
                names += ',';
            names += format->name;
        }
        return names;
    }();
    return list;
}

// An HLS playlist (by its first line).
bool IsPlaylist(int fd) {
    char head[7];
    return ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) &&
           std::memcmp(head, "#EXTM3U", sizeof head) == 0;
}

bool HaveProcFd() {
    static bool const have = ::access("/proc/self/fd", F_OK) == 0;
    return have;
}

}  // namespace

int OpenRegularFile(std::string const& path, struct stat& info) {
    if (::stat(path.c_str(), &info) != 0)
        return -errno;
    if (S_ISDIR(info.st_mode))
        return -EISDIR;
    // Pipes and devices could block the reader for ever or never end, and opening some devices
    // acts: they are refused before any open.
    if (!S_ISREG(info.st_mode))
        return -EPERM;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != info.st_dev ||
        opened.st_ino != info.st_ino) {
        // Replaced between the look and the open.
        ::close(fd);
        return -EPERM;
    }
    info = opened;
    return fd;
}

bool IsRefusedFormat(AVInputFormat const* format) {
    // A demuxer may carry several names ("mov,mp4,m4a,..."): refused when any of them is.
    std::string names = format->name;
    std::size_t start = 0;
    while (start <= names.size()) {
        std::size_t end = names.find(',', start);
        if (end == std::string::npos)
            end = names.size();
        if (NameIsRefused(names.substr(start, end - start).c_str()))
            return true;
        start = end + 1;
    }
    return false;
}

FileGuard::FileGuard(std::string const& moviePath) {
    std::size_t slash = moviePath.rfind('/');
    if (slash != std::string::npos)
        mDirectory = moviePath.substr(0, slash + 1);
}

void FileGuard::Install(AVFormatContext* context, AVDictionary** options) {
    context->opaque = this;
    context->io_open = &FileGuard::OpenCallback;
    context->io_close2 = &FileGuard::CloseCallback;
    context->interrupt_callback.callback = &FileGuard::InterruptCallback;
    context->interrupt_callback.opaque = this;
    av_dict_set(options, "protocol_whitelist", "file", 0);
    av_dict_set(options, "format_whitelist", AllowedFormats().c_str(), 0);
    // QuickTime reference movies keep their media in other files: follow the references (each
    // through OpenCallback). Their paths are resolved by OpenCallback, relative ones against the
    // movie's directory.
    av_dict_set(options, "enable_drefs", "1", 0);
    av_dict_set(options, "use_absolute_path", "1", 0);
}

void FileGuard::Arm(Clock::time_point deadline) noexcept {
    mArmed = true;
    mDeadline = deadline;
    mTimedOut = false;
    mOpenedWhileArmed = 0;
}

void FileGuard::Disarm() noexcept {
    mArmed = false;
}

FileGuard* FileGuard::Of(AVFormatContext const* context) noexcept {
    if (!context || context->io_open != &FileGuard::OpenCallback)
        return nullptr;
    return static_cast<FileGuard*>(context->opaque);
}

bool FileGuard::Expired() noexcept {
    if (mArmed && !mTimedOut && Clock::now() >= mDeadline)
        mTimedOut = true;
    return mTimedOut && mArmed;
}

int FileGuard::InterruptCallback(void* opaque) {
    return opaque && static_cast<FileGuard*>(opaque)->Expired() ? 1 : 0;
}

int FileGuard::OpenCallback(AVFormatContext* context, AVIOContext** pb, const char* url, int flags,
                            AVDictionary** options) {
    FileGuard* guard = Of(context);
    if (!guard || !url || !pb)
        return AVERROR(EPERM);
    return guard->Open(context, pb, url, flags, options);
}

int FileGuard::CloseCallback(AVFormatContext*, AVIOContext* pb) {
    return avio_close(pb);
}

int FileGuard::Open(AVFormatContext* context, AVIOContext** pb, std::string url, int flags,
                    AVDictionary** options) {
    if (Expired())
        return AVERROR_EXIT;
    if ((flags & AVIO_FLAG_WRITE) || (mArmed && ++mOpenedWhileArmed > kMaxFilesWhileOpening)) {
        mRefused = true;
        return AVERROR(EPERM);
    }
    if (url.compare(0, 5, "file:") == 0) {
        url.erase(0, 5);
    } else if (!url.empty() && url[0] != '/') {
        // Anything with a protocol other than a plain file (http:, pipe:, concat:, ...) is
        // refused.
        const char* protocol = avio_find_protocol_name(url.c_str());
        if (protocol && std::strcmp(protocol, "file") != 0) {
            mRefused = true;
            return AVERROR(EPERM);
        }
    }
    // What is left is a path; a relative one is taken from the movie's folder.
    if (!url.empty() && url[0] != '/')
        url = mDirectory + url;
    if (url.empty())
        return AVERROR(ENOENT);
    struct stat info {};
    int fd = OpenRegularFile(url, info);
    if (fd == -EPERM)
        mRefused = true;
    if (fd < 0)
        return AVERROR(-fd);
    if (IsPlaylist(fd) && !mPlaylists.emplace(info.st_dev, info.st_ino).second) {
        ::close(fd);
        mRefused = true;
        return AVERROR(EPERM);
    }
    // FFmpeg opens its own descriptor through this one's /proc entry: the same inode we checked,
    // whatever the name points to by now.
    std::string const target =
        HaveProcFd() ? "file:/proc/self/fd/" + std::to_string(fd) : "file:" + url;
    int ret = avio_open2(pb, target.c_str(), AVIO_FLAG_READ, &context->interrupt_callback, options);
    ::close(fd);
    if (ret < 0 && Expired())
        return AVERROR_EXIT;
    return ret;
}

}  // namespace vireo::engine::detail

#include "Container.h"

#include <unistd.h>

#include <cerrno>
#include <limits>
#include <vector>

#include "engine/Errors.h"

namespace vireo::engine::detail {

namespace {

constexpr std::size_t kProbeBytes = 1 << 20;

std::int32_t CheckPath(std::string const& path) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return kErrInvalidPath;
    return kOK;
}

// `path` from the root: FFmpeg builds the names of the files a playlist lists from it, and the
// guard takes the names a movie refers to relative to the movie's directory.
std::string Absolute(std::string const& path) {
    if (path[0] == '/')
        return path;
    char buffer[4096];
    if (!::getcwd(buffer, sizeof buffer))
        return path;
    return std::string(buffer) + "/" + path;
}

// Reads the head of the file and recognises its format by the contents. The name only settles
// between formats the contents fit: a file is media when its bytes say so, not because it is
// named like a movie (random bytes in "x.mov" are not a damaged movie).
std::int32_t Probe(std::string const& path, const AVInputFormat*& format) {
    struct stat info {};
    int fd = OpenRegularFile(path, info);
    if (fd == -EPERM && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        return kErrNotMedia;  // a pipe, device or socket, refused without opening it
    if (fd < 0)
        return PathError(-fd);
    std::vector<unsigned char> buffer(kProbeBytes + AVPROBE_PADDING_SIZE, 0);
    std::size_t filled = 0;
    while (filled < kProbeBytes) {
        ssize_t got = ::read(fd, buffer.data() + filled, kProbeBytes - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        filled += std::size_t(got);
    }
    ::close(fd);
    if (filled == 0)
        return kErrNotMedia;
    AVProbeData probe{};
    probe.buf = buffer.data();
    probe.buf_size = int(filled);
    probe.filename = "";
    int contentScore = 0;
    const AVInputFormat* byContent = av_probe_input_format3(&probe, 1, &contentScore);
    // Below FFmpeg's own retry score a match is a guess (one valid MP3 frame header turns up in
    // a few percent of random files).
    if (!byContent || contentScore < AVPROBE_SCORE_RETRY)
        return kErrNotMedia;
    probe.filename = path.c_str();
    int score = 0;
    format = av_probe_input_format3(&probe, 1, &score);
    if (!format || score < contentScore)
        format = byContent;
    if (IsRefusedFormat(format))
        return kErrNotMedia;
    return kOK;
}

}  // namespace

Clock::time_point OpeningDeadline(std::int32_t limitMs) {
    if (limitMs <= 0)
        return Clock::time_point::max();
    return Clock::now() + std::chrono::milliseconds(limitMs);
}

std::int32_t OpenContainer(std::string const& relativePath, const AVInputFormat* format,
                           Clock::time_point deadline, FormatPtr& container) {
    InitFFmpegLogging();
    container.reset();
    std::int32_t result = CheckPath(relativePath);
    if (result != kOK)
        return result;
    std::string const path = Absolute(relativePath);
    if (!format) {
        result = Probe(path, format);
        if (result != kOK)
            return result;
    }
    AVFormatContext* context = avformat_alloc_context();
    if (!context)
        return kErrOutOfMemory;
    // Owned by the context from here on (FormatCloser deletes it after closing the context).
    auto* guard = new FileGuard(path);
    AVDictionary* options = nullptr;
    guard->Install(context, &options);
    guard->Arm(deadline);
    // On failure avformat_open_input frees the context, but not our guard.
    int ret = avformat_open_input(&context, path.c_str(), format, &options);
    av_dict_free(&options);
    if (ret < 0) {
        bool timedOut = guard->TimedOut(), refused = guard->Refused();
        delete guard;
        if (timedOut)
            return kErrOpenTimedOut;
        if (refused)
            return kErrReferenceRefused;
        // The file was recognised by its contents, so a failure here means damage (or the file
        // went away or became unreadable in the meantime).
        if (ret == AVERROR(ENOENT))
            return kErrFileNotFound;
        if (ret == AVERROR(EACCES))
            return kErrAccessDenied;
        if (ret == AVERROR(ENOMEM))
            return kErrOutOfMemory;
        return kErrCorrupt;
    }
    FormatPtr owned(context);
    ret = avformat_find_stream_info(context, nullptr);
    guard->Disarm();
    if (guard->TimedOut())
        return kErrOpenTimedOut;
    if (ret < 0) {
        if (guard->Refused())
            return kErrReferenceRefused;
        return ret == AVERROR(ENOMEM) ? kErrOutOfMemory : kErrCorrupt;
    }
    container = std::move(owned);
    return kOK;
}

void FormatCloser::operator()(AVFormatContext* context) const noexcept {
    FileGuard* guard = FileGuard::Of(context);
    avformat_close_input(&context);
    delete guard;
}

std::int32_t ExplainFailure(AVFormatContext const* container, std::int32_t otherwise) noexcept {
    FileGuard const* guard = FileGuard::Of(container);
    return guard && guard->Refused() ? kErrReferenceRefused : otherwise;
}

ArmedGuard::ArmedGuard(AVFormatContext* container, Clock::time_point deadline) noexcept
    : mGuard(FileGuard::Of(container)) {
    if (mGuard)
        mGuard->Arm(deadline);
}

ArmedGuard::~ArmedGuard() {
    if (mGuard)
        mGuard->Disarm();
}

std::int32_t ArmedGuard::Explain(std::int32_t otherwise) const noexcept {
    if (mGuard && mGuard->TimedOut())
        return kErrOpenTimedOut;
    if (mGuard && mGuard->Refused())
        return kErrReferenceRefused;
    return otherwise;
}

}  // namespace vireo::engine::detail

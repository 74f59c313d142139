#include "Container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/Errors.h"

namespace vireo::engine::detail {

namespace {

constexpr std::size_t kProbeBytes = 1 << 20;

// Demuxers that render text files as pictures (ANSI and binary text art). They claim plain
// text by its extension alone (".txt", ".bin", ...); a text file is not a movie.
bool IsTextArt(const AVInputFormat* format) {
    for (const char* name : {"tty", "bin", "xbin", "adf", "idf"}) {
        if (std::strcmp(format->name, name) == 0)
            return true;
    }
    return false;
}

std::int32_t CheckFile(std::string const& path) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return kErrInvalidPath;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == EACCES)
            return kErrAccessDenied;
        if (errno == ENAMETOOLONG || errno == ELOOP)
            return kErrInvalidPath;
        return kErrFileNotFound;
    }
    if (S_ISDIR(info.st_mode))
        return kErrIsDirectory;
    // Pipes and devices could block a reader for ever or never end; only files are movies.
    if (!S_ISREG(info.st_mode))
        return kErrNotMedia;
    return kOK;
}

// Reads the head of the file and asks FFmpeg's probes which format it is. Returns null when no
// format claims it.
std::int32_t Probe(std::string const& path, const AVInputFormat*& format) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES ? kErrAccessDenied : kErrFileNotFound;
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
    probe.filename = path.c_str();
    probe.buf = buffer.data();
    probe.buf_size = int(filled);
    int score = 0;
    format = av_probe_input_format3(&probe, 1, &score);
    if (!format || score <= 0 || IsTextArt(format))
        return kErrNotMedia;
    return kOK;
}

}  // namespace

std::int32_t OpenContainer(std::string const& path, const AVInputFormat* format,
                           FormatPtr& container) {
    InitFFmpegLogging();
    container.reset();
    std::int32_t result = CheckFile(path);
    if (result != kOK)
        return result;
    if (!format) {
        result = Probe(path, format);
        if (result != kOK)
            return result;
    }
    AVFormatContext* context = nullptr;
    int ret = avformat_open_input(&context, path.c_str(), format, nullptr);
    if (ret < 0) {
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
    if (ret < 0)
        return ret == AVERROR(ENOMEM) ? kErrOutOfMemory : kErrCorrupt;
    container = std::move(owned);
    return kOK;
}

}  // namespace vireo::engine::detail

// The poster time in a finished movie's header ('moov' > 'mvhd'), which FFmpeg's muxer always
// writes as 0. Every size read from the file is checked against the file before it is used.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "MovieWriter.h"
#include "export/ExportErrors.h"

namespace vireo::server::exporting::detail {

namespace {

__extension__ typedef unsigned __int128 Wide;

std::uint64_t BigEndian(std::uint8_t const* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

bool ReadAt(int fd, std::uint64_t offset, void* out, std::size_t size) {
    return pread(fd, out, size, off_t(offset)) == ssize_t(size);
}

// Finds atom `type` among the atoms in [begin, end); `body` and `bodyEnd` get its contents.
bool FindAtom(int fd, std::uint64_t begin, std::uint64_t end, char const (&type)[5],
              std::uint64_t& body, std::uint64_t& bodyEnd) {
    std::uint64_t at = begin;
    while (end - at >= 8) {
        std::uint8_t header[16];
        if (!ReadAt(fd, at, header, 8)) {
            return false;
        }
        std::uint64_t size = BigEndian(header, 4);
        std::uint64_t headerSize = 8;
        if (size == 1) {
            if (end - at < 16 || !ReadAt(fd, at + 8, header + 8, 8)) {
                return false;
            }
            size = BigEndian(header + 8, 8);
            headerSize = 16;
        } else if (size == 0) {
            size = end - at;  // the atom runs to the end
        }
        if (size < headerSize || size > end - at) {
            return false;
        }
        if (std::memcmp(header + 4, type, 4) == 0) {
            body = at + headerSize;
            bodyEnd = at + size;
            return true;
        }
        at += size;
    }
    return false;
}

// The movie header's time scale and the offset of its poster time field.
bool LocatePoster(int fd, std::uint32_t& timeScale, std::uint64_t& posterOffset) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_size < 8) {
        return false;
    }
    std::uint64_t moov = 0, moovEnd = 0, mvhd = 0, mvhdEnd = 0;
    if (!FindAtom(fd, 0, std::uint64_t(info.st_size), "moov", moov, moovEnd) ||
        !FindAtom(fd, moov, moovEnd, "mvhd", mvhd, mvhdEnd)) {
        return false;
    }
    std::uint8_t version = 0;
    if (!ReadAt(fd, mvhd, &version, 1) || version > 1) {
        return false;
    }
    // Version 0 keeps times in 32 bits, version 1 its creation and modification times and its
    // duration in 64; after the duration both have rate, volume, reserved bytes, the matrix,
    // preview time and duration, then the poster time.
    std::uint64_t const timeScaleAt = mvhd + 4 + (version == 1 ? 16 : 8);
    std::uint64_t const durationBytes = version == 1 ? 8 : 4;
    posterOffset = timeScaleAt + 4 + durationBytes + 4 + 2 + 10 + 36 + 4 + 4;
    std::uint8_t scale[4];
    if (posterOffset + 4 > mvhdEnd || !ReadAt(fd, timeScaleAt, scale, 4)) {
        return false;
    }
    timeScale = std::uint32_t(BigEndian(scale, 4));
    return timeScale != 0;
}

}  // namespace

std::int32_t WritePosterTime(int fd, std::int64_t microseconds) {
    std::uint32_t timeScale = 0;
    std::uint64_t offset = 0;
    if (!LocatePoster(fd, timeScale, offset)) {
        return kErrWriteFailed;
    }
    Wide const units = Wide(std::uint64_t(microseconds)) * timeScale / 1000000;
    if (microseconds < 0 || units > UINT32_MAX) {
        return kExportOK;  // beyond a 32-bit poster time: left at the start
    }
    std::uint8_t bytes[4] = {std::uint8_t(units >> 24), std::uint8_t(units >> 16),
                             std::uint8_t(units >> 8), std::uint8_t(units)};
    return pwrite(fd, bytes, 4, off_t(offset)) == 4 ? kExportOK : kErrWriteFailed;
}

bool ReadPosterTime(int fd, double& seconds) {
    std::uint32_t timeScale = 0;
    std::uint64_t offset = 0;
    std::uint8_t bytes[4];
    if (!LocatePoster(fd, timeScale, offset) || !ReadAt(fd, offset, bytes, 4)) {
        return false;
    }
    seconds = double(BigEndian(bytes, 4)) / timeScale;
    return true;
}

}  // namespace vireo::server::exporting::detail

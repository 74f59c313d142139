#include "MovieFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "engine/Errors.h"

namespace vireo::server::files {

std::int32_t OpenMovieFile(std::string const& path, int& fd, struct stat& identity) {
    fd = -1;
    if (path.empty() || path.find('\0') != std::string::npos) {
        return engine::kErrInvalidPath;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return engine::PathError(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return engine::kErrIsDirectory;
    }
    if (!S_ISREG(info.st_mode)) {
        return engine::kErrNotMedia;
    }
    // O_NONBLOCK: should the path have become a pipe since, opening does not wait for a writer.
    int const opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (opened < 0) {
        return engine::PathError(errno);
    }
    if (::fstat(opened, &identity) != 0 || !S_ISREG(identity.st_mode)) {
        ::close(opened);
        return engine::kErrNotMedia;
    }
    fd = opened;
    return engine::kOK;
}

}  // namespace vireo::server::files

#include "TemporaryMovie.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "basekit/utility/Guid.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Process.h"
#include "export/ExportErrors.h"
#include "export/ExportService.h"

namespace vireo::server::exporting {

namespace detail {

namespace {

constexpr char kMarker[] = ".vireo-";
constexpr char kSuffix[] = ".partial";
constexpr char kRecordSuffix[] = ".export";
constexpr std::size_t kKeptNameBytes = 100;

struct Owner {
    std::int64_t pid = 0;
    std::uint64_t startTime = 0;
    std::string token;  // 16 hex digits
};

std::string DirectoryOf(std::string const& path) {
    std::size_t const slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(std::string const& path) {
    return path.substr(path.rfind('/') + 1);
}

bool EndsWith(std::string const& text, std::string const& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// "<pid>-<start time>-<16 hex digits>".
bool ParseOwner(std::string const& text, Owner& owner) {
    std::size_t const first = text.find('-');
    std::size_t const second = first == std::string::npos ? first : text.find('-', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    owner.token = text.substr(second + 1);
    if (owner.token.size() != 16 ||
        owner.token.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return false;
    }
    return basekit::utility::ParseInteger(std::string_view(text).substr(0, first), owner.pid) &&
           basekit::utility::ParseInteger(
               std::string_view(text).substr(first + 1, second - first - 1), owner.startTime) &&
           owner.pid > 0;
}

std::string OwnerText(Owner const& owner) {
    return std::to_string(owner.pid) + "-" + std::to_string(owner.startTime) + "-" + owner.token;
}

// The owner of a temporary movie's file name, when it is one.
bool TemporaryOwner(std::string const& name, Owner& owner) {
    if (name.empty() || name.front() != '.' || !EndsWith(name, kSuffix)) {
        return false;
    }
    std::string const stem = name.substr(0, name.size() - (sizeof(kSuffix) - 1));
    std::size_t const marker = stem.rfind(kMarker);
    return marker != std::string::npos &&
           ParseOwner(stem.substr(marker + sizeof(kMarker) - 1), owner);
}

bool OwnerIsGone(Owner const& owner) {
    if (!basekit::utility::IsProcessAlive(owner.pid)) {
        return true;
    }
    std::uint64_t const started = basekit::utility::ProcessStartTime(owner.pid);
    return started != 0 && started != owner.startTime;  // the pid names another process now
}

// The destination's name cut to at most kKeptNameBytes without splitting a UTF-8 sequence.
std::string ShortName(std::string const& name) {
    if (name.size() <= kKeptNameBytes) {
        return name;
    }
    std::size_t cut = kKeptNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return name.substr(0, cut);
}

bool ReadSmallFile(std::string const& path, std::string& out) {
    int const fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= 8192;
    if (ok) {
        out.resize(std::size_t(info.st_size));
        ok = read(fd, out.data(), out.size()) == ssize_t(out.size());
    }
    close(fd);
    return ok;
}

bool WriteRecord(std::string const& path, std::string const& content) {
    int const fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool const ok = write(fd, content.data(), content.size()) == ssize_t(content.size());
    close(fd);
    if (!ok) {
        unlink(path.c_str());
    }
    return ok;
}

std::vector<std::string> DirectoryNames(std::string const& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            names.emplace_back(entry->d_name);
        }
        closedir(dir);
    }
    return names;
}

}  // namespace

std::int32_t CheckDestination(std::string const& path) {
    std::string const directory = DirectoryOf(path);
    struct stat info {};
    if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return kErrDirectoryMissing;
    }
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        return kErrDirectoryNotWritable;
    }
    if (lstat(path.c_str(), &info) == 0) {
        struct stat target {};
        if (S_ISDIR(info.st_mode) ||
            (stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode))) {
            return kErrDestinationIsDirectory;
        }
        if (access(path.c_str(), W_OK) != 0 && errno != ENOENT) {
            return kErrDestinationReadOnly;
        }
    }
    return kExportOK;
}

std::int32_t TemporaryMovie::Create(std::string const& destination, std::string const& journal,
                                    std::unique_ptr<TemporaryMovie>& out) {
    std::unique_ptr<TemporaryMovie> movie(new TemporaryMovie);
    movie->mDestination = destination;
    Owner owner;
    owner.pid = getpid();
    owner.startTime = basekit::utility::ProcessStartTime(owner.pid);
    static char const kHex[] = "0123456789abcdef";
    auto const bytes = basekit::utility::Guid::CreateUnique().GetBytes();
    for (std::size_t i = 0; i < 8; ++i) {
        owner.token += kHex[bytes[i] >> 4];
        owner.token += kHex[bytes[i] & 15];
    }
    movie->mPath = DirectoryOf(destination) + "/." + ShortName(NameOf(destination)) + kMarker +
                   OwnerText(owner) + kSuffix;
    // Recorded before the file exists, so a crash at any point leaves a record of it.
    if (!journal.empty()) {
        mkdir(journal.c_str(), 0700);
        std::string const record = journal + "/" + OwnerText(owner) + kRecordSuffix;
        if (WriteRecord(record, movie->mPath + "\n")) {
            movie->mRecord = record;
        }
    }
    movie->mFd =
        open(movie->mPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (movie->mFd < 0) {
        int const error = errno;
        movie->mDone = true;
        movie->ForgetRecord();
        return error == EACCES || error == EPERM || error == EROFS ? kErrDirectoryNotWritable
                                                                   : kErrWriteFailed;
    }
    out = std::move(movie);
    return kExportOK;
}

TemporaryMovie::~TemporaryMovie() {
    Discard();
}

void TemporaryMovie::ForgetRecord() {
    if (!mRecord.empty()) {
        unlink(mRecord.c_str());
        mRecord.clear();
    }
}

std::int32_t TemporaryMovie::Commit() {
    if (mDone || mFd < 0) {
        return kErrWriteFailed;
    }
    bool ok = fsync(mFd) == 0;
    ok = close(mFd) == 0 && ok;
    mFd = -1;
    if (!ok || rename(mPath.c_str(), mDestination.c_str()) != 0) {
        Discard();
        return kErrWriteFailed;
    }
    mDone = true;
    // The rename is durable once the directory is.
    int const dir = open(DirectoryOf(mDestination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    ForgetRecord();
    return kExportOK;
}

void TemporaryMovie::Discard() {
    if (mFd >= 0) {
        close(mFd);
        mFd = -1;
    }
    if (!mDone) {
        unlink(mPath.c_str());
        mDone = true;
    }
    ForgetRecord();
}

std::size_t RemoveDeadTemporariesIn(std::string const& directory) {
    std::size_t removed = 0;
    for (auto const& name : DirectoryNames(directory)) {
        Owner owner;
        if (TemporaryOwner(name, owner) && OwnerIsGone(owner) &&
            unlink((directory + "/" + name).c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

}  // namespace detail

CleanupResult RemoveAbandonedExports(std::string const& journalDirectory) {
    using namespace detail;
    CleanupResult result;
    if (journalDirectory.empty()) {
        return result;
    }
    for (auto const& name : DirectoryNames(journalDirectory)) {
        Owner owner;
        if (!EndsWith(name, kRecordSuffix) ||
            !ParseOwner(name.substr(0, name.size() - (sizeof(kRecordSuffix) - 1)), owner)) {
            continue;
        }
        if (!OwnerIsGone(owner)) {
            ++result.kept;
            continue;
        }
        std::string const record = journalDirectory + "/" + name;
        std::string content;
        if (ReadSmallFile(record, content)) {
            std::string const path = content.substr(0, content.find('\n'));
            Owner fileOwner;
            // Only the very file this record was made for, so that a damaged record removes
            // nothing else.
            if (!path.empty() && path.front() == '/' && TemporaryOwner(NameOf(path), fileOwner) &&
                OwnerText(fileOwner) == OwnerText(owner)) {
                unlink(path.c_str());
            }
        }
        unlink(record.c_str());
        ++result.removed;
    }
    return result;
}

}  // namespace vireo::server::exporting

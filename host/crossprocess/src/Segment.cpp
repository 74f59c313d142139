#include "Segment.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "Counters.h"
#include "basekit/debug/Debug.h"
#include "basekit/utility/Guid.h"
#include "basekit/utility/Process.h"
#include "crossprocess/CrossProcess.h"

namespace crossprocess {
namespace detail {

namespace {

constexpr std::uint64_t kMaxSegmentLength = std::uint64_t{1} << 40;

// Names of the segments this process created and has not unlinked yet. Never destroyed, so
// that threads still running during exit can use it; UnlinkAllOwnedSegments (at exit) unlinks
// what is left.
struct OwnedNames {
    std::mutex mutex;
    std::set<std::string> names;
    bool exiting = false;
};

OwnedNames& Owned() {
    static OwnedNames* owned = new OwnedNames;
    return *owned;
}

std::uint64_t OwnStartTime() {
    static std::mutex mutex;
    static std::int64_t cachedPid = 0;
    static std::uint64_t cachedTime = 0;
    std::lock_guard<std::mutex> lock(mutex);
    std::int64_t pid = getpid();
    if (pid != cachedPid) {  // also right after a fork
        cachedPid = pid;
        cachedTime = basekit::utility::ProcessStartTime(pid);
    }
    return cachedTime;
}

bool ReadHeader(int fd, BlockHeader& header, off_t& size) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(BlockHeader))) {
        return false;
    }
    size = st.st_size;
    return pread(fd, &header, sizeof(header), 0) == static_cast<ssize_t>(sizeof(header));
}

std::string ReadPrefixSetting() {
    char const* value = std::getenv("VIREO_SHM_PREFIX");
    if (value == nullptr || *value == '\0') {
        return kDefaultSegmentPrefix;
    }
    if (!IsValidSegmentPrefix(value)) {
        static bool ignore = false;
        basekit::debug::ReportFailure(ignore, "reading VIREO_SHM_PREFIX",
                                      "not a valid segment name prefix; using \"vireo\"", __FILE__,
                                      __LINE__, __func__);
        return kDefaultSegmentPrefix;
    }
    return value;
}

bool HeaderLooksValid(BlockHeader const& header) {
    return header.magic == kBlockMagic && header.version == kBlockVersion;
}

void Unlink(std::string const& name) {
    if (shm_unlink(name.c_str()) == 0) {
        GetCounters().leftoversReclaimed.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

Counters& GetCounters() {
    static Counters* counters = new Counters;
    return *counters;
}

std::string const& SegmentPrefix() {
    static std::string const prefix = ReadPrefixSetting();
    return prefix;
}

bool IsValidSegmentPrefix(std::string const& prefix) {
    if (prefix.empty() || prefix.size() > kMaxSegmentPrefixLength) {
        return false;
    }
    for (char c : prefix) {
        bool const ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string MakeSegmentName(std::int64_t pid, std::uint8_t const (&random)[16]) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = "/";
    name += SegmentPrefix();
    name += '-';
    name += std::to_string(pid);
    name += '-';
    for (std::uint8_t b : random) {
        name += kHex[b >> 4];
        name += kHex[b & 15];
    }
    return name;
}

bool ParseSegmentName(std::string const& name, std::int64_t& pid, std::string* prefix) {
    std::size_t pos = (!name.empty() && name[0] == '/') ? 1 : 0;
    std::size_t const dash = name.find('-', pos);
    if (dash == std::string::npos || !IsValidSegmentPrefix(name.substr(pos, dash - pos))) {
        return false;
    }
    std::size_t const prefixBegin = pos;
    pos = dash + 1;
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9') {
        if (++digits > 10) {
            return false;
        }
        value = value * 10 + (name[pos] - '0');
        ++pos;
    }
    if (digits == 0 || value <= 0 || pos >= name.size() || name[pos] != '-') {
        return false;
    }
    ++pos;
    if (name.size() - pos != 32) {
        return false;
    }
    for (; pos < name.size(); ++pos) {
        char c = name[pos];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    pid = value;
    if (prefix != nullptr) {
        prefix->assign(name, prefixBegin, dash - prefixBegin);
    }
    return true;
}

bool ParseOwnSegmentName(std::string const& name, std::int64_t& pid) {
    std::string prefix;
    std::int64_t parsed = 0;
    if (!ParseSegmentName(name, parsed, &prefix) || prefix != SegmentPrefix()) {
        return false;
    }
    pid = parsed;
    return true;
}

// ---- OwnedSegment ------------------------------------------------------------------------------

std::unique_ptr<OwnedSegment> OwnedSegment::Create(std::uint64_t capacity) {
    long const page = sysconf(_SC_PAGESIZE);
    std::uint64_t const pageSize = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    if (capacity == 0 || capacity > kMaxSegmentLength) {
        return nullptr;
    }
    capacity = (capacity + pageSize - 1) / pageSize * pageSize;
    std::uint64_t const length = kBlockHeaderSize + capacity;
    std::int64_t const pid = getpid();

    for (int attempt = 0; attempt < 8; ++attempt) {
        basekit::utility::Guid const unique = basekit::utility::Guid::CreateUnique();
        std::uint8_t random[16];
        std::memcpy(random, unique.GetBytes().data(), sizeof(random));
        std::string name = MakeSegmentName(pid, random);

        int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;  // a leftover with this name never blocks us: take another name
            }
            return nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(Owned().mutex);
            if (Owned().exiting) {  // the process is going away: create nothing it would leak
                close(fd);
                shm_unlink(name.c_str());
                return nullptr;
            }
            Owned().names.insert(name);
        }
        auto fail = [&]() -> std::unique_ptr<OwnedSegment> {
            close(fd);
            shm_unlink(name.c_str());
            std::lock_guard<std::mutex> lock(Owned().mutex);
            Owned().names.erase(name);
            return nullptr;
        };
        // Reserve the memory now, so that running out of it is an error here and never a
        // fault on first touch.
        if (fchmod(fd, 0600) != 0 || posix_fallocate(fd, 0, static_cast<off_t>(length)) != 0) {
            return fail();
        }
        void* base =
            mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
        if (base == MAP_FAILED) {
            return fail();
        }
        close(fd);

        // The magic goes in last, so that a scan never judges a half-written header.
        BlockHeader header{};
        header.magic = 0;
        header.version = kBlockVersion;
        header.headerSize = kBlockHeaderSize;
        header.capacity = capacity;
        header.ownerPid = pid;
        header.ownerStartTime = OwnStartTime();
        std::memcpy(header.segmentId, random, sizeof(random));
        std::memcpy(base, &header, sizeof(header));
        __atomic_store_n(&static_cast<BlockHeader*>(base)->magic, kBlockMagic, __ATOMIC_RELEASE);

        GetCounters().segmentsCreated.fetch_add(1, std::memory_order_relaxed);
        return std::unique_ptr<OwnedSegment>(
            new OwnedSegment(std::move(name), static_cast<std::uint8_t*>(base), length, capacity));
    }
    return nullptr;
}

OwnedSegment::~OwnedSegment() {
    munmap(mBase, mLength);
    bool unlink = false;
    {
        std::lock_guard<std::mutex> lock(Owned().mutex);
        unlink = Owned().names.erase(mName) != 0;
    }
    if (unlink) {
        shm_unlink(mName.c_str());
    }
    GetCounters().segmentsRetired.fetch_add(1, std::memory_order_relaxed);
}

// ---- MappedSegment -----------------------------------------------------------------------------

long MappedSegment::Open(std::string const& name, std::int64_t expectedPid,
                         std::shared_ptr<MappedSegment>& out) {
    std::int64_t pid = 0;
    if (!ParseSegmentName(name, pid) || (expectedPid != 0 && pid != expectedPid)) {
        return kStatusCorrupt;
    }
    std::string const path = name[0] == '/' ? name : "/" + name;
    int fd = shm_open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        return kStatusFailed;
    }
    struct stat st {};
    BlockHeader header{};
    off_t size = 0;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
              (st.st_mode & 077) == 0 && ReadHeader(fd, header, size);
    std::uint64_t const segmentSize = static_cast<std::uint64_t>(size);
    // Every size comes from the header, is bounded, and must fit the segment: only the header
    // and the data area it names are mapped.
    ok = ok && HeaderLooksValid(header) && header.flags == 0 && header.ownerPid == pid &&
         header.headerSize >= sizeof(BlockHeader) && header.headerSize <= kMaxBlockHeaderSize &&
         header.headerSize % 64 == 0 && header.capacity <= kMaxBlockCapacity &&
         header.headerSize + header.capacity <= segmentSize;
    // Owners reserve a segment's memory in full when they create it. Mapping (and populating)
    // a segment with holes would make this process allocate the peer's memory.
    ok = ok && static_cast<std::uint64_t>(st.st_blocks) * 512u >= segmentSize;
    if (!ok) {
        close(fd);
        return kStatusCorrupt;
    }
    std::uint64_t const length = header.headerSize + header.capacity;
    void* base = mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (base == MAP_FAILED) {
        close(fd);
        return kStatusFailed;
    }
    auto* segment = new MappedSegment(path, fd, static_cast<std::uint8_t const*>(base), length,
                                      header.headerSize);
    segment->mDataEnd = length;
    out.reset(segment);
    GetCounters().segmentsMapped.fetch_add(1, std::memory_order_relaxed);
    return kStatusOK;
}

MappedSegment::~MappedSegment() {
    munmap(const_cast<std::uint8_t*>(mBase), mLength);
    close(mFd);
    GetCounters().segmentsUnmapped.fetch_add(1, std::memory_order_relaxed);
}

bool MappedSegment::Covers(std::uint64_t offset, std::uint64_t size) const {
    if (offset < mDataBegin || offset > mDataEnd || size > mDataEnd - offset) {
        return false;
    }
    struct stat st {};
    return fstat(mFd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= mLength;
}

// ---- Reclaiming --------------------------------------------------------------------------------

std::size_t ReclaimLeftovers(std::int64_t onlyPid) {
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr) {
        return 0;
    }
    std::int64_t const self = getpid();
    uid_t const uid = geteuid();
    std::vector<std::string> stale;
    while (dirent* entry = readdir(dir)) {
        std::string const name = entry->d_name;
        std::int64_t pid = 0;
        // A scan judges only names of our prefix; a dead peer's names of any prefix are gone
        // with it.
        bool const parsed = onlyPid == 0 ? ParseOwnSegmentName(name, pid)
                                         : (ParseSegmentName(name, pid) && pid == onlyPid);
        if (!parsed) {
            continue;
        }
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != uid) {
            continue;  // not ours to judge
        }
        std::string const path = "/" + name;
        if (pid != self && !basekit::utility::IsProcessAlive(pid)) {
            stale.push_back(path);
            continue;
        }
        if (pid == self) {
            std::lock_guard<std::mutex> lock(Owned().mutex);
            if (Owned().names.count(path) != 0) {
                continue;
            }
        }
        // The pid lives: the segment is stale only when its header names another process
        // that had the same pid. A segment without a valid header may be in creation: keep it.
        std::uint64_t const liveStart =
            pid == self ? OwnStartTime() : basekit::utility::ProcessStartTime(pid);
        int fd = shm_open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
        if (fd < 0) {
            continue;
        }
        BlockHeader header{};
        off_t size = 0;
        bool const valid = ReadHeader(fd, header, size) && HeaderLooksValid(header);
        close(fd);
        if (valid && liveStart != 0 && header.ownerPid == pid && header.ownerStartTime != 0 &&
            header.ownerStartTime != liveStart) {
            stale.push_back(path);
        }
    }
    closedir(dir);
    for (auto const& path : stale) {
        Unlink(path);
    }
    return stale.size();
}

void UnlinkAllOwnedSegments() {
    std::set<std::string> names;
    {
        std::lock_guard<std::mutex> lock(Owned().mutex);
        names.swap(Owned().names);
        Owned().exiting = true;
    }
    std::int64_t const self = getpid();
    for (auto const& name : names) {
        std::int64_t pid = 0;
        // A forked child inherits its parent's list: those segments are the parent's.
        if (ParseOwnSegmentName(name, pid) && pid == self) {
            shm_unlink(name.c_str());
        }
    }
}

}  // namespace detail
}  // namespace crossprocess

#include "basekit/utility/Process.h"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "basekit/utility/Parse.h"

namespace basekit {
namespace utility {

namespace {

// The fields of /proc/<pid>/stat after the command name (which may hold spaces and
// parentheses): the first one is the state (field 3 of the file).
bool ReadProcStat(std::int64_t pid, std::vector<std::string>& fields) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!in || !std::getline(in, line)) {
        return false;
    }
    auto const close = line.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    while (rest >> field) {
        fields.push_back(field);
    }
    return !fields.empty();
}

bool ValidPid(std::int64_t pid) {
    return pid > 0 && pid <= 0x7fffffff;
}

}  // namespace

bool IsProcessAlive(std::int64_t pid) noexcept {
    if (!ValidPid(pid)) {
        return false;
    }
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) {
        return false;
    }
    // A zombie still answers kill(); it is gone for our purposes.
    try {
        std::vector<std::string> fields;
        if (ReadProcStat(pid, fields)) {
            return fields[0] != "Z" && fields[0] != "X";
        }
    } catch (std::exception const&) {  // out of memory reading /proc: trust kill()
    }
    return true;
}

std::uint64_t ProcessStartTime(std::int64_t pid) noexcept {
    if (!ValidPid(pid)) {
        return 0;
    }
    try {
        std::vector<std::string> fields;
        std::uint64_t start = 0;
        // starttime is field 22 of the file, the 20th after the command name.
        if (ReadProcStat(pid, fields) && fields.size() >= 20 && ParseInteger(fields[19], start)) {
            return start;
        }
    } catch (std::exception const&) {  // unreadable is the documented 0
    }
    return 0;
}

std::int64_t ProcessUserID(std::int64_t pid) noexcept {
    if (!ValidPid(pid)) {
        return -1;
    }
    try {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        static const std::string kUid = "Uid:";
        while (std::getline(status, line)) {
            if (line.compare(0, kUid.size(), kUid) == 0) {
                std::istringstream fields(line.substr(kUid.size()));
                std::string real;
                std::int64_t uid = -1;
                if (fields >> real && ParseInteger(real, uid)) {
                    return uid;
                }
                return -1;
            }
        }
    } catch (std::exception const&) {  // unreadable is the documented -1
    }
    return -1;
}

}  // namespace utility
}  // namespace basekit

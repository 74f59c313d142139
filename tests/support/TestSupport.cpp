#include "TestSupport.h"

#include "basekit/utility/Parse.h"
#include "basekit/utility/Process.h"

#include <dirent.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Script.h"
#include "TestSupportPaths.h"

namespace vireo::test {

namespace {

std::string TempBase() {
    char const* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

int RemoveOne(char const* path, struct stat const*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

std::string ReadFile(std::string const& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<pid_t> AllProcesses() {
    std::vector<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        return pids;
    }
    while (dirent* entry = ::readdir(proc)) {
        std::int32_t pid = 0;
        if (basekit::utility::ParseInteger(entry->d_name, pid) && pid > 0) {
            pids.push_back(static_cast<pid_t>(pid));
        }
    }
    ::closedir(proc);
    return pids;
}

}  // namespace

std::string RealServerPath() {
    return VIREO_TEST_REAL_SERVER;
}
std::string ScriptedServerPath() {
    return VIREO_TEST_SCRIPTED_SERVER;
}

ScopedEnv::ScopedEnv(std::string name, char const* value) : mName(std::move(name)) {
    if (char const* old = std::getenv(mName.c_str())) {
        mHadValue = true;
        mOldValue = old;
    }
    if (value) {
        ::setenv(mName.c_str(), value, 1);
    } else {
        ::unsetenv(mName.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (mHadValue) {
        ::setenv(mName.c_str(), mOldValue.c_str(), 1);
    } else {
        ::unsetenv(mName.c_str());
    }
}

TempDir::TempDir(std::string const& prefix) {
    std::string pattern = TempBase() + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) {
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    mPath = buffer.data();
}

TempDir::~TempDir() {
    ::nftw(mPath.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

TempRegistry::TempRegistry()
    : mDir("vireo-registry"), mEnv("CORVIDHOST_REGISTRY_DIR", mDir.Path().c_str()) {}

TempRegistry::~TempRegistry() {
    for (pid_t pid : ServerProcesses()) {
        ::kill(pid, SIGKILL);
    }
    for (pid_t pid : ServerProcesses()) {
        WaitForProcessExit(pid, std::chrono::seconds(5));
    }
}

int TempRegistry::CountEntries() const {
    int count = 0;
    DIR* dir = ::opendir(Dir().c_str());
    if (!dir) {
        return 0;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string const name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

bool TempRegistry::ReadEntry(std::string const& serverName, hostlink::RegistryEntry& out) const {
    return hostlink::ReadEntry(hostlink::EntryPath(Dir(), serverName), out);
}

std::vector<pid_t> TempRegistry::ServerProcesses() const {
    std::vector<pid_t> found;
    for (pid_t pid : AllProcesses()) {
        auto const arguments = ProcessArguments(pid);
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            bool const match = (arguments[i] == "--registry" && i + 1 < arguments.size() &&
                                arguments[i + 1] == Dir()) ||
                               arguments[i] == "--registry=" + Dir();
            if (match && IsProcessRunning(pid)) {
                found.push_back(pid);
                break;
            }
        }
    }
    return found;
}

AppDirectory::AppDirectory(ServerKind kind) : mDir("vireo-app") {
    std::string const target = kind == ServerKind::Real ? RealServerPath() : ScriptedServerPath();
    if (::symlink(target.c_str(), ExecutablePath().c_str()) != 0) {
        throw std::runtime_error("cannot link the server: " + std::string(std::strerror(errno)));
    }
}

ScriptFile::ScriptFile(std::string const& scriptJson) : mDir("vireo-script") {
    boost::system::error_code ec;
    boost::json::value json = boost::json::parse(scriptJson, ec);
    if (ec || !json.is_object()) {
        throw std::invalid_argument("the script is not a JSON object");
    }
    auto& object = json.get_object();
    if (auto const* log = object.if_contains("log"); log && log->is_string()) {
        mLogPath = std::string(log->get_string());
    } else {
        mLogPath = mDir.Path() + "/log.jsonl";
        object["log"] = mLogPath;
    }
    std::string const text = boost::json::serialize(json);
    Script check;
    std::string error;
    if (!check.Parse(text, error)) {
        throw std::invalid_argument("bad script: " + error);
    }
    mPath = mDir.Path() + "/script.json";
    std::ofstream(mPath) << text;
    mEnv.reset(new ScopedEnv("VIREO_SCRIPT", mPath.c_str()));
}

std::vector<boost::json::object> ScriptFile::ReadLog() const {
    std::vector<boost::json::object> lines;
    std::istringstream text(ReadFile(mLogPath));
    std::string line;
    while (std::getline(text, line)) {
        boost::system::error_code ec;
        auto value = boost::json::parse(line, ec);
        if (!ec && value.is_object()) {
            lines.push_back(value.get_object());
        }
    }
    return lines;
}

std::vector<std::string> ProcessArguments(pid_t pid) {
    std::string const text = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        arguments.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return arguments;
}

bool IsProcessRunning(pid_t pid) {
    return basekit::utility::IsProcessAlive(pid);
}

bool WaitForProcessExit(pid_t pid, std::chrono::milliseconds bound) {
    return WaitUntil([pid] { return !IsProcessRunning(pid); }, bound);
}

bool WaitUntil(std::function<bool()> const& condition, std::chrono::milliseconds bound) {
    auto const deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace vireo::test

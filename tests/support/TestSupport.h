#pragma once
// Helpers for tests that start servers: a private registry, an application directory holding
// "Corvid Vireo Server.exe" (the real or the scripted server), script files for the scripted
// server, and process inspection. Environment changes are undone on destruction; make these
// objects before the test starts threads that read the environment.
#include <sys/types.h>

#include <boost/json/object.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hostlink/Registry.h"

namespace vireo::test {

// Built executables.
std::string RealServerPath();      // <build>/bin/Corvid Vireo Server.exe
std::string ScriptedServerPath();  // <build>/bin/vireo_scripted_server

// Sets (or, with a null value, unsets) an environment variable; the destructor restores it.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, char const* value);
    ~ScopedEnv();
    ScopedEnv(ScopedEnv const&) = delete;
    ScopedEnv& operator=(ScopedEnv const&) = delete;

  private:
    std::string mName;
    bool mHadValue = false;
    std::string mOldValue;
};

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
  public:
    explicit TempDir(std::string const& prefix = "vireo-test");
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;
    std::string const& Path() const { return mPath; }

  private:
    std::string mPath;
};

// A private registry directory (mode 0700), made current through CORVIDHOST_REGISTRY_DIR. On
// destruction every server process still running with it (found by its --registry argument)
// is killed, so no test leaves servers behind.
class TempRegistry {
  public:
    TempRegistry();
    ~TempRegistry();
    std::string const& Dir() const { return mDir.Path(); }
    // Entry files in the directory.
    int CountEntries() const;
    bool ReadEntry(std::string const& serverName, hostlink::RegistryEntry& out) const;
    // Processes started with "--registry Dir()".
    std::vector<pid_t> ServerProcesses() const;

  private:
    TempDir mDir;
    ScopedEnv mEnv;
};

enum class ServerKind { Real, Scripted };

// An application directory: a temporary directory holding a symlink
// "Corvid Vireo Server.exe" to the real or the scripted server.
class AppDirectory {
  public:
    explicit AppDirectory(ServerKind kind);
    std::string const& Dir() const { return mDir.Path(); }
    std::string ExecutablePath() const { return Dir() + "/Corvid Vireo Server.exe"; }

  private:
    TempDir mDir;
};

// A script for the scripted server (format: docs/server.md), written to a temporary file and
// named by VIREO_SCRIPT while this object lives. Unless the script names a "log" itself, one is
// added in the same temporary directory. A malformed script throws std::invalid_argument here,
// not later in a server whose error output nobody sees.
class ScriptFile {
  public:
    explicit ScriptFile(std::string const& scriptJson);
    std::string const& Path() const { return mPath; }
    std::string const& LogPath() const { return mLogPath; }
    // The lines logged so far: {"method", "params", "notification", "session"} per scripted
    // call, {"event": "session-start"|"session-end", "session"} per session.
    std::vector<boost::json::object> ReadLog() const;

  private:
    TempDir mDir;
    std::string mPath;
    std::string mLogPath;
    std::unique_ptr<ScopedEnv> mEnv;
};

// The command line of a process (empty when it is gone).
std::vector<std::string> ProcessArguments(pid_t pid);
// True while the process exists and is not a zombie.
bool IsProcessRunning(pid_t pid);
// Waits up to `bound` for the process to end; true when it did.
bool WaitForProcessExit(pid_t pid, std::chrono::milliseconds bound);
// Polls `condition` every few milliseconds up to `bound`; true once it holds.
bool WaitUntil(std::function<bool()> const& condition, std::chrono::milliseconds bound);

}  // namespace vireo::test

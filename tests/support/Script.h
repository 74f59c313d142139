#pragma once
// The script of the scripted test server: how it announces itself and how it answers each
// method. The format is described in docs/server.md.
#include <boost/json/value.hpp>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vireotest {

struct Behaviour {
    enum class Kind { Result, Error, Stall, Drop, Exit };
    Kind kind = Kind::Result;
    int delayMs = 0;             // wait this long before acting
    boost::json::value result;   // Result: the result object sent back ({} by default)
    std::int64_t errorCode = 0;  // Error
    std::string errorMessage;    // Error
    int exitCode = 0;            // Exit
};

class Script {
  public:
    // Reads the script file; false with a message when it is unreadable or malformed.
    bool Load(std::string const& path, std::string& error);
    // Parses script text (used by Load and by tests of the format).
    bool Parse(std::string const& text, std::string& error);

    int AnnounceDelayMs() const { return mAnnounceDelayMs; }
    std::string const& LogPath() const { return mLogPath; }
    // The scripted method names.
    std::vector<std::string> Methods() const;
    // The next behaviour for `method`: a list is used in order and its last entry repeats.
    Behaviour Next(std::string const& method);

  private:
    struct MethodScript {
        std::vector<Behaviour> behaviours;
        std::size_t next = 0;
    };
    int mAnnounceDelayMs = 0;
    std::string mLogPath;
    mutable std::mutex mMutex;  // guards mMethods' positions
    std::map<std::string, MethodScript> mMethods;
};

// Parses one behaviour object; false with a message when it is not one.
bool ParseBehaviour(boost::json::value const& json, Behaviour& out, std::string& error);

}  // namespace vireotest

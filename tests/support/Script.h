#pragma once
// The script of the scripted test server: how it announces itself and how it answers each
// method. The format is described in docs/server.md.
#include <boost/json/value.hpp>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vireo::test {

// Data a behaviour publishes through crossprocess to the calling session, before it acts.
struct Publication {
    enum class Kind { None, Bytes, Frame, Failure };
    enum class Fill { Ramp, Floats, Zero };
    // A frame header made wrong on purpose, so that the reader's checks refuse it.
    enum class Corruption { None, RowBytes, Magic, DataSize };

    Kind kind = Kind::None;
    std::size_t idParam = 0;  // index of the request identifier in the call's params
    int afterMs = 0;          // wait this long after publishing, before acting
    // Bytes
    std::uint64_t bytes = 0;
    Fill fill = Fill::Ramp;
    // Frame
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fourcc = 0;
    std::uint32_t rowBytes = 0;  // 0: the format's minimum rounded up to 64
    Corruption corrupt = Corruption::None;
    // Failure
    std::int64_t failStatus = 0;
};

struct Behaviour {
    enum class Kind { Result, Error, Stall, Drop, Exit };
    Kind kind = Kind::Result;
    int delayMs = 0;             // wait this long before acting
    boost::json::value result;   // Result: the result object sent back ({} by default)
    std::int64_t errorCode = 0;  // Error
    std::string errorMessage;    // Error
    int exitCode = 0;            // Exit
    Publication publish;         // published first, when its kind is not None
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

// Parses the "publish" member of a behaviour; false with a message when it is not one.
bool ParsePublication(boost::json::value const& json, Publication& out, std::string& error);
// Parses one behaviour object; false with a message when it is not one.
bool ParseBehaviour(boost::json::value const& json, Behaviour& out, std::string& error);

}  // namespace vireo::test

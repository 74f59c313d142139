#pragma once
// Text form of messages: one JSON object per line, ended by a line feed.
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace basetransport {
namespace detail {

// Parses one message. Unlike boost::json::parse it reads every real number exactly (the
// nearest double to its text), so a double survives the trip through text bit for bit. Accepts
// invalid UTF-8 inside strings (they carry bytes) and nesting up to kMaxMessageDepth. One parser is
// used by one thread at a time.
class MessageParser {
  public:
    MessageParser();
    ~MessageParser();
    MessageParser(MessageParser const&) = delete;
    MessageParser& operator=(MessageParser const&) = delete;

    // The value, or nothing with a description in `error`.
    std::optional<boost::json::value> Parse(std::string_view text, std::string& error);

  private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

// The message's text followed by a line feed. The first form writes it over `text`, whose memory
// it reuses.
void SerializeMessage(boost::json::object const& message, std::string& text);
std::string SerializeMessage(boost::json::object const& message);

// Splits the bytes of a session into lines and parses each into a message. Bytes are received
// straight into the reader's buffer (Space, then Commit). A carriage return before the line feed
// is dropped and empty lines are skipped. The first line that is not a JSON object, does not
// parse, or grows past kMaxMessageBytes (noticed as soon as the limit is passed, without waiting
// for its end) is a failure: the messages before it are still given out, nothing after it is.
class MessageReader {
  public:
    MessageReader();

    // Room for at least one more byte; grows the buffer as needed.
    std::pair<char*, std::size_t> Space();
    // `bytes` bytes were written at Space(). Appends the complete messages to `out`; false once
    // the session's input has failed (with the reason in `failure`).
    bool Commit(std::size_t bytes, std::vector<boost::json::object>& out, std::string& failure);
    // Appends `bytes` as if received (the bytes that came with the handshake answer).
    bool Feed(std::string_view bytes, std::vector<boost::json::object>& out, std::string& failure);
    // Bytes of an incomplete line held.
    std::size_t Pending() const { return mUsed; }

  private:
    std::vector<char> mBuffer;
    std::size_t mUsed = 0;
    std::size_t mScanned = 0;  // bytes at the start of the buffer known to hold no line feed
    bool mFailed = false;
    MessageParser mParser;
};

}  // namespace detail
}  // namespace basetransport

#pragma once
// Text form of messages: one JSON value per line.
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <memory>
#include <string>
#include <string_view>

namespace basetransport {
namespace detail {

// Parses one message. Unlike boost::json::parse it reads every real number exactly (the nearest
// double to its text), so a double survives the trip through text bit for bit. Accepts invalid
// UTF-8 inside strings (they carry bytes) and nesting up to kMaxMessageDepth. One parser is
// used by one thread at a time.
class MessageParser {
  public:
    MessageParser();
    ~MessageParser();
    MessageParser(MessageParser const&) = delete;
    MessageParser& operator=(MessageParser const&) = delete;

    // True with the value in `out`; false with a description in `error`.
    bool Parse(std::string_view text, boost::json::value& out, std::string& error);

  private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

// The message's text followed by a line feed.
std::string SerializeMessage(boost::json::object const& message);

}  // namespace detail
}  // namespace basetransport

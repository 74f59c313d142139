// The reader that splits a session's bytes into lines and parses each into a message: whatever
// the bytes and however they are cut into reads, it gives the same messages and the same verdict,
// every message is an object, and each survives being written and read again.
#include <boost/json/serialize.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "MessageCodec.h"

namespace {

namespace json = boost::json;
using basetransport::detail::MessageParser;
using basetransport::detail::MessageReader;
using basetransport::detail::SerializeMessage;

using vireo::test::fuzz::Require;

struct Outcome {
    std::vector<std::string> messages;  // as written again
    bool failed = false;
};

// Reads `bytes` in pieces whose sizes come from `cuts` (0: the whole rest at once).
Outcome Read(std::string_view bytes, std::string_view cuts) {
    Outcome outcome;
    MessageReader reader;
    std::vector<json::object> messages;
    std::string failure;
    std::size_t next = 0;
    while (!bytes.empty() && !outcome.failed) {
        std::size_t size = bytes.size();
        if (!cuts.empty()) {
            size = 1 + static_cast<unsigned char>(cuts[next++ % cuts.size()]) % 64;
        }
        size = std::min(size, bytes.size());
        // Half of the pieces arrive through Space/Commit, as a socket read does.
        if (next % 2 == 0) {
            outcome.failed = !reader.Feed(bytes.substr(0, size), messages, failure);
        } else {
            std::size_t done = 0;
            while (done < size && !outcome.failed) {
                auto const space = reader.Space();
                Require(space.second > 0);
                std::size_t const n = std::min(space.second, size - done);
                std::copy(bytes.data() + done, bytes.data() + done + n, space.first);
                outcome.failed = !reader.Commit(n, messages, failure);
                done += n;
            }
        }
        bytes.remove_prefix(size);
        Require(outcome.failed == !failure.empty());
    }
    for (auto const& message : messages) {
        outcome.messages.push_back(SerializeMessage(message));
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    // The first bytes (up to a line feed, at most 16) say how to cut the rest into reads.
    std::string_view input(reinterpret_cast<char const*>(data), size);
    std::size_t const split = std::min<std::size_t>(input.find('\n'), 16);
    std::string_view const cuts = split < input.size() ? input.substr(0, split) : "";
    std::string_view const bytes = split < input.size() ? input.substr(split + 1) : input;

    Outcome const whole = Read(bytes, "");
    Outcome const pieces = Read(bytes, cuts.empty() ? std::string_view("\x01") : cuts);
    Require(whole.messages == pieces.messages);
    Require(whole.failed == pieces.failed);

    // A message written out is one line that reads back as the same message.
    MessageParser parser;
    for (auto const& text : whole.messages) {
        Require(!text.empty() && text.back() == '\n');
        Require(text.find('\n') == text.size() - 1);
        std::string error;
        auto const again = parser.Parse(std::string_view(text.data(), text.size() - 1), error);
        Require(again && again->is_object());
        Require(SerializeMessage(again->get_object()) == text);
    }
    return 0;
}

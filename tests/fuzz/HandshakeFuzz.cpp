// The server side of the handshake: whatever a new connection sends first, and however it is cut
// into reads, the verdict is the same; only a transport.hello of this protocol with the right
// token is accepted; and the answer is always one well-formed message whose error text is valid
// UTF-8 (an id is echoed as it came: strings carry bytes).
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "Handshake.h"
#include "basekit/utility/Text.h"
#include "basetransport/Session.h"

namespace {

namespace json = boost::json;
using basetransport::detail::HelloReader;

constexpr char kToken[] = "fuzz-token";

using vireo::test::fuzz::Require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string_view const bytes(reinterpret_cast<char const*>(data), size);
    HelloReader whole(kToken);
    whole.Feed(bytes);
    HelloReader pieces(kToken);
    for (std::size_t i = 0; i < bytes.size() && !pieces.Judged(); i += 3) {
        pieces.Feed(bytes.substr(i, 3));
    }
    Require(whole.Judged() == pieces.Judged());
    if (!whole.Judged()) {
        Require(bytes.find('\n') == std::string_view::npos);
        return 0;
    }
    auto const& verdict = whole.Verdict();
    Require(verdict.accepted == pieces.Verdict().accepted);
    Require(json::serialize(verdict.answer) == json::serialize(pieces.Verdict().answer));

    // The answer: one line, a JSON-RPC answer to the hello.
    std::string const text = json::serialize(verdict.answer);
    Require(text.find('\n') == std::string::npos);
    json::parse_options lenient;
    lenient.allow_invalid_utf8 = true;
    lenient.max_depth = basetransport::kMaxMessageDepth;
    json::error_code ec;
    json::value const answer = json::parse(text, ec, {}, lenient);
    Require(!ec && answer.is_object());
    json::object const& object = answer.get_object();
    Require(object.contains("id"));
    Require(object.contains("result") != object.contains("error"));
    if (auto const* failure = object.if_contains("error")) {
        Require(failure->at("code").is_int64() && failure->at("message").is_string());
        Require(basekit::utility::IsValidUTF8(failure->at("message").get_string()));
    }

    // Accepted: the first line really is such a hello.
    if (verdict.accepted) {
        Require(object.contains("result"));
        std::string line(bytes.substr(0, bytes.find('\n')));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        json::value const hello = json::parse(line, ec, {}, lenient);
        Require(!ec);
        Require(hello.at("method") == "transport.hello");
        Require(hello.at("params").at("token") == kToken);
        Require(hello.at("params").at("protocol").to_number<std::int64_t>() ==
                basetransport::kProtocolVersion);
    }
    return 0;
}

#include "MessageCodec.h"

#include <algorithm>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/serializer.hpp>
#include <boost/json/value_stack.hpp>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "basetransport/Session.h"

namespace basetransport {
namespace detail {

namespace {

namespace json = boost::json;

// Builds values like Boost.JSON's own parser, but converts real numbers from their text with
// std::from_chars, which rounds correctly.
struct ExactHandler {
    static constexpr std::size_t max_object_size = json::object::max_size();
    static constexpr std::size_t max_array_size = json::array::max_size();
    static constexpr std::size_t max_key_size = json::string::max_size();
    static constexpr std::size_t max_string_size = json::string::max_size();

    ExactHandler(json::storage_ptr sp, unsigned char* buffer, std::size_t size)
        : st(std::move(sp), buffer, size) {}

    json::value_stack st;
    std::string number;  // the text of a number split across input pieces

    bool on_document_begin(json::error_code&) { return true; }
    bool on_document_end(json::error_code&) { return true; }
    bool on_object_begin(json::error_code&) { return true; }
    bool on_object_end(std::size_t n, json::error_code&) {
        st.push_object(n);
        return true;
    }
    bool on_array_begin(json::error_code&) { return true; }
    bool on_array_end(std::size_t n, json::error_code&) {
        st.push_array(n);
        return true;
    }
    bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_key(json::string_view s, std::size_t, json::error_code&) {
        st.push_key(s);
        return true;
    }
    bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_string(json::string_view s, std::size_t, json::error_code&) {
        st.push_string(s);
        return true;
    }
    bool on_number_part(json::string_view s, json::error_code&) {
        number.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
        number.clear();
        st.push_int64(i);
        return true;
    }
    bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
        number.clear();
        st.push_uint64(u);
        return true;
    }
    bool on_double(double d, json::string_view s, json::error_code& ec) {
        char const* first = s.data();
        char const* last = s.data() + s.size();
        if (!number.empty()) {
            number.append(s.data(), s.size());
            first = number.data();
            last = number.data() + number.size();
        }
        double exact = 0.0;
        auto const result = std::from_chars(first, last, exact);
        if (result.ec == std::errc() && result.ptr == last) {
            d = exact;
        }
        number.clear();
        if (!std::isfinite(d)) {
            // Too large for a double: read as infinity it could never be written back as JSON
            // (an answer echoing it would not parse), so the text is refused here.
            ec = json::error::exponent_overflow;
            return false;
        }
        st.push_double(d);
        return true;
    }
    bool on_bool(bool b, json::error_code&) {
        st.push_bool(b);
        return true;
    }
    bool on_null(json::error_code&) {
        st.push_null();
        return true;
    }
    bool on_comment_part(json::string_view, json::error_code&) { return true; }
    bool on_comment(json::string_view, json::error_code&) { return true; }
};

// A receive buffer starts this large, grows as a long message needs, and shrinks back to it once
// a long message has passed.
constexpr std::size_t kInitialBuffer = 8 * 1024;
constexpr std::size_t kShrinkAbove = 256 * 1024;
// The longest incomplete line held: a message of kMaxMessageBytes and its carriage return.
constexpr std::size_t kMaxPending = kMaxMessageBytes + 1;

json::parse_options MessageOptions() {
    json::parse_options options;
    options.max_depth = kMaxMessageDepth;
    options.allow_invalid_utf8 = true;
    return options;
}

}  // namespace

struct MessageParser::Impl {
    Impl() : parser(MessageOptions(), json::storage_ptr(), nullptr, 0) {}
    json::basic_parser<ExactHandler> parser;
};

MessageParser::MessageParser() : mImpl(new Impl()) {}

MessageParser::~MessageParser() = default;

std::optional<json::value> MessageParser::Parse(std::string_view text, std::string& error) {
    auto& parser = mImpl->parser;
    parser.reset();
    parser.handler().st.reset();
    parser.handler().number.clear();
    json::error_code ec;
    std::size_t const used = parser.write_some(false, text.data(), text.size(), ec);
    if (!ec && used < text.size()) {
        ec = json::error::extra_data;
    }
    if (!ec && !parser.done()) {
        ec = json::error::incomplete;
    }
    if (ec) {
        error = ec.message();
        return std::nullopt;
    }
    return std::optional<json::value>(parser.handler().st.release());
}

void SerializeMessage(json::object const& message, std::string& text) {
    // The serializer keeps its working memory from one message to the next.
    thread_local json::serializer serializer;
    serializer.reset(&message);
    constexpr std::size_t kChunk = 512;
    std::size_t used = 0;
    text.clear();
    while (!serializer.done()) {
        if (text.size() - used < kChunk) {
            text.resize(used + std::max(kChunk, used));
        }
        used += serializer.read(&text[used], text.size() - used).size();
    }
    text.resize(used);
    text.push_back('\n');
}

std::string SerializeMessage(json::object const& message) {
    std::string text;
    SerializeMessage(message, text);
    return text;
}

MessageReader::MessageReader() : mBuffer(kInitialBuffer) {}

std::pair<char*, std::size_t> MessageReader::Space() {
    if (mBuffer.size() - mUsed < kInitialBuffer / 2 && mBuffer.size() <= kMaxPending) {
        // One byte beyond the longest line allowed, so that passing the limit is seen.
        std::size_t const grown =
            std::min(std::max(mBuffer.size() * 2, mUsed + kInitialBuffer), kMaxPending + 1);
        mBuffer.resize(grown);
    }
    return {mBuffer.data() + mUsed, mBuffer.size() - mUsed};
}

bool MessageReader::Commit(std::size_t bytes, std::vector<json::object>& out,
                           std::string& failure) {
    if (mFailed) {
        return false;
    }
    mUsed += std::min(bytes, mBuffer.size() - mUsed);
    char* const data = mBuffer.data();
    // Only the bytes that came since the last look can hold a new line feed.
    auto const* last = static_cast<char const*>(memrchr(data + mScanned, '\n', mUsed - mScanned));
    if (last != nullptr) {
        std::size_t const end = static_cast<std::size_t>(last - data) + 1;
        std::size_t begin = 0;
        while (begin < end) {
            auto const* newline =
                static_cast<char const*>(std::memchr(data + begin, '\n', end - begin));
            std::size_t const next = static_cast<std::size_t>(newline - data) + 1;
            std::size_t stop = next - 1;
            if (stop > begin && data[stop - 1] == '\r') {
                --stop;
            }
            std::string_view const line(data + begin, stop - begin);
            begin = next;
            if (line.empty()) {
                continue;
            }
            if (line.size() > kMaxMessageBytes) {
                failure = "a message exceeds the size limit";
                mFailed = true;
                return false;
            }
            std::string error;
            std::optional<json::value> value = mParser.Parse(line, error);
            if (!value) {
                failure = "unparsable message: " + error;
                mFailed = true;
                return false;
            }
            if (!value->is_object()) {
                failure = "a message is not a JSON object";
                mFailed = true;
                return false;
            }
            out.push_back(std::move(value->get_object()));
        }
        std::memmove(data, data + end, mUsed - end);
        mUsed -= end;
    }
    mScanned = mUsed;
    if (mUsed > kMaxPending) {
        failure = "a message exceeds the size limit";
        mFailed = true;
        return false;
    }
    if (mBuffer.size() > kShrinkAbove && mUsed < kInitialBuffer) {
        // A long message has passed: give the memory back.
        std::vector<char> smaller(data, data + mUsed);
        smaller.resize(kInitialBuffer);
        mBuffer.swap(smaller);
    }
    return true;
}

bool MessageReader::Feed(std::string_view bytes, std::vector<json::object>& out,
                         std::string& failure) {
    while (!bytes.empty()) {
        auto const space = Space();
        std::size_t const n = std::min(space.second, bytes.size());
        std::memcpy(space.first, bytes.data(), n);
        bytes.remove_prefix(n);
        if (!Commit(n, out, failure)) {
            return false;
        }
    }
    return !mFailed;
}

}  // namespace detail
}  // namespace basetransport

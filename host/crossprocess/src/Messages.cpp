#include "Messages.h"

#include <boost/json/string.hpp>
#include <boost/json/value.hpp>

namespace crossprocess {
namespace detail {
namespace msg {

boost::json::object Make(const char* method, boost::json::object params) {
    boost::json::object message;
    message["jsonrpc"] = "2.0";
    message["method"] = method;
    message["params"] = std::move(params);
    return message;
}

std::string Method(boost::json::object const& message) {
    auto it = message.find("method");
    if (it == message.end() || !it->value().is_string()) {
        return {};
    }
    auto const& s = it->value().get_string();
    return std::string(s.data(), s.size());
}

boost::json::object const* Params(boost::json::object const& message) {
    auto it = message.find("params");
    if (it == message.end() || !it->value().is_object()) {
        return nullptr;
    }
    return &it->value().get_object();
}

bool GetU64(boost::json::object const& params, const char* key, std::uint64_t& out) {
    auto it = params.find(key);
    if (it == params.end()) {
        return false;
    }
    auto const& v = it->value();
    if (v.is_uint64()) {
        out = v.get_uint64();
        return true;
    }
    if (v.is_int64() && v.get_int64() >= 0) {
        out = static_cast<std::uint64_t>(v.get_int64());
        return true;
    }
    return false;
}

bool GetI64(boost::json::object const& params, const char* key, std::int64_t& out) {
    auto it = params.find(key);
    if (it == params.end()) {
        return false;
    }
    auto const& v = it->value();
    if (v.is_int64()) {
        out = v.get_int64();
        return true;
    }
    if (v.is_uint64() && v.get_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
        out = static_cast<std::int64_t>(v.get_uint64());
        return true;
    }
    return false;
}

bool GetString(boost::json::object const& params, const char* key, std::string& out) {
    auto it = params.find(key);
    if (it == params.end() || !it->value().is_string()) {
        return false;
    }
    auto const& s = it->value().get_string();
    out.assign(s.data(), s.size());
    return true;
}

bool GetGuid(boost::json::object const& params, const char* key, basekit::utility::Guid& out) {
    std::string text;
    if (!GetString(params, key, text) || text.size() > 38) {
        return false;
    }
    basekit::utility::Guid id(text.c_str());
    // The all-zero identifier is what unparsable text gives; it is accepted only when written
    // out in full.
    if (id.IsNull() && text.find_first_not_of("{}-0") != std::string::npos) {
        return false;
    }
    if (id.IsNull() && text.size() < 36) {
        return false;
    }
    out = id;
    return true;
}

void SendRelease(basetransport::SessionPtr const& session, std::uint64_t pub) {
    boost::json::object params;
    params["pub"] = pub;
    session->SendMessage(Make(kRelease, std::move(params)));
}

}  // namespace msg
}  // namespace detail
}  // namespace crossprocess

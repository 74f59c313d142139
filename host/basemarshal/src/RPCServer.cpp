#include "basemarshal/RPCServer.h"

#include <atomic>
#include <boost/bind/bind.hpp>
#include <boost/json/object.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "MessageArena.h"
#include "basekit/debug/Failure.h"
#include "basekit/utility/Text.h"
#include "basemarshal/JSONVariant.h"

namespace basemarshal {

namespace {

namespace json = boost::json;
using basekit::serialization::MakeVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantPtr;

// Every error answer goes through here: its message is made valid UTF-8, whatever bytes it
// echoes (a method name, an exception's text, a path), so that a strict JSON reader accepts it.
json::object ErrorAnswer(json::value const& id, long code, std::string const& message) {
    json::object answer;
    answer["jsonrpc"] = "2.0";
    answer["id"] = id;
    answer["error"] = json::object{{"code", static_cast<std::int64_t>(code)},
                                   {"message", basekit::utility::MakeValidUTF8(message)}};
    return answer;
}

// JSON-RPC allows a string, a number or null as request id.
bool IsValidID(json::value const& id) {
    return id.is_string() || id.is_number() || id.is_null();
}

}  // namespace

// ---- Responder --------------------------------------------------------------------------------

struct Responder::State {
    State(basetransport::SessionPtr s, json::value i, bool n)
        : session(std::move(s)), id(std::move(i)), notification(n) {}

    ~State() {
        if (!notification && !answered.load()) {
            try {
                Send(ErrorAnswer(id, kErrorInternal, "the request was not answered"));
            } catch (...) {
                BASEKIT_REPORT_CAUGHT("answering a request that its handler dropped");
            }
        }
    }

    // True for the first caller only.
    bool Claim() { return !notification && !answered.exchange(true); }

    void Send(json::object const& answer) const {
        if (session) {
            session->SendMessage(answer);
        }
    }

    basetransport::SessionPtr const session;
    json::value const id;
    bool const notification;
    std::atomic<bool> answered{false};
};

Responder::Responder() = default;

Responder::Responder(boost::shared_ptr<State> state) : mState(std::move(state)) {}

bool Responder::IsNotification() const {
    return !mState || mState->notification;
}

void Responder::Reply(VariantPtr const& result) const {
    if (!mState || !mState->Claim()) {
        return;
    }
    detail::MessageArena arena;
    json::storage_ptr const storage = arena.Storage();
    json::object answer(storage);
    try {
        json::value encoded = result ? ToJSON(*result, storage) : json::value(nullptr);
        answer.reserve(3);
        answer["jsonrpc"] = "2.0";
        answer["id"] = mState->id;
        answer["result"] = std::move(encoded);
    } catch (...) {
        answer = ErrorAnswer(
            mState->id, kErrorInternal,
            "the result could not be encoded: " + basekit::debug::CurrentExceptionText());
    }
    mState->Send(answer);
}

void Responder::Error(long code, std::string const& message) const {
    if (!mState || !mState->Claim()) {
        return;
    }
    mState->Send(ErrorAnswer(mState->id, code, message));
}

// ---- RPCServer --------------------------------------------------------------------------------

struct RPCServer::Impl {
    static void OnSessionMessage(boost::weak_ptr<Impl> const& weak,
                                 basetransport::SessionPtr const& session, json::object& message);
    void Dispatch(basetransport::SessionPtr const& session, json::object& message);
    boost::shared_ptr<Handler const> Find(std::string_view name);

    std::mutex mutex;
    std::map<std::string, boost::shared_ptr<Handler const>, std::less<>> methods;
};

void RPCServer::Impl::OnSessionMessage(boost::weak_ptr<Impl> const& weak,
                                       basetransport::SessionPtr const& session,
                                       json::object& message) {
    if (auto impl = weak.lock()) {
        impl->Dispatch(session, message);
        return;
    }
    // The server is gone: answer requests so that no client waits for ever.
    json::value const* id = message.if_contains("id");
    if (message.contains("method") && id != nullptr && IsValidID(*id)) {
        session->SendMessage(ErrorAnswer(*id, kErrorInternal, "the server has stopped"));
    }
}

boost::shared_ptr<RPCServer::Handler const> RPCServer::Impl::Find(std::string_view name) {
    std::lock_guard<std::mutex> lock(mutex);
    auto const it = methods.find(name);
    return it == methods.end() ? boost::shared_ptr<Handler const>() : it->second;
}

void RPCServer::Impl::Dispatch(basetransport::SessionPtr const& session, json::object& message) {
    json::value const* method = message.if_contains("method");
    json::value const* id = message.if_contains("id");
    if (method == nullptr && (message.contains("result") || message.contains("error"))) {
        return;  // an answer: nothing to do on this side
    }
    bool const notification = id == nullptr;
    auto invalid = [&](char const* why) {
        if (!notification) {
            json::value const answerID = IsValidID(*id) ? *id : json::value(nullptr);
            session->SendMessage(ErrorAnswer(answerID, kErrorInvalidRequest,
                                             std::string("invalid request: ") + why));
        }
    };
    if (id != nullptr && !IsValidID(*id)) {
        invalid("the id must be a string, a number or null");
        return;
    }
    json::value const* version = message.if_contains("jsonrpc");
    if (version == nullptr || !version->is_string() || version->get_string() != "2.0") {
        invalid("\"jsonrpc\" must be \"2.0\"");
        return;
    }
    if (method == nullptr || !method->is_string()) {
        invalid("the method must be a string");
        return;
    }
    json::value const* params = message.if_contains("params");
    if (params != nullptr && !params->is_array() && !params->is_object()) {
        invalid("the params must be an array or an object");
        return;
    }
    json::string_view const name = method->get_string();
    auto const handler = Find(std::string_view(name.data(), name.size()));
    if (!handler) {
        if (!notification) {
            session->SendMessage(
                ErrorAnswer(*id, kErrorMethodNotFound, "method not found: " + std::string(name)));
        }
        return;
    }
    // The id is copied out of the request's own memory, which the answer need not keep.
    Responder const responder(boost::make_shared<Responder::State>(
        session, notification ? json::value() : json::value(*id, json::storage_ptr()),
        notification));
    try {
        VariantPtr const arguments =
            params != nullptr ? FromJSON(*params) : MakeVariant(VariantArray());
        (*handler)(session, arguments, responder);
    } catch (...) {
        responder.Error(kErrorInternal, basekit::debug::CurrentExceptionText());
    }
}

RPCServer::RPCServer() : mImpl(boost::make_shared<Impl>()) {}

RPCServer::~RPCServer() = default;

void RPCServer::AddMethod(std::string const& name, Handler handler) {
    auto shared = boost::make_shared<Handler const>(std::move(handler));
    std::lock_guard<std::mutex> lock(mImpl->mutex);
    mImpl->methods[name] = std::move(shared);
}

void RPCServer::Attach(basetransport::SessionPtr const& session) {
    if (!session) {
        return;
    }
    namespace ph = boost::placeholders;
    session->SetMessageHandler(
        boost::bind(&Impl::OnSessionMessage, boost::weak_ptr<Impl>(mImpl), ph::_1, ph::_2));
}

}  // namespace basemarshal

#include "basemarshal/RPCClient.h"

#include <atomic>
#include <boost/bind/bind.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/json/object.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "MessageArena.h"
#include "basekit/debug/Failure.h"
#include "basekit/utility/Text.h"
#include "basemarshal/JSONVariant.h"
#include "basetransport/Extensions.h"

namespace basemarshal {

namespace {

namespace json = boost::json;
using basekit::UTF16String;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

bool ReadID(json::value const* value, std::int64_t& id) {
    if (value == nullptr) {
        return false;
    }
    if (value->is_int64()) {
        id = value->get_int64();
        return true;
    }
    if (value->is_uint64()) {
        id = static_cast<std::int64_t>(value->get_uint64());
        return true;
    }
    return false;
}

// Request ids are unique in the process, not only within one client: an answer that a peer
// still sends to a client destroyed earlier on the same session must not match a request of
// the next client there. 0 is the handshake's.
std::int64_t NextRequestID() {
    static std::atomic<std::int64_t> sNext{1};
    return sNext.fetch_add(1);
}

// {"jsonrpc":"2.0","method":..,"params":..} from a call built by BuildCall, its memory from
// `storage`.
json::object EncodeCall(VariantPtr const& call, json::storage_ptr const& storage) {
    if (!call) {
        throw std::invalid_argument("the call is empty");
    }
    auto const* object = boost::any_cast<VariantObject>(call.get());
    if (object == nullptr) {
        throw std::invalid_argument("the call is not an object");
    }
    auto const method = object->find("method");
    auto const* name = method == object->end() || !method->second
                           ? nullptr
                           : boost::any_cast<basekit::UTF8String>(method->second.get());
    if (name == nullptr) {
        throw std::invalid_argument("the call has no method name");
    }
    json::object message(storage);
    message.reserve(4);
    message["jsonrpc"] = "2.0";
    message["method"] = json::string_view(*name);
    auto const params = object->find("params");
    if (params == object->end() || !params->second) {
        message["params"] = json::array();
    } else {
        json::value encoded = ToJSON(*params->second, storage);
        if (encoded.is_null()) {
            encoded = json::array(storage);  // no arguments
        }
        if (!encoded.is_array() && !encoded.is_object()) {
            throw std::invalid_argument("the call's params are neither an array nor an object");
        }
        message["params"] = std::move(encoded);
    }
    return message;
}

}  // namespace

struct RPCClient::Impl : boost::enable_shared_from_this<Impl> {
    struct Pending {
        ResultHandler onResult;
        ErrorHandler onError;
        std::int64_t arg = 0;
    };

    Impl(basetransport::SessionPtr s, UTF16String n) : session(std::move(s)), name(std::move(n)) {}

    void Attach();
    void OnMessage(json::object& message);
    void FailAll(UTF16String const& reason);
    // Runs the handler on a worker thread, never on the calling one.
    void PostError(Pending pending, long code, UTF16String message);
    bool Take(std::int64_t id, Pending& pending);

    static void OnSessionMessage(boost::weak_ptr<Impl> const& weak,
                                 basetransport::SessionPtr const& session, json::object& message);
    static void OnSessionClosed(boost::weak_ptr<Impl> const& weak,
                                basetransport::SessionPtr const& session);
    static void RunResult(Pending& pending, VariantPtr const& result);
    static void RunError(Pending& pending, long code, UTF16String const& message);

    void Post(boost::function<void()> task) {
        if (session) {
            session->Post(std::move(task));
        } else {
            basetransport::PostToProcessWorkers(std::move(task));
        }
    }

    basetransport::SessionPtr const session;
    UTF16String const name;
    std::mutex mutex;
    bool closed = false;
    std::unordered_map<std::int64_t, Pending> pending;
};

// Adapters that hold the client weakly: a session outliving its client must not keep it.
void RPCClient::Impl::OnSessionMessage(boost::weak_ptr<Impl> const& weak,
                                       basetransport::SessionPtr const&, json::object& message) {
    if (auto impl = weak.lock()) {
        impl->OnMessage(message);
    }
}

void RPCClient::Impl::OnSessionClosed(boost::weak_ptr<Impl> const& weak,
                                      basetransport::SessionPtr const&) {
    if (auto impl = weak.lock()) {
        impl->FailAll(u"the session ended");
    }
}

void RPCClient::Impl::Attach() {
    if (!session) {
        closed = true;
        return;
    }
    boost::weak_ptr<Impl> weak(shared_from_this());
    namespace ph = boost::placeholders;
    session->SetMessageHandler(boost::bind(&OnSessionMessage, weak, ph::_1, ph::_2));
    session->AddCloseHandler(boost::bind(&OnSessionClosed, weak, ph::_1));
}

bool RPCClient::Impl::Take(std::int64_t id, Pending& out) {
    std::lock_guard<std::mutex> lock(mutex);
    auto const it = pending.find(id);
    if (it == pending.end()) {
        return false;
    }
    out = std::move(it->second);
    pending.erase(it);
    return true;
}

void RPCClient::Impl::OnMessage(json::object& message) {
    if (message.contains("method")) {
        return;  // a request or notification from the peer: not an answer
    }
    std::int64_t id = 0;
    Pending request;
    if (!ReadID(message.if_contains("id"), id) || !Take(id, request)) {
        return;  // not one of ours, or already failed
    }
    if (json::value const* result = message.if_contains("result")) {
        VariantPtr variant;
        try {
            variant = FromJSON(*result);
        } catch (...) {
            RunError(request, kErrorMalformedAnswer,
                     basekit::utility::UTF8to16(basekit::debug::CurrentExceptionText()));
            return;
        }
        RunResult(request, variant);
        return;
    }
    json::value const* error = message.if_contains("error");
    json::object const* body = error ? error->if_object() : nullptr;
    if (body == nullptr) {
        RunError(request, kErrorMalformedAnswer, u"the answer has neither result nor error");
        return;
    }
    long code = kErrorMalformedAnswer;
    if (json::value const* c = body->if_contains("code")) {
        if (c->is_int64()) {
            code = static_cast<long>(c->get_int64());
        } else if (c->is_uint64()) {
            code = static_cast<long>(c->get_uint64());
        }
    }
    std::string text;
    if (json::value const* m = body->if_contains("message")) {
        if (m->is_string()) {
            text = std::string(m->get_string());
        }
    }
    RunError(request, code, basekit::utility::UTF8to16(text));
}

void RPCClient::Impl::RunResult(Pending& request, VariantPtr const& result) {
    std::string failure;
    try {
        request.onResult(result, request.arg);
        return;
    } catch (...) {
        failure = basekit::debug::CurrentExceptionText();
    }
    // The answer could not be read: the caller learns it through the error handler.
    RunError(request, kErrorMalformedAnswer, basekit::utility::UTF8to16(failure));
}

void RPCClient::Impl::RunError(Pending& request, long code, UTF16String const& message) {
    try {
        request.onError(code, message, request.arg);
    } catch (...) {
        // Nothing is left to tell the caller; the worker thread goes on.
        BASEKIT_REPORT_CAUGHT("running an RPC error handler");
    }
}

void RPCClient::Impl::PostError(Pending request, long code, UTF16String message) {
    auto shared = boost::make_shared<Pending>(std::move(request));
    Post([shared, code, message] { RunError(*shared, code, message); });
}

void RPCClient::Impl::FailAll(UTF16String const& reason) {
    std::vector<Pending> failed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        failed.reserve(pending.size());
        for (auto& entry : pending) {
            failed.push_back(std::move(entry.second));
        }
        pending.clear();
    }
    // Each on its own worker, so one blocking error handler does not hold up the others.
    for (auto& request : failed) {
        PostError(std::move(request), kErrorSessionClosed, reason);
    }
}

RPCClient::RPCClient(basetransport::SessionPtr session, UTF16String const& name)
    : mImpl(boost::make_shared<Impl>(std::move(session), name)) {
    mImpl->Attach();
}

RPCClient::~RPCClient() {
    mImpl->FailAll(u"the RPC client was destroyed");
}

std::int64_t RPCClient::SendRequest(VariantPtr const& call, ResultHandler onResult,
                                    ErrorHandler onError, std::int64_t arg) {
    std::int64_t const id = NextRequestID();
    Impl::Pending request{std::move(onResult), std::move(onError), arg};
    detail::MessageArena arena;
    json::object message(arena.Storage());
    try {
        message = EncodeCall(call, arena.Storage());
    } catch (...) {
        // Nothing went out on any session from here.
        basetransport::TakeLastSessionSentOnThisThread();
        mImpl->PostError(std::move(request), kErrorNotSent,
                         basekit::utility::UTF8to16(basekit::debug::CurrentExceptionText()));
        return id;
    }
    message["id"] = id;
    auto const& session = mImpl->session;
    bool closed;
    {
        std::lock_guard<std::mutex> lock(mImpl->mutex);
        closed = mImpl->closed;
        if (!closed) {
            mImpl->pending.emplace(id, std::move(request));
        }
    }
    // Sent also on a closed session: SendMessage refuses it, but records the session for
    // TakeLastSessionSentOnThisThread all the same.
    bool sent = false;
    if (session) {
        sent = session->SendMessage(message);
    } else {
        basetransport::TakeLastSessionSentOnThisThread();
    }
    if (closed) {
        mImpl->PostError(std::move(request), kErrorSessionClosed, u"the session has ended");
    } else if (!sent) {
        Impl::Pending failed;
        if (mImpl->Take(id, failed)) {
            mImpl->PostError(std::move(failed), kErrorSessionClosed, u"the session has ended");
        }
    }
    return id;
}

void RPCClient::SendNotification(VariantPtr const& call) {
    detail::MessageArena arena;
    json::object message(arena.Storage());
    try {
        message = EncodeCall(call, arena.Storage());
    } catch (...) {
        // A notification has no handler to pass the failure to.
        basetransport::TakeLastSessionSentOnThisThread();
        BASEKIT_REPORT_CAUGHT("encoding an RPC notification");
        return;
    }
    if (mImpl->session) {
        mImpl->session->SendMessage(message);
    }
}

basetransport::SessionPtr RPCClient::GetSession() const {
    return mImpl->session;
}

}  // namespace basemarshal

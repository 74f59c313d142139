#pragma once
// The ways an operation talks to the server:
//   S  synchronous: the caller waits for the answer (OneShot);
//   A  asynchronous: the answer goes to the caller's callback, exactly once (AnswerOnce);
//   C  connection step: the caller waits at a gate that every handler path opens (VireoClient);
//   R  request whose answer is ignored (IgnoreAnswer);
//   N  notification (Notify).
// Without an RPC client nothing is sent and nothing waits.
//
// Answers, errors and data notifications run on handler threads (the RPC client's and the
// shared-data layer's). Three rules keep every operation's outcome single and every wait finite:
//  - an answer is decoded before anything is delivered; an answer that does not decode takes the
//    error path, exactly as an error answer does;
//  - an exception thrown by the caller's own callback is reported (basekit/debug/Failure.h) and
//    goes no further: it never becomes a second outcome;
//  - a blocking call made on a handler thread would wait for an answer that only such a thread
//    can deliver: it is refused at once with its operation's failure outcome, after a contract
//    report.
#include <boost/function.hpp>
#include <boost/json/object.hpp>
#include <boost/shared_ptr.hpp>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "basekit/debug/Failure.h"
#include "basekit/serialization/Variant.h"
#include "basemarshal/RPCClient.h"

namespace VireoClient {
namespace patterns {

using basekit::serialization::VariantPtr;
using RPCClientPtr = boost::shared_ptr<basemarshal::RPCClient>;

// ---- Blocking calls -----------------------------------------------------------------------------

// True when the calling thread runs handlers; then reports the broken rule (a contract report
// naming `operation`) through `ignore`, the call site's flag. Blocking operations return their
// failure outcome at once when this is true.
bool RefuseBlockingCall(bool& ignore, const char* operation, const char* file, long line);

}  // namespace patterns
}  // namespace VireoClient

// Evaluates to true, after a contract report, when a blocking call is made on a handler thread.
// Each use has its own ignore flag.
#define VIREO_REFUSE_BLOCKING_CALL(operation)                                                     \
    ([](const char* vireoOperation_, const char* vireoFile_, long vireoLine_) {                   \
        static bool vireoRefusalIgnored_ = false;                                                 \
        return ::VireoClient::patterns::RefuseBlockingCall(vireoRefusalIgnored_, vireoOperation_, \
                                                           vireoFile_, vireoLine_);               \
    }((operation), __FILE__, __LINE__))

namespace VireoClient {
namespace patterns {

// The outcome of one blocking call, shared by the waiting caller and the handler that answers.
// The handler side holds it through a shared pointer, so an answer that comes after the caller
// stopped caring (there is none today: every wait ends with an answer) touches nothing on the
// caller's stack. The first answer counts; later ones change nothing.
//
// Waiting on a session for the answer of request `id`, the caller reads the session itself while
// nothing else does (Session::Lead): its own answer is then delivered on its own thread, with no
// wake-up of another one; any other message is handed on to a worker. An answer given on another
// thread wakes it (condition variable, or the session's leader wake).
template <class Result>
class OneShot final : public basetransport::AwaitedAnswer {
  public:
    explicit OneShot(Result initial) : mResult(std::move(initial)) {}
    OneShot(OneShot const&) = delete;
    OneShot& operator=(OneShot const&) = delete;

    // Runs on a handler thread. False when an answer was already given.
    bool Answer(Result result) {
        basetransport::SessionPtr leading;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mAnswered) {
                return false;
            }
            mResult = std::move(result);
            mAnswered = true;
            leading = mLeading;
        }
        mChanged.notify_all();
        if (leading) {
            leading->WakeLeader();
        }
        return true;
    }

    // Waits for the answer and hands it out (once). With `session`, the one that request `id`
    // went out on, reads it meanwhile when nothing else does.
    Result Wait(basetransport::SessionPtr const& session = basetransport::SessionPtr(),
                std::int64_t id = 0) {
        mID = id;
        if (session && !Arrived()) {
            {
                std::lock_guard<std::mutex> lock(mMutex);
                mLeading = session;
            }
            session->Lead(*this);
            std::lock_guard<std::mutex> lock(mMutex);
            mLeading.reset();
        }
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [this] { return mAnswered; });
        return std::move(mResult);
    }

    bool Arrived() override {
        std::lock_guard<std::mutex> lock(mMutex);
        return mAnswered;
    }

    bool IsAnswer(boost::json::object const& message) override {
        boost::json::value const* id = message.if_contains("id");
        return id != nullptr && !message.contains("method") && id->is_int64() &&
               id->get_int64() == mID;
    }

  private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    bool mAnswered = false;
    basetransport::SessionPtr mLeading;  // the session the caller leads while it waits
    std::int64_t mID = 0;                // the request whose answer is awaited (set by Wait)
    Result mResult;
};

template <class Result>
std::shared_ptr<OneShot<Result>> MakeOneShot(Result initial) {
    return std::make_shared<OneShot<Result>>(std::move(initial));
}

// ---- Callbacks
// ------------------------------------------------------------------------------------

// Runs the caller's callback; an exception it throws is reported and goes no further.
template <class Callback>
void RunCallback(Callback&& callback) noexcept {
    try {
        callback();
    } catch (...) {
        BASEKIT_REPORT_CAUGHT("running the caller's callback");
    }
}

// The integer under "value" of an answer (0 when there is none). False, after a report, when the
// answer cannot be read; `code` is then unchanged.
bool ReadAnswerCode(VariantPtr const& answer, std::int32_t& code) noexcept;

// ---- Pattern A
// ------------------------------------------------------------------------------------

// Sends `call`; then exactly one of these runs, on an RPC thread: `deliver` with the decoded
// answer, or `fail` after an error answer or an answer that `decode` could not read (reported).
// Whatever either of them throws is reported (they run the caller's callback).
template <class Decoded>
void AnswerOnce(RPCClientPtr const& rpc, VariantPtr const& call,
                boost::function<Decoded(VariantPtr const&)> decode,
                boost::function<void(Decoded const&)> deliver, boost::function<void()> fail) {
    rpc->SendRequest(
        call,
        [decode, deliver, fail](VariantPtr const& answer, std::int64_t) {
            bool decoded = false;
            Decoded value{};
            try {
                value = decode(answer);
                decoded = true;
            } catch (...) {
                BASEKIT_REPORT_CAUGHT("reading an answer");
            }
            if (decoded) {
                RunCallback([&] { deliver(value); });
            } else {
                RunCallback([&] { fail(); });
            }
        },
        [fail](long, basekit::UTF16String const&, std::int64_t) { RunCallback([&] { fail(); }); },
        0);
}

// ---- Pattern S
// ------------------------------------------------------------------------------------

// Sends `call` and waits for its outcome. `decode` reads the answer into a copy of `record` on
// an RPC thread; an error answer, or an answer it cannot read (reported), leaves `record` as it
// was. Returns false without sending or waiting when there is no RPC client.
template <class Record>
bool Synchronous(RPCClientPtr const& rpc, VariantPtr const& call, Record& record,
                 boost::function<void(VariantPtr const&, Record&)> const& decode) {
    if (!rpc) {
        return false;
    }
    auto outcome = MakeOneShot<Record>(record);
    Record const initial = record;
    basetransport::SessionPtr const session = rpc->GetSession();
    // The answer is read by this thread from before the request goes out (see Session::Claim).
    basetransport::ReadingClaim const claim(session);
    std::int64_t const id = rpc->SendRequest(
        call,
        [outcome, decode, initial](VariantPtr const& answer, std::int64_t) {
            Record decoded = initial;
            try {
                decode(answer, decoded);
            } catch (...) {
                BASEKIT_REPORT_CAUGHT("reading an answer");
                decoded = initial;
            }
            outcome->Answer(std::move(decoded));
        },
        [outcome, initial](long, basekit::UTF16String const&, std::int64_t) {
            outcome->Answer(initial);
        },
        0);
    record = outcome->Wait(session, id);
    return true;
}

// ---- Patterns R and N
// -----------------------------------------------------------------------------

inline void IgnoreAnswer(RPCClientPtr const& rpc, VariantPtr const& call) {
    if (!rpc) {
        return;
    }
    rpc->SendRequest(
        call, [](VariantPtr const&, std::int64_t) {},
        [](long, basekit::UTF16String const&, std::int64_t) {}, 0);
}

inline void Notify(RPCClientPtr const& rpc, VariantPtr const& call) {
    if (rpc) {
        rpc->SendNotification(call);
    }
}

// The argument array of a call.
inline basekit::serialization::VariantArray Arguments() {
    return {};
}
template <class... Rest>
basekit::serialization::VariantArray Arguments(VariantPtr first, Rest... rest) {
    basekit::serialization::VariantArray array{std::move(first), std::move(rest)...};
    return array;
}

}  // namespace patterns
}  // namespace VireoClient

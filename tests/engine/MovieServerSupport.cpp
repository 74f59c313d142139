#include "MovieServerSupport.h"

#include <future>

#include "basekit/serialization/JSONConvert.h"
#include "hostlink/HostLink.h"

namespace vireo::test::engine {

using namespace std::chrono_literals;
using basekit::serialization::BuildCall;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

namespace {

constexpr auto kBound = 20s;  // generous: sanitizer builds are slow

std::u16string Widen(std::string const& text) {
    return std::u16string(text.begin(), text.end());
}

}  // namespace

MovieServer::MovieServer() : mApp(vireotest::ServerKind::Real) {
    crossprocess::InitializeClient();
    auto done = std::make_shared<std::promise<hostlink::ServerConnection>>();
    auto future = done->get_future();
    std::string const name = "corvidhost VireoServer engine-test";
    std::int64_t ticket = hostlink::CreateNamedServerConnection(
        Widen(name), Widen(mApp.ExecutablePath()), Widen(name),
        // Runs on a hostlink thread.
        [done](hostlink::ServerConnection const& connection) { done->set_value(connection); });
    if (ticket == 0 || future.wait_for(kBound) != std::future_status::ready)
        return;
    hostlink::ServerConnection connection = future.get();
    if (connection.port == 0)
        return;
    mHost = connection.host;
    mPort = connection.port;
    mSession = hostlink::GetSharedTransport()->ClientStart(mHost, mPort);
    if (mSession)
        mClient.reset(new basemarshal::RPCClient(mSession, u"engine test"));
}

MovieServer::~MovieServer() {
    mClient.reset();
    if (mSession)
        mSession->Close();
    crossprocess::UninitializeClient();
}

basetransport::SessionPtr MovieServer::OpenSecondSession() {
    return hostlink::GetSharedTransport()->ClientStart(mHost, mPort);
}

Answer MovieServer::Call(const char* method, VariantArray params) {
    auto done = std::make_shared<std::promise<Answer>>();
    auto future = done->get_future();
    mClient->SendRequest(
        BuildCall(method, params),
        // Both handlers run on a thread of the RPC client.
        [done](VariantPtr const& result, std::int64_t) {
            done->set_value(Answer{true, true, result});
        },
        [done](long, basekit::UTF16String const&, std::int64_t) {
            done->set_value(Answer{true, false, VariantPtr()});
        },
        0);
    if (future.wait_for(kBound) != std::future_status::ready)
        return Answer();
    return future.get();
}

void MovieServer::Notify(const char* method, VariantArray params) {
    mClient->SendNotification(BuildCall(method, params));
}

DataAnswer MovieServer::CallForData(const char* method, VariantArray params,
                                    basekit::utility::Guid const& request,
                                    bool (*accepted)(std::int64_t)) {
    struct Shared {
        std::promise<Answer> answer;
        std::promise<DataAnswer> data;
    };
    auto shared = std::make_shared<Shared>();
    auto answerFuture = shared->answer.get_future();
    auto dataFuture = shared->data.get_future();
    VariantPtr call = BuildCall(method, params);
    long registered = crossprocess::GetBinaryDataWithAsyncNotification(
        request,
        // Runs on a crossprocess thread.
        [shared](basekit::utility::Guid const&, crossprocess::BinaryReferencePtr data,
                 long status) {
            DataAnswer delivered;
            delivered.delivered = true;
            delivered.status = status;
            delivered.data = data;
            shared->data.set_value(delivered);
        },
        // Runs on this thread, from within the registration.
        [this, shared, call] {
            mClient->SendRequest(
                call,
                [shared](VariantPtr const& result, std::int64_t) {
                    shared->answer.set_value(Answer{true, true, result});
                },
                [shared](long, basekit::UTF16String const&, std::int64_t) {
                    shared->answer.set_value(Answer{true, false, VariantPtr()});
                },
                0);
        });
    DataAnswer result;
    if (registered != 0 || answerFuture.wait_for(kBound) != std::future_status::ready)
        return result;
    result.answer = answerFuture.get();
    if (!result.answer.ok || !accepted(AnswerValue(result.answer))) {
        crossprocess::CancelAllOutstandingNotifications(request,
                                                        crossprocess::kNotificationCancelled);
        return result;
    }
    if (dataFuture.wait_for(kBound) != std::future_status::ready)
        return result;
    DataAnswer data = dataFuture.get();
    data.answer = result.answer;
    return data;
}

VariantObject MovieServer::OpenSample(std::string const& path) {
    Answer answer = Call(
        "OpenMovieFromFile",
        {basekit::serialization::MakeVariant(path), basekit::serialization::MakeVariant(false),
         basekit::serialization::MakeVariant(false), basekit::serialization::MakeVariant(false)});
    if (!answer.ok)
        return VariantObject();
    auto const& object = basekit::serialization::AsObject(*answer.result);
    VariantPtr value = basekit::serialization::GetVariantInObject(object, "value");
    return value ? basekit::serialization::AsObject(*value) : VariantObject();
}

std::int64_t AnswerValue(Answer const& answer) {
    if (!answer.result)
        return 0;
    return basekit::serialization::ReadValue<std::int64_t>(
        basekit::serialization::AsObject(*answer.result), "value");
}

}  // namespace vireo::test::engine

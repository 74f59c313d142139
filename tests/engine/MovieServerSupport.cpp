#include "MovieServerSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "EngineTestSupport.h"
#include "Kino/VideoFrame.h"
#include "Pix/Pix.h"
#include "TimeScale.h"
#include "basekit/serialization/JSONConvert.h"
#include "basekit/utility/Text.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"
#include "hostlink/HostLink.h"
#include "samples/Pattern.h"

namespace vireo::test::engine {

using namespace std::chrono_literals;
using basekit::serialization::BuildCall;
using basekit::serialization::MakeVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

namespace {

// Every wait for an answer or a notification ends after this long.
std::chrono::milliseconds Bound() {
    return vireo::test::Scaled(20000ms);
}

VariantObject ValueObject(Answer const& answer) {
    if (!answer.ok || !answer.result)
        return VariantObject();
    auto const& object = basekit::serialization::AsObject(*answer.result);
    VariantPtr value = basekit::serialization::GetVariantInObject(object, "value");
    return value ? basekit::serialization::AsObject(*value) : VariantObject();
}

// Sends `call`; `answered` runs once with the answer, on a thread of the RPC client.
void SendRequest(basemarshal::RPCClient& client, VariantPtr const& call,
                 std::function<void(Answer)> answered) {
    client.SendRequest(
        call,
        [answered](VariantPtr const& result, std::int64_t) {
            answered(Answer{true, true, result});
        },
        [answered](long, basekit::UTF16String const&, std::int64_t) {
            answered(Answer{true, false, VariantPtr()});
        },
        0);
}

}  // namespace

MovieClient::MovieClient(basetransport::SessionPtr session) : mSession(std::move(session)) {
    if (mSession)
        mClient.reset(new basemarshal::RPCClient(mSession, u"engine test"));
}

MovieClient::~MovieClient() {
    mClient.reset();
    if (mSession)
        mSession->Close();
}

std::future<Answer> MovieClient::CallLater(const char* method, VariantArray params) {
    auto done = std::make_shared<std::promise<Answer>>();
    SendRequest(*mClient, BuildCall(method, params),
                [done](Answer answer) { done->set_value(std::move(answer)); });
    return done->get_future();
}

Answer MovieClient::Call(const char* method, VariantArray params) {
    std::future<Answer> future = CallLater(method, std::move(params));
    if (future.wait_for(Bound()) != std::future_status::ready)
        return Answer();
    return future.get();
}

void MovieClient::Notify(const char* method, VariantArray params) {
    mClient->SendNotification(BuildCall(method, params));
}

DataAnswer MovieClient::CallForData(const char* method, VariantArray params,
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
            shared->data.set_value(DataAnswer{Answer(), true, status, data});
        },
        // Runs on this thread, from within the registration.
        [this, shared, call] {
            SendRequest(*mClient, call,
                        [shared](Answer answer) { shared->answer.set_value(std::move(answer)); });
        });
    DataAnswer result;
    if (registered != 0 || answerFuture.wait_for(Bound()) != std::future_status::ready)
        return result;
    result.answer = answerFuture.get();
    if (!result.answer.ok || !accepted(AnswerValue(result.answer))) {
        crossprocess::CancelAllOutstandingNotifications(request,
                                                        crossprocess::kNotificationCancelled);
        return result;
    }
    if (dataFuture.wait_for(Bound()) != std::future_status::ready)
        return result;
    DataAnswer data = dataFuture.get();
    data.answer = result.answer;
    return data;
}

std::future<Answer> MovieClient::OpenLater(std::string const& path) {
    return CallLater("OpenMovieFromFile", {MakeVariant(path), MakeVariant(false),
                                           MakeVariant(false), MakeVariant(false)});
}

MovieServer::MovieServer(std::string const& settings)
    : mApp(vireo::test::ServerKind::Real), mSettingsDir("vireo-engine-settings") {
    crossprocess::InitializeClient();
    // The server reads its settings from the file this names in the environment it starts with.
    std::string const settingsPath = mSettingsDir.Path() + "/settings.txt";
    std::ofstream(settingsPath) << settings;
    vireo::test::ScopedEnv settingsFile("VIREO_DEBUG_SETTINGS", settingsPath.c_str());

    auto done = std::make_shared<std::promise<hostlink::ServerConnection>>();
    auto future = done->get_future();
    std::string const name = "corvidhost VireoServer engine-test";
    std::int64_t ticket = hostlink::CreateNamedServerConnection(
        basekit::utility::UTF8to16(name), basekit::utility::UTF8to16(mApp.ExecutablePath()),
        basekit::utility::UTF8to16(name),
        // Runs on a hostlink thread.
        [done](hostlink::ServerConnection const& connection) { done->set_value(connection); });
    if (ticket == 0 || future.wait_for(Bound()) != std::future_status::ready)
        return;
    hostlink::ServerConnection connection = future.get();
    if (connection.port == 0)
        return;
    mHost = connection.host;
    mPort = connection.port;
    mFirst = Connect();
}

MovieServer::~MovieServer() {
    mFirst.reset();
    crossprocess::UninitializeClient();
}

std::unique_ptr<MovieClient> MovieServer::Connect() {
    return std::make_unique<MovieClient>(hostlink::GetSharedTransport()->ClientStart(mHost, mPort));
}

VariantArray FrameCall(basekit::utility::Guid const& movie, basekit::utility::Guid const& request,
                       std::int64_t time, std::uint32_t fourcc, std::int64_t width,
                       std::int64_t height) {
    VariantObject format;
    format["fourcc"] = MakeVariant(std::uint64_t(fourcc));
    format["properties"] = MakeVariant(std::uint64_t(vireo::engine::FormatProperties(fourcc)));
    return {MakeVariant(movie.AsUTF8String()),
            MakeVariant(request.AsUTF8String()),
            MakeVariant(time),
            MakeVariant(format),
            MakeVariant(width),
            MakeVariant(height)};
}

DataAnswer RequestFrame(MovieClient& client, basekit::utility::Guid const& movie, std::int64_t time,
                        std::uint32_t fourcc, std::int64_t width, std::int64_t height) {
    basekit::utility::Guid const request = basekit::utility::Guid::CreateUnique();
    return client.CallForData("GetMovieVideo",
                              FrameCall(movie, request, time, fourcc, width, height), request,
                              [](std::int64_t value) { return value == 0; });
}

DataAnswer RequestAudio(MovieClient& client, basekit::utility::Guid const& movie) {
    basekit::utility::Guid const request = basekit::utility::Guid::CreateUnique();
    return client.CallForData(
        "GetMovieAudio", {MakeVariant(movie.AsUTF8String()), MakeVariant(request.AsUTF8String())},
        request, [](std::int64_t value) { return value > 0; });
}

std::int64_t AnswerValue(Answer const& answer) {
    if (!answer.result)
        return 0;
    return basekit::serialization::ReadValue<std::int64_t>(
        basekit::serialization::AsObject(*answer.result), "value");
}

std::int64_t OpenResult(Answer const& answer) {
    VariantObject value = ValueObject(answer);
    if (!basekit::serialization::ObjectHasProperty(value, "ImporterSDKErrorResult"))
        return 1;
    return basekit::serialization::ReadValue<std::int64_t>(value, "ImporterSDKErrorResult");
}

basekit::utility::Guid OpenedMovie(Answer const& answer) {
    return basekit::serialization::ReadValue<basekit::utility::Guid>(ValueObject(answer),
                                                                     "MovieIdentifier");
}

basekit::utility::Guid OpenOrFail(MovieClient& client, std::string const& file) {
    Answer opened = client.OpenLater(SamplePath(file)).get();
    EXPECT_EQ(OpenResult(opened), vireo::engine::kOK) << file;
    return OpenedMovie(opened);
}

int FrameNumber(DataAnswer const& got, int frameCount, std::uint32_t fourcc) {
    if (AnswerValue(got.answer) != vireo::engine::kOK || !got.delivered || got.status != 0 ||
        !got.data)
        return -1;
    InterfaceRef<Kino::IVideoFrame> frame;
    if (Pix::WrapVideoFrameAroundBinaryReference(got.data, basekit::utility::Guid::CreateUnique(),
                                                 frame) < 0 ||
        frame->GetPixelFormat() != fourcc)
        return -1;
    auto const* pixels = static_cast<const std::uint8_t*>(frame->GetPixels());
    int const width = int(frame->GetWidth()), height = int(frame->GetHeight());
    return fourcc == vireo::engine::kFormat2vuy
               ? samples::ReadFrameNumber2vuy(pixels, frame->GetRowBytes(), width, height,
                                              frameCount)
               : samples::ReadFrameNumberBGRA(pixels, frame->GetRowBytes(), width, height,
                                              frameCount);
}

}  // namespace vireo::test::engine

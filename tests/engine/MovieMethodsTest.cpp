// The server's movie methods, end to end: a real server process, a session, frames and audio
// arriving as shared data.
#include <gtest/gtest.h>

#include <future>

#include "EngineTestSupport.h"
#include "Kino/VideoFrame.h"
#include "MovieServerSupport.h"
#include "Pix/Pix.h"
#include "TimeScale.h"
#include "basekit/serialization/JSONConvert.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"
#include "samples/Pattern.h"

namespace vireo::test::engine {

using basekit::serialization::AsObject;
using basekit::serialization::MakeVariant;
using basekit::serialization::ReadValue;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::utility::Guid;

namespace {

bool VideoAccepted(std::int64_t value) {
    return value == 0;
}
bool AudioAccepted(std::int64_t value) {
    return value > 0;
}

VariantObject Member(VariantObject const& object, const char* key) {
    auto member = basekit::serialization::GetVariantInObject(object, key);
    return member ? AsObject(*member) : VariantObject();
}

class MovieMethods : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.Ready()); }

    Guid Open(std::string const& file) {
        VariantObject opened = server.OpenSample(SamplePath(file));
        EXPECT_EQ(ReadValue<std::int32_t>(opened, "ImporterSDKErrorResult"), 0) << file;
        return ReadValue<Guid>(opened, "MovieIdentifier");
    }

    // The frame number shown by frame `time` of `movie`, read through a published frame.
    int FrameNumber(Guid const& movie, std::int64_t time, int frameCount,
                    std::uint32_t fourcc = vireo::engine::kFormatBGRA) {
        Guid request = Guid::CreateUnique();
        DataAnswer got = server.CallForData(
            "GetMovieVideo", FrameCall(movie, request, time, fourcc), request, VideoAccepted);
        EXPECT_TRUE(got.answer.ok);
        EXPECT_EQ(AnswerValue(got.answer), 0);
        if (!got.delivered || got.status != 0)
            return -1;
        InterfaceRef<Kino::IVideoFrame> frame;
        EXPECT_GE(Pix::WrapVideoFrameAroundBinaryReference(got.data, request, frame), 0);
        if (!frame)
            return -1;
        EXPECT_EQ(frame->GetPixelFormat(), fourcc);
        auto const* pixels = static_cast<const std::uint8_t*>(frame->GetPixels());
        int width = int(frame->GetWidth()), height = int(frame->GetHeight());
        return fourcc == vireo::engine::kFormat2vuy
                   ? samples::ReadFrameNumber2vuy(pixels, frame->GetRowBytes(), width, height,
                                                  frameCount)
                   : samples::ReadFrameNumberBGRA(pixels, frame->GetRowBytes(), width, height,
                                                  frameCount);
    }

    std::int64_t VideoError(Guid const& movie, std::int64_t time, std::uint32_t fourcc,
                            std::int64_t width = 0, std::int64_t height = 0) {
        Guid request = Guid::CreateUnique();
        DataAnswer got = server.CallForData("GetMovieVideo",
                                            FrameCall(movie, request, time, fourcc, width, height),
                                            request, VideoAccepted);
        EXPECT_TRUE(got.answer.ok);
        EXPECT_FALSE(got.delivered) << "a refused request publishes nothing";
        return AnswerValue(got.answer);
    }

    // Every float of the movie's audio, read block by block until the server answers 0.
    std::vector<float> ReadAllAudio(Guid const& movie) {
        std::vector<float> all;
        for (int guard = 0; guard < 1000; ++guard) {
            Guid request = Guid::CreateUnique();
            DataAnswer got = server.CallForData(
                "GetMovieAudio",
                {MakeVariant(movie.AsUTF8String()), MakeVariant(request.AsUTF8String())}, request,
                AudioAccepted);
            std::int64_t value = AnswerValue(got.answer);
            EXPECT_GE(value, 0);
            if (value <= 0)
                break;
            EXPECT_TRUE(got.delivered && got.status == 0 && got.data);
            if (!got.data)
                break;
            EXPECT_EQ(got.data->GetSize(), std::uint64_t(value) * 4);
            auto const* values = static_cast<const float*>(got.data->GetData());
            all.insert(all.end(), values, values + value);
            got.data->ReleaseData(values);
        }
        return all;
    }

    std::int64_t Control(const char* method, Guid const& movie) {
        return AnswerValue(server.Call(method, {MakeVariant(movie.AsUTF8String())}));
    }

    MovieServer server;
};

TEST_F(MovieMethods, OpenAnswersTheMovieProperties) {
    VariantObject opened = server.OpenSample(SamplePath("h264_aac_tc.mov"));
    EXPECT_EQ(ReadValue<std::int32_t>(opened, "ImporterSDKErrorResult"), 0);
    EXPECT_FALSE(ReadValue<Guid>(opened, "MovieIdentifier").IsNull());
    VariantObject properties = Member(opened, "MovieProperties");

    VariantObject video = Member(properties, "Video");
    EXPECT_EQ(ReadValue<std::int32_t>(video, "Duration"), 45 * 1001);
    EXPECT_EQ(ReadValue<std::int32_t>(video, "Scale"), 30000);
    EXPECT_EQ(ReadValue<std::int32_t>(video, "Width"), 320);
    EXPECT_EQ(ReadValue<std::uint32_t>(video, "CodecFourCC"), vireo::engine::MakeFourCC("avc1"));
    EXPECT_EQ(ReadValue<std::uint32_t>(Member(video, "PAR"), "numerator"), 1u);
    EXPECT_EQ(ReadValue<std::int32_t>(video, "CreationHours"), 5);
    auto const& list = boost::any_cast<VariantArray const&>(
        *basekit::serialization::GetVariantInObject(video, "SupportedPixelFormats"));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(ReadValue<std::uint32_t>(AsObject(*list[0]), "fourcc"), vireo::engine::kFormat2vuy);
    EXPECT_EQ(ReadValue<std::uint32_t>(AsObject(*list[0]), "properties"),
              vireo::engine::FormatProperties(vireo::engine::kFormat2vuy));

    VariantObject audio = Member(properties, "Audio");
    EXPECT_EQ(ReadValue<double>(audio, "SampleRate"), 48000.0);
    EXPECT_EQ(ReadValue<std::vector<std::uint32_t>>(audio, "ChannelLayout"),
              (std::vector<std::uint32_t>{1, 2}));

    VariantObject timecode = Member(properties, "Timecode");
    EXPECT_TRUE(ReadValue<bool>(timecode, "HasTimecode"));
    EXPECT_EQ(ReadValue<std::string>(timecode, "OriginalTime"), "01:00:00;00");
    EXPECT_EQ(ReadValue<std::string>(timecode, "OriginalReel"), "TAPE042");

    // An audio file has no video group; a file that is missing gives its code and no movie.
    VariantObject wav = Member(server.OpenSample(SamplePath("audio.wav")), "MovieProperties");
    EXPECT_FALSE(basekit::serialization::ObjectHasProperty(wav, "Video"));
    EXPECT_TRUE(basekit::serialization::ObjectHasProperty(wav, "Audio"));
    VariantObject missing = server.OpenSample(SamplePath("missing.mov"));
    EXPECT_EQ(ReadValue<std::int32_t>(missing, "ImporterSDKErrorResult"),
              vireo::engine::kErrFileNotFound);
    EXPECT_TRUE(ReadValue<Guid>(missing, "MovieIdentifier").IsNull());
    EXPECT_FALSE(basekit::serialization::ObjectHasProperty(missing, "MovieProperties"));
}

TEST_F(MovieMethods, FramesArePublishedForTheAskedTimes) {
    Guid movie = Open("h264_aac_tc.mov");
    for (int i : {0, 1, 2, 3, 30, 12, 44, 5})
        EXPECT_EQ(FrameNumber(movie, i * 1001, 45), i) << "frame " << i;
    EXPECT_EQ(FrameNumber(movie, 7 * 1001, 45, vireo::engine::kFormat2vuy), 7);
}

TEST_F(MovieMethods, RefusedFrameRequestsAnswerTheirCodeAndPublishNothing) {
    Guid movie = Open("prores_422.mov");
    EXPECT_EQ(VideoError(movie, 12 * 1001, vireo::engine::kFormatBGRA),
              vireo::engine::kErrTimeOutOfRange);
    EXPECT_EQ(VideoError(movie, 0, vireo::engine::MakeFourCC("yuvs")),
              vireo::engine::kErrUnsupportedPixelFormat);
    EXPECT_EQ(VideoError(movie, 0, vireo::engine::kFormatBGRA, -4, 10),
              vireo::engine::kErrBadDestination);

    // Closing: answered once, then the identifier is unknown.
    EXPECT_EQ(Control("CloseMovie", movie), 0);
    EXPECT_EQ(Control("CloseMovie", movie), vireo::engine::kErrUnknownMovie);
    EXPECT_EQ(VideoError(movie, 0, vireo::engine::kFormatBGRA), vireo::engine::kErrUnknownMovie);
    EXPECT_EQ(Control("QuietMovie", movie), vireo::engine::kErrUnknownMovie);
}

TEST_F(MovieMethods, AudioArrivesBlockByBlockAndRestarts) {
    Guid movie = Open("audio.wav");
    std::vector<float> all = ReadAllAudio(movie);
    ASSERT_EQ(all.size(), std::size_t(72013 * 2));
    for (std::size_t i = 0; i < all.size(); i += 97)
        ASSERT_EQ(all[i], samples::RampSample(std::int64_t(i / 2), int(i % 2)) / 32768.0f);
    // At the end the server answers 0 and publishes nothing.
    Guid request = Guid::CreateUnique();
    DataAnswer end = server.CallForData(
        "GetMovieAudio", {MakeVariant(movie.AsUTF8String()), MakeVariant(request.AsUTF8String())},
        request, AudioAccepted);
    EXPECT_EQ(AnswerValue(end.answer), 0);
    EXPECT_FALSE(end.delivered);

    EXPECT_EQ(Control("RestartMovieAudio", movie), 0);
    EXPECT_EQ(ReadAllAudio(movie), all);

    Guid silent = Open("one_frame.mov");
    request = Guid::CreateUnique();
    DataAnswer none = server.CallForData(
        "GetMovieAudio", {MakeVariant(silent.AsUTF8String()), MakeVariant(request.AsUTF8String())},
        request, AudioAccepted);
    EXPECT_EQ(AnswerValue(none.answer), vireo::engine::kErrNoAudio);
}

TEST_F(MovieMethods, QuietReleasesAndFramesStillComeAfterwards) {
    Guid movie = Open("mjpeg_pcm.avi");
    EXPECT_EQ(FrameNumber(movie, 3, 30), 3);
    EXPECT_EQ(Control("QuietMovie", movie), 0);
    EXPECT_EQ(FrameNumber(movie, 4, 30), 4);
    EXPECT_EQ(Control("UnquietMovie", movie), 0);
    EXPECT_EQ(FrameNumber(movie, 5, 30), 5);
}

TEST_F(MovieMethods, ManyRequestsInFlightCompleteEachWithItsFrame) {
    Guid movie = Open("offset.ts");
    struct Flight {
        Guid request;
        std::future<DataAnswer> done;
    };
    std::vector<Flight> flights;
    for (int i = 0; i < 12; ++i) {
        Guid request = Guid::CreateUnique();
        flights.push_back({request, std::async(std::launch::async, [this, movie, request, i] {
                               return server.CallForData("GetMovieVideo",
                                                         FrameCall(movie, request, (i * 7) % 40,
                                                                   vireo::engine::kFormatBGRA),
                                                         request, VideoAccepted);
                           })});
    }
    for (int i = 0; i < 12; ++i) {
        DataAnswer got = flights[std::size_t(i)].done.get();
        ASSERT_TRUE(got.delivered) << "request " << i;
        InterfaceRef<Kino::IVideoFrame> frame;
        ASSERT_GE(Pix::WrapVideoFrameAroundBinaryReference(got.data,
                                                           flights[std::size_t(i)].request, frame),
                  0);
        EXPECT_EQ(samples::ReadFrameNumberBGRA(static_cast<const std::uint8_t*>(frame->GetPixels()),
                                               frame->GetRowBytes(), 160, 120, 40),
                  (i * 7) % 40);
    }
}

TEST_F(MovieMethods, CancelledRequestsAreAnsweredWithoutData) {
    Guid movie = Open("h264_1080p.mov");
    // Queue several slow frames, then cancel the last one: it is either still waiting (answered
    // with kErrCancelled, nothing published) or already done (answered 0 with its frame).
    std::vector<std::future<DataAnswer>> first;
    for (int i = 0; i < 4; ++i) {
        Guid request = Guid::CreateUnique();
        first.push_back(std::async(std::launch::async, [this, movie, request, i] {
            return server.CallForData(
                "GetMovieVideo", FrameCall(movie, request, 40 - i * 9, vireo::engine::kFormatBGRA),
                request, VideoAccepted);
        }));
    }
    Guid last = Guid::CreateUnique();
    auto cancelled = std::async(std::launch::async, [this, movie, last] {
        return server.CallForData("GetMovieVideo",
                                  FrameCall(movie, last, 1, vireo::engine::kFormatBGRA), last,
                                  VideoAccepted);
    });
    server.Notify("CancelMovieVideo",
                  {MakeVariant(movie.AsUTF8String()), MakeVariant(last.AsUTF8String())});
    DataAnswer outcome = cancelled.get();
    ASSERT_TRUE(outcome.answer.ok);
    if (AnswerValue(outcome.answer) == 0) {
        EXPECT_TRUE(outcome.delivered);
    } else {
        EXPECT_EQ(AnswerValue(outcome.answer), vireo::engine::kErrCancelled);
        EXPECT_FALSE(outcome.delivered);
    }
    for (auto& f : first)
        EXPECT_TRUE(f.get().delivered);
}

TEST_F(MovieMethods, MoviesBelongToTheirSession) {
    Guid movie = Open("one_frame.mov");
    basetransport::SessionPtr other = server.OpenSecondSession();
    ASSERT_TRUE(other);
    basemarshal::RPCClient stranger(other, u"stranger");
    std::promise<std::int64_t> answered;
    stranger.SendRequest(
        basekit::serialization::BuildCall("CloseMovie",
                                          VariantArray{MakeVariant(movie.AsUTF8String())}),
        [&answered](basekit::serialization::VariantPtr const& result, std::int64_t) {
            answered.set_value(ReadValue<std::int64_t>(AsObject(*result), "value"));
        },
        [&answered](long, basekit::UTF16String const&, std::int64_t) { answered.set_value(1); }, 0);
    auto future = answered.get_future();
    ASSERT_EQ(future.wait_for(vireo::test::Scaled(std::chrono::milliseconds(20000))),
              std::future_status::ready);
    EXPECT_EQ(future.get(), vireo::engine::kErrUnknownMovie);
    other->Close();
    // Still open for its own session.
    EXPECT_EQ(FrameNumber(movie, 0, 1), 0);
}

}  // namespace
}  // namespace vireo::test::engine

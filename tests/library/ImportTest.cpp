// Movie import end to end against the real server and the sample movies: properties, frames
// (compared byte for byte with the same decoding done in this process), audio, and bad input.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <thread>
#include <tuple>

#include "Kino/VideoFrame.h"
#include "LibraryFixture.h"
#include "TimeScale.h"
#include "basekit/threads/SyncPoint.h"
#include "engine/Errors.h"
#include "engine/Movie.h"
#include "engine/PixelFormats.h"
#include "samples/Pattern.h"
#include "samples/SampleSet.h"

namespace vireo::test::library {
namespace {

using vireo::samples::FindSample;

constexpr char kRestartKey[] = "VireoServerManager.RestartOnDemand";

class ImportTest : public LibraryTest {
  protected:
    // The samples written by the test run's setup step, or written here when the tests run
    // on their own.
    static void SetUpTestSuite() {
        sDir = VIREO_TEST_SAMPLES_DIR;
        if (access((sDir + "/" + vireo::samples::kNotMediaFile).c_str(), R_OK) != 0) {
            std::string error;
            ASSERT_TRUE(vireo::samples::WriteSampleSet(sDir, error)) << error;
        }
    }
    void SetUp() override {
        LibraryTest::SetUp();
        UseServer(vireo::test::ServerKind::Real);
    }

    static std::string Path(std::string const& name) { return sDir + "/" + name; }

    static ImporterRef Import(std::string const& name, long expected = 0) {
        ImporterRef importer;
        long const result = VireoClient::ImportFile(basekit::utility::UTF8to16(Path(name)), false,
                                                    false, false, importer);
        EXPECT_EQ(result, expected) << name;
        return importer;
    }

    static std::string sDir;
};

std::string ImportTest::sDir;

std::uint32_t FourCC(std::string const& text) {
    std::uint32_t code = 0;
    for (char c : text) {
        code = (code << 8) | static_cast<unsigned char>(c);
    }
    return code;
}

TEST_F(ImportTest, PropertiesMatchWhatWasWritten) {
    for (auto const& movie : vireo::samples::SampleMovies()) {
        SCOPED_TRACE(movie.fileName);
        ImporterRef importer = Import(movie.fileName);
        ASSERT_TRUE(importer);
        auto const& video = importer->GetVideoProperties();
        auto const& audio = importer->GetAudioProperties();
        auto const& timecode = importer->GetTimecodeProperties();
        if (movie.video) {
            EXPECT_EQ(video.Width, movie.video->width);
            EXPECT_EQ(video.Height, movie.video->height);
            EXPECT_EQ(video.CodecFourCC, FourCC(movie.expectedCodecFourCC));
            ASSERT_GT(video.SampleSize, 0);
            if (!movie.video->variableRate) {
                // The frame rate as scale / sample size.
                EXPECT_EQ(static_cast<std::int64_t>(video.Scale) * movie.video->rateDenominator,
                          static_cast<std::int64_t>(video.SampleSize) * movie.video->rateNumerator);
                EXPECT_EQ(video.Duration, video.SampleSize * movie.video->frames);
            }
            EXPECT_EQ(
                video.PAR.GetNumerator() * static_cast<std::uint32_t>(movie.video->sarDenominator),
                video.PAR.GetDenominator() * static_cast<std::uint32_t>(movie.video->sarNumerator));
            auto const& formats = video.SupportedPixelFormats;
            for (std::uint32_t f :
                 {Kino::kPixelFormat_BGRA, Kino::kPixelFormat_2vuy, Kino::kPixelFormat_b64a}) {
                EXPECT_TRUE(std::any_of(formats.begin(), formats.end(),
                                        [f](auto const& p) { return p.fourcc == f; }));
            }
        } else {
            EXPECT_EQ(video.Width, 0);
        }
        if (movie.audio) {
            EXPECT_EQ(audio.ChannelCount, movie.audio->channels);
            EXPECT_EQ(audio.SampleRate, movie.audio->sampleRate);
            if (movie.audio->codec == vireo::samples::AudioCodec::AAC) {
                // A compressed stream keeps what its encoder's priming and padding leave: within
                // one AAC frame of what was written.
                EXPECT_NEAR(audio.Duration, movie.audio->samples, 1024);
            } else {
                EXPECT_EQ(audio.Duration, movie.audio->samples);
            }
            EXPECT_EQ(audio.ChannelLayout.size(), static_cast<std::size_t>(movie.audio->channels));
            EXPECT_EQ(static_cast<std::uint32_t>(audio.QTFormatID),
                      FourCC(movie.expectedAudioFormat));
        } else {
            EXPECT_EQ(audio.ChannelCount, 0);
        }
        EXPECT_EQ(timecode.HasTimecode, !movie.timecode.empty());
        if (!movie.timecode.empty()) {
            EXPECT_EQ(timecode.OriginalTime, movie.timecode);
            EXPECT_EQ(timecode.OriginalReel, movie.reel);
        }
        if (!movie.creationTime.empty()) {
            int year = 0, month = 0, day = 0, hours = 0, minutes = 0, seconds = 0;
            std::sscanf(movie.creationTime.c_str(), "%d-%d-%dT%d:%d:%d", &year, &month, &day,
                        &hours, &minutes, &seconds);
            EXPECT_EQ(
                std::make_tuple(video.CreationYear, video.CreationMonth, video.CreationDay,
                                video.CreationHours, video.CreationMinutes, video.CreationSeconds),
                std::make_tuple(year, month, day, hours, minutes, seconds));
        }
    }
}

// The number drawn into a BGRA frame of a sample movie.
int FrameNumber(Kino::IVideoFrame const& frame) {
    return vireo::samples::ReadFrameNumberBGRA(static_cast<const std::uint8_t*>(frame.GetPixels()),
                                               frame.GetRowBytes(), int(frame.GetWidth()),
                                               int(frame.GetHeight()), 256);
}

// Reads frame `index` through the bridge and through the engine in this process; the pixels must
// be the same, byte for byte.
void CompareFrame(VireoClient::IVireoImporter& importer, vireo::engine::Movie& reference, int index,
                  std::uint32_t fourcc) {
    SCOPED_TRACE("frame " + std::to_string(index));
    auto const& video = importer.GetVideoProperties();
    std::int32_t const time = index * video.SampleSize;
    InterfaceRef<Kino::IVideoFrame> frame;
    ASSERT_EQ(importer.GetMovieVideo(time, VireoServer::PixelFormat(fourcc, 0), 0, 0, frame), 0);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->GetWidth(), static_cast<std::uint32_t>(video.Width));
    ASSERT_EQ(frame->GetHeight(), static_cast<std::uint32_t>(video.Height));
    ASSERT_EQ(frame->GetPixelFormat(), fourcc);
    std::size_t const rowBytes = frame->GetRowBytes();
    std::size_t const used = vireo::engine::MinimumRowBytes(fourcc, video.Width);
    ASSERT_GE(rowBytes, used);
    std::vector<std::uint8_t> expected(rowBytes * static_cast<std::size_t>(video.Height));
    ASSERT_EQ(reference.ReadVideoFrame(time, fourcc, expected.data(), rowBytes, 0, 0), 0);
    auto const* pixels = static_cast<const std::uint8_t*>(frame->GetPixels());
    for (int y = 0; y < video.Height; ++y) {
        ASSERT_EQ(std::memcmp(pixels + y * rowBytes, expected.data() + y * rowBytes, used), 0)
            << "row " << y;
    }
    if (fourcc == Kino::kPixelFormat_BGRA) {
        EXPECT_EQ(FrameNumber(*frame), index);
    }
}

std::unique_ptr<vireo::engine::Movie> OpenReference(std::string const& path) {
    std::int32_t error = 0;
    vireo::engine::OpenOptions options;
    auto movie = vireo::engine::Movie::Open(path, options, error);
    EXPECT_EQ(error, 0);
    return movie;
}

TEST_F(ImportTest, FramesEqualTheInProcessDecode) {
    for (auto const& movie : vireo::samples::SampleMovies()) {
        if (!movie.video) {
            continue;
        }
        SCOPED_TRACE(movie.fileName);
        ImporterRef importer = Import(movie.fileName);
        ASSERT_TRUE(importer);
        auto reference = OpenReference(Path(movie.fileName));
        ASSERT_TRUE(reference);
        // Every format at both ends of every movie.
        int const last = movie.video->variableRate ? 0 : movie.video->frames - 1;
        for (std::uint32_t fourcc :
             {Kino::kPixelFormat_BGRA, Kino::kPixelFormat_2vuy, Kino::kPixelFormat_b64a}) {
            CompareFrame(*importer, *reference, last, fourcc);
            CompareFrame(*importer, *reference, 0, fourcc);
        }
        if (movie.fileName != "h264_aac_tc.mov") {
            continue;
        }
        // Every frame of one movie in order, then at random.
        std::vector<int> order(static_cast<std::size_t>(movie.video->frames));
        std::iota(order.begin(), order.end(), 0);
        for (int i : order) {
            CompareFrame(*importer, *reference, i, Kino::kPixelFormat_BGRA);
        }
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        for (int i : order) {
            CompareFrame(*importer, *reference, i, Kino::kPixelFormat_BGRA);
        }
    }
}

TEST_F(ImportTest, SeveralFramesInFlightEachArriveOnce) {
    ImporterRef importer = Import("h264_aac_tc.mov");
    ASSERT_TRUE(importer);
    auto const& video = importer->GetVideoProperties();
    int const frames = FindSample("h264_aac_tc.mov").video->frames;
    std::mutex mutex;
    std::vector<int> seen;
    std::atomic<int> done{0};
    for (int i = 0; i < frames; ++i) {
        ASSERT_TRUE(importer->RequestMovieVideo(
            i * video.SampleSize, VireoServer::PixelFormat(Kino::kPixelFormat_BGRA, 0), 0, 0,
            [&](InterfaceRef<Kino::IVideoFrame> frame, long result) {
                EXPECT_EQ(result, 0);
                if (frame) {
                    int const n = FrameNumber(*frame);
                    std::lock_guard<std::mutex> lock(mutex);
                    seen.push_back(n);
                }
                ++done;
            },
            basekit::utility::Guid::CreateUnique()));
    }
    ASSERT_TRUE(
        vireo::test::WaitUntil([&] { return done == frames; }, vireo::test::Scaled(20000ms)));
    std::sort(seen.begin(), seen.end());
    std::vector<int> all(static_cast<std::size_t>(frames));
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(seen, all);
}

// All of a movie's audio through the bridge, block after block.
std::vector<float> ReadAllAudio(VireoClient::IVireoImporter& importer) {
    std::vector<float> all, block;
    for (int guard = 0; guard < 100000; ++guard) {
        block.clear();
        importer.GetMovieAudio(block);
        if (block.empty()) {
            break;
        }
        all.insert(all.end(), block.begin(), block.end());
    }
    return all;
}

TEST_F(ImportTest, AllAudioArrivesOnceAndRestartGoesBack) {
    for (std::string const name : {"h264_aac_tc.mov", "audio.wav", "mjpeg_pcm.avi"}) {
        SCOPED_TRACE(name);
        ImporterRef importer = Import(name);
        ASSERT_TRUE(importer);
        auto const& audio = importer->GetAudioProperties();
        std::vector<float> const bridge = ReadAllAudio(*importer);
        EXPECT_EQ(bridge.size(), static_cast<std::size_t>(audio.Duration * audio.ChannelCount));

        auto reference = OpenReference(Path(name));
        ASSERT_TRUE(reference);
        std::vector<float> expected(bridge.size() + 4096);
        std::size_t filled = 0;
        for (;;) {
            std::int64_t n = reference->ReadAudio(
                expected.data() + filled,
                static_cast<std::int64_t>((expected.size() - filled) /
                                          static_cast<std::size_t>(audio.ChannelCount)));
            ASSERT_GE(n, 0);
            if (n == 0) {
                break;
            }
            filled += static_cast<std::size_t>(n * audio.ChannelCount);
        }
        expected.resize(filled);
        EXPECT_TRUE(bridge == expected) << "the samples differ from the in-process decode";

        importer->RestartMovieAudio();
        std::vector<float> again;
        importer->GetMovieAudio(again);
        ASSERT_FALSE(again.empty());
        EXPECT_TRUE(std::equal(again.begin(), again.end(), bridge.begin()));
    }
}

TEST_F(ImportTest, BadInputGetsItsCode) {
    ImporterRef none;
    Import("no such file.mov", vireo::engine::kErrFileNotFound);
    EXPECT_EQ(VireoClient::ImportFile(basekit::utility::UTF8to16(sDir), false, false, false, none),
              vireo::engine::kErrIsDirectory);
    Import(vireo::samples::kTextFile, vireo::engine::kErrNotMedia);

    ImporterRef importer = Import("one_frame.mov");
    ASSERT_TRUE(importer);
    auto const& video = importer->GetVideoProperties();
    InterfaceRef<Kino::IVideoFrame> frame;
    EXPECT_EQ(
        importer->GetMovieVideo(video.Duration + video.SampleSize,
                                VireoServer::PixelFormat(Kino::kPixelFormat_BGRA, 0), 0, 0, frame),
        vireo::engine::kErrTimeOutOfRange);
    EXPECT_EQ(importer->GetMovieVideo(0, VireoServer::PixelFormat(0x41424344, 0), 0, 0, frame),
              vireo::engine::kErrUnsupportedPixelFormat);
    EXPECT_FALSE(frame);
    // Still usable after the failures.
    EXPECT_EQ(importer->GetMovieVideo(0, VireoServer::PixelFormat(Kino::kPixelFormat_BGRA, 0), 0, 0,
                                      frame),
              0);

    // A movie identifier that was closed, and one that never existed.
    ClientRef client = VireoClient::Create();
    basekit::utility::Guid const closed = importer->GetMovieIdentifier();
    importer.reset();
    for (auto const& movie : {closed, basekit::utility::Guid::CreateUnique()}) {
        basekit::threads::SyncPoint done(2);
        long result = 0;
        ASSERT_TRUE(client->GetMovieVideo(
            movie, 0, VireoServer::PixelFormat(Kino::kPixelFormat_BGRA, 0), 0, 0,
            [&](InterfaceRef<Kino::IVideoFrame> const&, long r) {
                result = r;
                done.Wait();
            },
            basekit::utility::Guid::CreateUnique()));
        done.Wait();
        EXPECT_EQ(result, vireo::engine::kErrUnknownMovie);
    }
}

TEST_F(ImportTest, ManyMoviesFromSeveralClientsAtOnce) {
    ClientRef unique = VireoClient::CreateUniqueInstance();
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::string const name = t % 2 == 0 ? "h264_aac_tc.mov" : "prores_422.mov";
            ImporterRef importer = Import(name);
            if (!importer) {
                return;
            }
            auto const& video = importer->GetVideoProperties();
            int const frames = FindSample(name).video->frames;
            int ok = 0;
            for (int i = 0; i < frames; ++i) {
                InterfaceRef<Kino::IVideoFrame> frame;
                if (importer->GetMovieVideo(i * video.SampleSize,
                                            VireoServer::PixelFormat(Kino::kPixelFormat_BGRA, 0), 0,
                                            0, frame) == 0 &&
                    FrameNumber(*frame) == i) {
                    ++ok;
                }
            }
            if (ok == frames) {
                ++good;
            }
        });
    }
    // The private client's server is used directly too.
    basekit::threads::SyncPoint opened(2);
    VireoServer::OpenMovieFromFileResult result;
    ASSERT_TRUE(unique->OpenMovieFromFile(basekit::utility::UTF8to16(Path("prores_422.mov")), false,
                                          false, false, [&](auto const& r) {
                                              result = r;
                                              opened.Wait();
                                          }));
    opened.Wait();
    EXPECT_EQ(result.ImporterSDKErrorResult, 0);
    EXPECT_EQ(result.MovieProperties.video.CodecFourCC, FourCC("apcn"));
    unique->CloseMovie(result.MovieIdentifier);
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(good.load(), 4);
}

TEST_F(ImportTest, AKilledServerIsReplacedOnTheNextImportOnlyWithRestartOnDemand) {
    auto& settings = basekit::debug::DebugDatabase::Instance();
    settings.RemoveEntry(kRestartKey);
    ClientRef client = VireoClient::Create();  // keeps the connection in use across the kill
    ASSERT_TRUE(Import("one_frame.mov"));
    std::vector<pid_t> const servers = Servers();
    ASSERT_EQ(servers.size(), 1u);
    kill(servers[0], SIGKILL);
    ASSERT_TRUE(vireo::test::WaitForProcessExit(servers[0], vireo::test::Scaled(2000ms)));

    // Off: nothing reconnects on its own; the import fails as one that could not be answered.
    Import("one_frame.mov", 5);
    Import("one_frame.mov", 5);
    EXPECT_TRUE(Servers().empty());

    // On: the next import finds no server, starts one and is answered by it.
    settings.SetEntry(kRestartKey, "true");
    ImporterRef importer = Import("one_frame.mov");
    ASSERT_TRUE(importer);
    InterfaceRef<Kino::IVideoFrame> frame;
    EXPECT_EQ(importer->GetMovieVideo(0, VireoServer::PixelFormat(Kino::kPixelFormat_BGRA, 0), 0, 0,
                                      frame),
              0);
    EXPECT_TRUE(frame);
    std::vector<pid_t> const after = Servers();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0], servers[0]);
    settings.RemoveEntry(kRestartKey);
}

}  // namespace
}  // namespace vireo::test::library

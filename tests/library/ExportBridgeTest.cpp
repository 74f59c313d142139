// Export end to end through the library and the real server: the catalogues, movies written
// from shared frames and audio and read back through the importer, cancel and a vanished session
// leaving nothing behind, and refused settings.
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "ExportHost.h"
#include "LibraryFixture.h"

namespace vireo::test::library {
namespace {

using basekit::utility::Guid;

class ExportBridgeTest : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        UseServer(vireo::test::ServerKind::Real);
    }
    std::string Out(std::string const& name) const { return mOut.Path() + "/" + name; }
    // The names in the output directory (temporary movies included).
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (auto const& entry : std::filesystem::directory_iterator(mOut.Path())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    vireo::test::TempDir mOut{"vireo-export"};
};

// Reads frame `index` of the movie as 2vuy.
InterfaceRef<Kino::IVideoFrame> ReadFrame(ImporterRef const& importer, int index) {
    auto const& video = importer->GetVideoProperties();
    InterfaceRef<Kino::IVideoFrame> frame;
    long const result =
        importer->GetMovieVideo(index * video.SampleSize,
                                VireoServer::PixelFormat(Kino::kPixelFormat_2vuy, 0), 0, 0, frame);
    EXPECT_EQ(result, 0);
    return frame;
}

bool SamePixels(Kino::IVideoFrame const& a, Kino::IVideoFrame const& b) {
    for (std::uint32_t y = 0; y < a.GetHeight(); ++y) {
        auto const* ra = static_cast<std::uint8_t const*>(a.GetPixels()) + y * a.GetRowBytes();
        auto const* rb = static_cast<std::uint8_t const*>(b.GetPixels()) + y * b.GetRowBytes();
        if (std::memcmp(ra, rb, 2 * a.GetWidth()) != 0) {
            return false;
        }
    }
    return true;
}

TEST_F(ExportBridgeTest, CataloguesComeFromTheEngineAndSeedTheNameCache) {
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());
    std::vector<VireoServer::CodecData> video;
    std::vector<VireoServer::AudioCodecData> audio;
    std::vector<std::uint32_t> imports;
    client->GetExportVideoCodecs(video);
    client->GetExportAudioCodecs(audio);
    client->GetImportCodecs(imports);
    auto avc1 = std::find_if(video.begin(), video.end(),
                             [](auto const& c) { return c.subType == FourCC("avc1"); });
    ASSERT_NE(avc1, video.end());
    EXPECT_TRUE(avc1->doesReorder);
    EXPECT_NE(std::find_if(audio.begin(), audio.end(),
                           [](auto const& a) { return a.codecID == FourCC("twos"); }),
              audio.end());
    EXPECT_NE(std::find(imports.begin(), imports.end(), FourCC("avc1")), imports.end());

    // Seeded names answer without the server; others are asked for.
    basekit::UTF16String name;
    client->GetQuicktimeCodecName(FourCC("avc1"), name);
    EXPECT_EQ(name, avc1->name);
    name.clear();
    client->GetQuicktimeCodecName(FourCC("cvid"), name);
    EXPECT_EQ(basekit::utility::UTF16to8(name), "Cinepak");

    // A private client never fetches them.
    ClientRef unique = VireoClient::CreateUniqueInstance();
    unique->GetExportVideoCodecs(video);
    unique->GetExportAudioCodecs(audio);
    unique->GetImportCodecs(imports);
    EXPECT_TRUE(video.empty());
    EXPECT_TRUE(audio.empty());
    EXPECT_TRUE(imports.empty());
}

// Frames shared by this process and written uncompressed come back from the importer exactly.
TEST_F(ExportBridgeTest, UncompressedMovieReadsBackExactly) {
    ClientRef client = VireoClient::Create();
    std::string const path = Out("lossless.mov");
    int const frames = 5;
    ExportHost host(client);
    ASSERT_EQ(host.Start(VideoSettings(path, FourCC("2vuy"), 64, 48, frames)), 0);
    std::vector<InterfaceRef<Kino::IVideoFrame>> sent;
    for (int i = 0; i < frames; ++i) {
        crossprocess::WritableBinaryReferencePtr block;
        sent.push_back(PatternFrame2vuy(64, 48, i, block));
        EXPECT_EQ(host.SubmitFrame(sent.back(), std::uint32_t(i)), 0) << i;
    }
    EXPECT_EQ(host.Pulse(), (std::pair<std::int32_t, std::uint32_t>(0, frames)));
    ASSERT_EQ(host.Complete(), 0);
    EXPECT_EQ(Files(), std::vector<std::string>{"lossless.mov"});

    ImporterRef importer;
    ASSERT_EQ(
        VireoClient::ImportFile(basekit::utility::UTF8to16(path), false, false, false, importer),
        0);
    auto const& video = importer->GetVideoProperties();
    EXPECT_EQ(video.Width, 64);
    EXPECT_EQ(video.Height, 48);
    EXPECT_EQ(video.Scale, 25);
    EXPECT_EQ(video.SampleSize, 1);
    EXPECT_EQ(video.Duration / video.SampleSize, frames);
    for (int i = 0; i < frames; ++i) {
        InterfaceRef<Kino::IVideoFrame> back = ReadFrame(importer, i);
        ASSERT_TRUE(back);
        EXPECT_TRUE(SamePixels(*sent[std::size_t(i)], *back)) << i;
    }
}

TEST_F(ExportBridgeTest, PCMAudioReadsBackSampleForSample) {
    ClientRef client = VireoClient::Create();
    std::string const path = Out("audio.mov");
    ExportHost host(client);
    ASSERT_EQ(host.Start(PCMSettings(path, 48000)), 0);
    std::vector<float> sent;
    for (int block = 0; block < 3; ++block) {
        std::vector<float> samples(2 * 4000);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = float(std::sin(double(sent.size() + i) * 0.01) * 0.5);
        }
        EXPECT_EQ(host.SubmitAudio(samples, 2, std::int64_t(sent.size() / 2)), 0);
        sent.insert(sent.end(), samples.begin(), samples.end());
    }
    ASSERT_EQ(host.Complete(), 0);

    ImporterRef importer;
    ASSERT_EQ(
        VireoClient::ImportFile(basekit::utility::UTF8to16(path), false, false, false, importer),
        0);
    EXPECT_EQ(importer->GetAudioProperties().ChannelCount, 2);
    std::vector<float> back;
    for (int guard = 0; guard < 1000 && back.size() < sent.size(); ++guard) {
        std::vector<float> block;
        importer->GetMovieAudio(block);
        if (block.empty()) {
            break;
        }
        back.insert(back.end(), block.begin(), block.end());
    }
    ASSERT_GE(back.size(), sent.size());
    back.resize(sent.size());
    EXPECT_EQ(back, sent);
}

TEST_F(ExportBridgeTest, CallsSentWithoutWaitingKeepTheirOrder) {
    // The first frame a session shares makes the server ask this process for it; the completion
    // sent right behind it must still come after it.
    ClientRef client = VireoClient::Create();
    std::string const path = Out("pipelined.mov");
    Guid const id = Guid::CreateUnique();
    ASSERT_EQ(client->StartExport(id, VideoSettings(path, FourCC("2vuy"), 64, 48, 3)), 0);
    std::vector<crossprocess::WritableBinaryReferencePtr> held(3);
    std::vector<std::promise<std::int32_t>> frames(3);
    for (int i = 0; i < 3; ++i) {
        crossprocess::WritableBinaryReferencePtr block;
        Guid const frameId = Guid::CreateUnique();
        ASSERT_EQ(Pix::PublishVideoFrameProvidingReference(PatternFrame2vuy(64, 48, i, block),
                                                           frameId, held[i]),
                  Pix::kOK);
        client->CompressAndWriteFrame(id, frameId, std::uint32_t(i), 0, false,
                                      [&frames, i](VireoServer::ExportFrameReceivedData r) {
                                          frames[i].set_value(r.mExporterResultCode);
                                      });
    }
    std::promise<std::int32_t> completed;
    client->ExportCompleted(id, 0, [&](VireoServer::ExportCompletedData r) {
        completed.set_value(r.mServerResultCode);
    });
    for (auto& frame : frames) {
        auto future = frame.get_future();
        ASSERT_EQ(future.wait_for(vireo::test::Scaled(30s)), std::future_status::ready);
        EXPECT_EQ(future.get(), 0);
    }
    auto future = completed.get_future();
    ASSERT_EQ(future.wait_for(vireo::test::Scaled(30s)), std::future_status::ready);
    EXPECT_EQ(future.get(), 0);
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(ExportBridgeTest, VanishedSessionLeavesNothing) {
    std::string const path = Out("dropped.mov");
    {
        // A private client has its own server session, which ends with the client.
        ClientRef unique = VireoClient::CreateUniqueInstance();
        ExportHost host(unique);
        ASSERT_EQ(host.Start(VideoSettings(path, FourCC("2vuy"), 64, 48, 10)), 0);
        crossprocess::WritableBinaryReferencePtr block;
        EXPECT_EQ(host.SubmitFrame(PatternFrame2vuy(64, 48, 0, block), 0), 0);
        EXPECT_FALSE(Files().empty());  // the temporary movie
    }
    EXPECT_TRUE(
        vireo::test::WaitUntil([&] { return Files().empty(); }, vireo::test::Scaled(10000ms)));
}

TEST_F(ExportBridgeTest, KilledServersTemporaryMovieGoesWhenTheNextServerStarts) {
    std::string const path = Out("killed.mov");
    {
        ClientRef client = VireoClient::Create();
        ExportHost host(client);
        ASSERT_EQ(host.Start(VideoSettings(path, FourCC("2vuy"), 64, 48, 10)), 0);
        crossprocess::WritableBinaryReferencePtr block;
        EXPECT_EQ(host.SubmitFrame(PatternFrame2vuy(64, 48, 0, block), 0), 0);
        ASSERT_EQ(Servers().size(), 1u);
        pid_t const server = Servers().front();
        ::kill(server, SIGKILL);
        ASSERT_TRUE(vireo::test::WaitForProcessExit(server, vireo::test::Scaled(10000ms)));
        EXPECT_FALSE(Files().empty());  // the temporary movie of the dead server
    }
    ASSERT_TRUE(
        vireo::test::WaitUntil([] { return !SharedClientExists(); }, vireo::test::Scaled(5000ms)));
    ClientRef client = VireoClient::Create();  // a new server, which cleans up at start
    EXPECT_TRUE(client->IsQuicktimeAvailable());
    EXPECT_TRUE(
        vireo::test::WaitUntil([&] { return Files().empty(); }, vireo::test::Scaled(10000ms)));
}

TEST_F(ExportBridgeTest, RefusedAndCancelledExportsLeaveNothing) {
    ClientRef client = VireoClient::Create();
    auto start = [&](VireoServer::StartExportData const& s) { return ExportHost(client).Start(s); };
    std::string const path = Out("bad.mov");
    // Two of the refusals (every one is the export service's own business).
    auto s = VideoSettings(path, FourCC("avc1"), 64, 48, 10);
    s.mVideoCodecFourCC = std::int32_t(FourCC("zzzz"));
    EXPECT_EQ(start(s), -2210);
    s = VideoSettings(mOut.Path() + "/missing/bad.mov", FourCC("avc1"), 64, 48, 10);
    EXPECT_EQ(start(s), -2206);
    EXPECT_TRUE(Files().empty());

    // Submissions for an export that never started, and a frame that was never shared.
    ExportHost stranger(client);
    crossprocess::WritableBinaryReferencePtr block;
    EXPECT_EQ(stranger.SubmitFrame(PatternFrame2vuy(64, 48, 0, block), 0), -2250);
    EXPECT_EQ(stranger.Complete(), -2250);
    VireoServer::ExportFrameReceivedData record;
    std::promise<void> answered;
    client->CompressAndWriteFrame(stranger.Id(), Guid::CreateUnique(), 0, 0, false,
                                  [&](VireoServer::ExportFrameReceivedData r) {
                                      record = r;
                                      answered.set_value();
                                  });
    ASSERT_EQ(answered.get_future().wait_for(vireo::test::Scaled(20s)), std::future_status::ready);
    EXPECT_EQ(record.mExporterResultCode, -2258);

    // A cancelled export leaves nothing, and its completion tells so.
    ExportHost cancelled(client);
    ASSERT_EQ(cancelled.Start(VideoSettings(Out("cancelled.mov"), FourCC("avc1"), 64, 48, 10)), 0);
    EXPECT_EQ(cancelled.SubmitFrame(PatternFrame2vuy(64, 48, 0, block), 0), 0);
    client->ExportServerShouldCancel(cancelled.Id());
    EXPECT_EQ(cancelled.Pulse().first, 0);  // the pulse is answered; its value is the code
    EXPECT_EQ(std::int32_t(cancelled.Pulse().second), -2260);
    EXPECT_EQ(cancelled.Complete(), -2260);
    EXPECT_TRUE(Files().empty());
}

}  // namespace
}  // namespace vireo::test::library

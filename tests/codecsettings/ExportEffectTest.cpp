// The settings a user accepts in the real dialog change the exported movie as they say: the
// dialog is driven with the keyboard, its answer becomes the export's private settings, and the
// movie the export engine writes is read back. Skipped without a display or xdotool.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "DialogTestSupport.h"
#include "ExportTestSupport.h"
#include "TimeScale.h"
#include "engine/FourCC.h"

namespace vireo::test::codecsettings {
namespace {

using engine::MakeFourCC;
namespace exporting = vireo::test::exporting;

constexpr std::uint32_t kBGRA = MakeFourCC("BGRA");

class ExportEffectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!CanDriveDialogs(why)) {
            GTEST_SKIP() << why;
        }
    }

    // Shows the dialog of `codec`, types `steps` (keys, or "type:TEXT"), presses Return, and
    // returns the accepted private data.
    std::vector<std::uint8_t> Accept(std::uint32_t codec, std::vector<std::string> const& steps) {
        cs::DialogLauncher launcher(TestOptions(DialogProgram(), diagnostics));
        int const request = ++mRequests;
        launcher.Show(1, codec, {}, outcomes.For(request));
        pid_t const pid = WaitForDialogProcess(launcher, 1);
        EXPECT_NE(pid, 0);
        std::string const window = Desktop::WindowOf(pid);
        EXPECT_FALSE(window.empty());
        EXPECT_TRUE(Desktop::Focus(window));
        EXPECT_TRUE(Desktop::Steps(steps));
        EXPECT_TRUE(Desktop::Keys({"Return"}));
        auto outcome = outcomes.WaitFor(request);
        if (!outcome || !outcome->accepted) {
            ADD_FAILURE() << "not accepted: " << (outcome ? outcome->reason : "no answer");
            return {};
        }
        return outcome->privateData;
    }

    Diagnostics diagnostics;
    Outcomes outcomes;

  private:
    int mRequests = 0;
};

struct Written {
    exporting::DemuxedMovie movie;
    std::uintmax_t bytes = 0;
};

// Exports `frames` frames with `settings`: the moving test pictures, or frame 0 over and over
// (`still`), which gives an encoder no key frames of its own.
Written Export(ex::ExportSettings settings, int frames, bool still = false) {
    exporting::ScratchDirectory dir;
    settings.mFilePath = dir.File("out.mov");
    ex::ExportService service;
    ex::ExportId const id = exporting::NewId();
    EXPECT_EQ(exporting::StartExport(service, 1, id, settings), 0);
    for (int i = 0; i < frames; ++i) {
        exporting::TestFrame const frame = exporting::MakeFrame(
            kBGRA, settings.mVideoFrameWidth, settings.mVideoFrameHeight, still ? 0 : i);
        EXPECT_EQ(exporting::SubmitFrame(service, 1, id, std::uint32_t(i), frame), 0);
    }
    EXPECT_EQ(exporting::CompleteExport(service, 1, id), 0);
    return {exporting::Demux(settings.mFilePath), std::filesystem::file_size(settings.mFilePath)};
}

TEST_F(ExportEffectTest, H264KeyFramesBFramesAndBitrate) {
    std::uint32_t const h264 = MakeFourCC("avc1");
    std::vector<std::uint8_t> const defaults = Accept(h264, {});
    // Key frame every 5, no B-frames, 150 kbit/s on average.
    std::vector<std::uint8_t> const changed =
        Accept(h264, {"alt+k", "ctrl+a", "type:5", "alt+f", "ctrl+a", "type:0", "alt+a", "Down",
                      "alt+b", "ctrl+a", "type:150"});
    ex::CodecSettings const back = ReadBack(h264, changed);
    EXPECT_EQ(back.Number("keyFrameInterval"), 5);
    EXPECT_EQ(back.Number("bFrames"), 0);
    EXPECT_EQ(back.Choice("rateControl"), "bitrate");
    EXPECT_EQ(back.Number("bitrate"), 150);

    ex::ExportSettings s = exporting::VideoSettings("", h264, 256, 120, 12);
    s.mReorderFrames = true;  // B-frames as the private settings say
    s.mVideoCodecPrefsData = defaults;
    Written const stillDefault = Export(s, 12, true);
    Written const movingDefault = Export(s, 12);
    s.mVideoCodecPrefsData = changed;
    Written const stillChanged = Export(s, 12, true);
    Written const movingChanged = Export(s, 12);

    std::vector<bool> every5(12, false);
    every5[0] = every5[5] = every5[10] = true;
    EXPECT_EQ(stillChanged.movie.videoKeyFrames, every5);
    EXPECT_EQ(std::count(stillDefault.movie.videoKeyFrames.begin(),
                         stillDefault.movie.videoKeyFrames.end(), true),
              1);  // every 24 frames
    EXPECT_GT(movingDefault.movie.reorderedPackets, 0);
    EXPECT_EQ(movingChanged.movie.reorderedPackets, 0);
    // 150 kbit/s is 750 bytes a frame at 25 fps; the default constant quality 1000 spends far
    // more on these pictures.
    EXPECT_LT(movingChanged.bytes * 2, movingDefault.bytes);
}

// What a quantiser does to the movie is shown by the export's own tests (CodecSettingsTest);
// here the dialog's field reaches the settings.
TEST_F(ExportEffectTest, ProResQuantiser) {
    std::uint32_t const prores = MakeFourCC("apch");
    EXPECT_EQ(ReadBack(prores, Accept(prores, {"alt+q", "ctrl+a", "type:64"})).Number("quantiser"),
              64);
}

}  // namespace
}  // namespace vireo::test::codecsettings

// The capture output through the module's interface: what lands in the file, the order of the
// calls, sessions taking and giving back, and failures that must lose nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "Pix/Pix.h"
#include "TestSupport.h"
#include "VoutTestSupport.h"
#include "vout/CaptureFile.h"
#include "vout/VideoOutputs.h"

namespace vireo::test::vout {
namespace {

namespace vout = ::vireo::server::vout;
using Frame = InterfaceRef<Kino::IVideoFrame>;

class CaptureTest : public ::testing::Test {
  protected:
    vout::Settings MakeSettings() const {
        vout::Settings settings;
        settings.lockDirectory = mDir.Path() + "/locks";
        settings.captureDirectory = mDir.Path() + "/captures/new";
        settings.useDisplays = false;
        return settings;
    }

    // Reads every frame of `path`; fails the test on a damaged file.
    std::vector<vout::CapturedFrame> ReadAll(std::string const& path) {
        vout::CaptureReader reader;
        std::string error;
        std::vector<vout::CapturedFrame> frames;
        EXPECT_TRUE(reader.Open(path, error)) << error;
        vout::CapturedFrame frame;
        while (reader.Next(frame, error)) {
            frames.push_back(frame);
        }
        EXPECT_EQ(error, "");
        return frames;
    }

    static void ExpectSame(vout::CapturedFrame const& captured, Kino::IVideoFrame const& sent) {
        EXPECT_EQ(captured.header.width, sent.GetWidth());
        EXPECT_EQ(captured.header.height, sent.GetHeight());
        EXPECT_EQ(captured.header.rowBytes, sent.GetRowBytes());
        EXPECT_EQ(captured.header.fourcc, sent.GetPixelFormat());
        EXPECT_EQ(captured.header.properties, sent.GetPixelFormatProperties());
        EXPECT_EQ(captured.header.parNumerator, sent.GetPixelAspectRatio().GetNumerator());
        EXPECT_EQ(captured.header.parDenominator, sent.GetPixelAspectRatio().GetDenominator());
        EXPECT_EQ(captured.header.fieldOrder, sent.GetFieldOrder());
        EXPECT_TRUE(captured.pixels == FrameBytes(sent)) << "pixels differ";
    }

    vireo::test::TempDir mDir{"vout-capture"};
};

TEST_F(CaptureTest, TheFileHoldsExactlyTheBlittedFramesInEveryFormat) {
    vout::VideoOutputs outputs(MakeSettings());
    vout::UseComponentData const use = outputs.BeginUsingComponent(7, CaptureRequest("Cap App"));
    ASSERT_EQ(use.mVOutOperationResult.mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(use.mVOutOperationResult.mApplicationUsingComponentName, "Cap App");

    std::vector<Frame> const sent = {
        MakePatternFrame(33, 17, Kino::kPixelFormat_BGRA, 33 * 4 + 20, 1, {10, 11}),
        MakePatternFrame(31, 9, Kino::kPixelFormat_2vuy, 0, 2),
        MakePatternFrame(7, 5, Kino::kPixelFormat_b64a, 0, 3),
        MakePatternFrame(1, 1, Kino::kPixelFormat_BGRA, 0, 4, {0, 0}),
        MakePatternFrame(96, 2, Kino::kPixelFormat_v210, 0, 5),
    };
    EXPECT_EQ(outputs.BeginBlitting(7, sent[0]).mOperationResult, vout::kVOutOperationSucceeded);
    for (std::size_t i = 1; i < sent.size(); ++i) {
        vout::OperationResult const result = outputs.BlitFrame(7, sent[i]);
        EXPECT_EQ(result.mOperationResult, vout::kVOutOperationSucceeded) << i;
        EXPECT_EQ(result.mApplicationUsingComponentName, "Cap App");
    }
    std::string const path = outputs.CaptureFilePath(7);
    EXPECT_EQ(outputs.EndBlitting(7).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(outputs.EndUsingComponent(7).mOperationResult, vout::kVOutOperationSucceeded);

    ASSERT_EQ(path.rfind(MakeSettings().captureDirectory + "/Cap_App-", 0), 0u) << path;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    struct stat dirStat {};
    ASSERT_EQ(::stat(MakeSettings().captureDirectory.c_str(), &dirStat), 0);
    EXPECT_EQ(dirStat.st_mode & 0777, 0700u);

    std::vector<vout::CapturedFrame> const frames = ReadAll(path);
    ASSERT_EQ(frames.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        ExpectSame(frames[i], *sent[i]);
    }
}

TEST_F(CaptureTest, EveryRunIsAFileOfItsOwnAndAnEndedSessionFreesTheComponent) {
    vout::VideoOutputs outputs(MakeSettings());
    ASSERT_EQ(outputs.BeginUsingComponent(1, CaptureRequest("First App"))
                  .mVOutOperationResult.mOperationResult,
              vout::kVOutOperationSucceeded);
    Frame const a = MakePatternFrame(16, 4, Kino::kPixelFormat_BGRA, 0, 10);
    Frame const b = MakePatternFrame(16, 4, Kino::kPixelFormat_BGRA, 0, 20);
    Frame const c = MakePatternFrame(8, 8, Kino::kPixelFormat_2vuy, 0, 30);

    EXPECT_EQ(outputs.BeginBlitting(1, a).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(outputs.BlitFrame(1, b).mOperationResult, vout::kVOutOperationSucceeded);
    std::string const first = outputs.CaptureFilePath(1);
    // A new run without an end: the first file is complete and a second one starts.
    EXPECT_EQ(outputs.BeginBlitting(1, c).mOperationResult, vout::kVOutOperationSucceeded);
    std::string const second = outputs.CaptureFilePath(1);
    EXPECT_NE(first, second);

    vout::UseComponentData const refused = outputs.BeginUsingComponent(2, CaptureRequest("Second"));
    EXPECT_EQ(refused.mVOutOperationResult.mOperationResult, vout::kVOutComponentInUse);
    EXPECT_EQ(refused.mVOutOperationResult.mApplicationUsingComponentName, "First App");
    EXPECT_EQ(refused.mApplicationName, "Second");

    // The first session ends while its run is open: the run ends and the component is free.
    outputs.SessionEnded(1);
    outputs.SessionEnded(1);
    EXPECT_EQ(outputs.BlitFrame(1, a).mOperationResult, vout::kVOutNoComponentInUse);
    EXPECT_EQ(outputs.BeginUsingComponent(2, CaptureRequest("Second"))
                  .mVOutOperationResult.mOperationResult,
              vout::kVOutOperationSucceeded);

    std::vector<vout::CapturedFrame> const one = ReadAll(first);
    ASSERT_EQ(one.size(), 2u);
    ExpectSame(one[0], *a);
    ExpectSame(one[1], *b);
    std::vector<vout::CapturedFrame> const two = ReadAll(second);
    ASSERT_EQ(two.size(), 1u);
    ExpectSame(two[0], *c);
}

TEST_F(CaptureTest, CallsOutOfOrderAndBadFramesGetTheirOutcomes) {
    vout::VideoOutputs outputs(MakeSettings());
    Frame const frame = MakePatternFrame(4, 4, Kino::kPixelFormat_BGRA, 0, 1);

    // No component in use.
    EXPECT_EQ(outputs.BeginBlitting(3, frame).mOperationResult, vout::kVOutNoComponentInUse);
    EXPECT_EQ(outputs.BlitFrame(3, frame).mOperationResult, vout::kVOutNoComponentInUse);
    EXPECT_EQ(outputs.EndBlitting(3).mOperationResult, vout::kVOutNoComponentInUse);
    EXPECT_EQ(outputs.EndUsingComponent(3).mOperationResult, vout::kVOutNoComponentInUse);
    EXPECT_EQ(outputs.GetActiveDisplayModeData(3).mOperationResult.mOperationResult,
              vout::kVOutNoComponentInUse);

    // Unknown component or mode.
    vout::UseComponentData request = CaptureRequest("Order");
    request.mQTComponentDescription.mQTComponentDesc_componentSubType = 0x64703939;  // 'dp99'
    EXPECT_EQ(outputs.BeginUsingComponent(3, request).mVOutOperationResult.mOperationResult,
              vout::kVOutComponentNotFound);
    request = CaptureRequest("Order");
    request.mDisplayModeID = 77;
    EXPECT_EQ(outputs.BeginUsingComponent(3, request).mVOutOperationResult.mOperationResult,
              vout::kVOutDisplayModeNotFound);

    // Taken with a description that names only the subtype: the answer completes it.
    request = vout::UseComponentData();
    request.mQTComponentDescription.mQTComponentDesc_componentSubType = 0x63617074;  // 'capt'
    request.mQTAtomIDForDisplayMode = 1;
    request.mApplicationName = "Order";
    vout::UseComponentData const use = outputs.BeginUsingComponent(3, request);
    ASSERT_EQ(use.mVOutOperationResult.mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(use.mQTComponentDescription.mQTComponentDesc_componentType, 0x766F7574u);
    vout::ActiveDisplayModeData const active = outputs.GetActiveDisplayModeData(3);
    EXPECT_EQ(active.mOperationResult.mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_NE(use.mDisplayModeID, 0);
    EXPECT_EQ(active.mDisplayModeInfo.mDisplayModeID, use.mDisplayModeID);

    // The session already uses a component.
    vout::UseComponentData const again = outputs.BeginUsingComponent(3, CaptureRequest("Other"));
    EXPECT_EQ(again.mVOutOperationResult.mOperationResult, vout::kVOutAlreadyUsingComponent);
    EXPECT_EQ(again.mVOutOperationResult.mApplicationUsingComponentName, "Order");

    // Blits before the run begins, and frames that cannot be read.
    EXPECT_EQ(outputs.BlitFrame(3, frame).mOperationResult, vout::kVOutNotBlitting);
    EXPECT_EQ(outputs.EndBlitting(3).mOperationResult, vout::kVOutNotBlitting);
    EXPECT_EQ(outputs.BeginBlitting(3, Frame()).mOperationResult, vout::kVOutBadFrame);
    EXPECT_EQ(outputs.BeginBlitting(3, MakeShortFrame(64, 64)).mOperationResult,
              vout::kVOutBadFrame);
    EXPECT_EQ(outputs.CaptureFilePath(3), "") << "a refused first frame starts no file";
    ASSERT_EQ(outputs.BeginBlitting(3, frame).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(outputs.BlitFrame(3, MakeShortFrame(64, 64)).mOperationResult, vout::kVOutBadFrame);
    EXPECT_EQ(outputs.BlitFrame(3, Frame()).mOperationResult, vout::kVOutBadFrame);
    std::string const path = outputs.CaptureFilePath(3);
    EXPECT_EQ(outputs.EndUsingComponent(3).mOperationResult, vout::kVOutOperationSucceeded);
    EXPECT_EQ(outputs.EndUsingComponent(3).mOperationResult, vout::kVOutNoComponentInUse);
    std::vector<vout::CapturedFrame> const frames = ReadAll(path);
    ASSERT_EQ(frames.size(), 1u) << "refused frames leave nothing in the file";
    ExpectSame(frames[0], *frame);
}

TEST_F(CaptureTest, AFailedWriteKeepsWholeFramesAndSaysWhy) {
    vout::VideoOutputs outputs(MakeSettings());
    ASSERT_EQ(outputs.BeginUsingComponent(2, CaptureRequest("Full"))
                  .mVOutOperationResult.mOperationResult,
              vout::kVOutOperationSucceeded);
    Frame const small = MakePatternFrame(64, 64, Kino::kPixelFormat_BGRA, 0, 1);
    Frame const large = MakePatternFrame(256, 256, Kino::kPixelFormat_BGRA, 0, 2);
    ASSERT_EQ(outputs.BeginBlitting(2, small).mOperationResult, vout::kVOutOperationSucceeded);

    // Files of this process may not grow past 100000 bytes for a while: the large frame
    // (256 KiB) fails part way through.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previous);
    rlimit limited = old;
    limited.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    vout::OperationResult const failed = outputs.BlitFrame(2, large);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(failed.mOperationResult, vout::kVOutOutputFailed);
    EXPECT_EQ(failed.mQTResultCode, EFBIG);

    // The run goes on after the failure, and the file holds the whole frames only.
    EXPECT_EQ(outputs.BlitFrame(2, small).mOperationResult, vout::kVOutOperationSucceeded);
    std::string const path = outputs.CaptureFilePath(2);
    EXPECT_EQ(outputs.EndUsingComponent(2).mOperationResult, vout::kVOutOperationSucceeded);
    std::vector<vout::CapturedFrame> const frames = ReadAll(path);
    ASSERT_EQ(frames.size(), 2u);
    ExpectSame(frames[0], *small);
    ExpectSame(frames[1], *small);
}

TEST_F(CaptureTest, AMissingDirectoryAndADamagedFileAreReported) {
    std::ofstream(mDir.Path() + "/file") << "x";
    vout::Settings settings = MakeSettings();
    settings.captureDirectory = mDir.Path() + "/file/captures";
    vout::VideoOutputs failing(settings);
    vout::UseComponentData const use = failing.BeginUsingComponent(1, CaptureRequest("NoDir"));
    EXPECT_EQ(use.mVOutOperationResult.mOperationResult, vout::kVOutOutputFailed);
    EXPECT_EQ(use.mVOutOperationResult.mQTResultCode, ENOTDIR);

    // Nothing stays taken: another instance takes it while the failed one lives.
    vout::VideoOutputs outputs(MakeSettings());
    ASSERT_EQ(outputs.BeginUsingComponent(1, CaptureRequest("Damage"))
                  .mVOutOperationResult.mOperationResult,
              vout::kVOutOperationSucceeded);
    outputs.BeginBlitting(1, MakePatternFrame(8, 8, Kino::kPixelFormat_BGRA, 0, 1));
    std::string const path = outputs.CaptureFilePath(1);
    outputs.EndUsingComponent(1);
    // Cut within the frame.
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(::truncate(path.c_str(), st.st_size - 1), 0);
    vout::CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(path, error)) << error;
    vout::CapturedFrame frame;
    EXPECT_FALSE(reader.Next(frame, error));
    EXPECT_EQ(error, "the file ends within a frame");
    // A header that claims an impossible size.
    ASSERT_TRUE(reader.Open(path, error));
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(sizeof(vout::CaptureFileHeader) + 12);
        std::uint32_t const width = 0xFFFFFFFF;
        file.write(reinterpret_cast<char const*>(&width), sizeof width);
    }
    EXPECT_FALSE(reader.Next(frame, error));
    EXPECT_EQ(error, "damaged frame header");
    std::ofstream(mDir.Path() + "/not.vcap") << "not a capture file at all, no";
    EXPECT_FALSE(reader.Open(mDir.Path() + "/not.vcap", error));
}

}  // namespace
}  // namespace vireo::test::vout

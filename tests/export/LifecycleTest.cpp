// What an export leaves on disk however it ends, who may use it, and what each call answers
// after a cancel, a failure, an abandon or a completion.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <thread>

#include "ExportTestSupport.h"
#include "TimeScale.h"
#include "engine/FourCC.h"
#include "engine/Movie.h"
#include "export/ExportErrors.h"

namespace vireo::test::exporting {
namespace {

using engine::MakeFourCC;

constexpr std::uint32_t kBGRA = MakeFourCC("BGRA");

std::string Contents(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(std::string const& path, std::string const& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TestFrame Frame(int index, std::uint32_t width = 32) {
    return MakeFrame(kBGRA, width, 16, index);
}

class Lifecycle : public testing::Test {
  protected:
    void SetUp() override { WriteFile(mExisting, "a movie that must survive"); }

    ex::ExportSettings Settings(int frames = 10) const {
        return VideoSettings(mExisting, MakeFourCC("png "), 32, 16, frames);
    }
    void ExpectOnlyTheExistingFile() const {
        EXPECT_EQ(mDir.Names(), std::vector<std::string>{"out.mov"});
        EXPECT_EQ(Contents(mExisting), "a movie that must survive");
    }

    ScratchDirectory mDir;
    std::string const mExisting = mDir.File("out.mov");
    ex::ExportService mService;
    ex::ExportId const mId = NewId();
};

TEST_F(Lifecycle, CancelStopsQueuedWorkAnswersEachSubmissionOnceAndLeavesNothing) {
    ASSERT_EQ(StartExport(mService, 1, mId, Settings(26)), 0);
    ASSERT_EQ(SubmitFrame(mService, 1, mId, 0, Frame(0)), 0);
    EXPECT_EQ(mService.Progress(1, mId), 1);
    Answers answers;
    for (int i = 1; i < 25; ++i) {
        mService.SubmitFrame(1, mId, std::uint32_t(i), Frame(i).View(), answers.Next());
    }
    mService.Cancel(1, mId);
    EXPECT_EQ(mService.Progress(1, mId), ex::kErrCancelled);
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 25, Frame(25)), ex::kErrCancelled);
    EXPECT_EQ(CompleteExport(mService, 1, mId), ex::kErrCancelled);
    // Completion comes after every earlier submission: all have their answer by now.
    ASSERT_EQ(answers.Results().size(), 24u);
    bool cancelled = false;
    for (std::int32_t result : answers.Results()) {
        EXPECT_TRUE(result == 0 || result == ex::kErrCancelled) << result;
        EXPECT_FALSE(cancelled && result == 0) << "a frame was encoded after the cancel";
        cancelled = cancelled || result == ex::kErrCancelled;
    }
    ExpectOnlyTheExistingFile();
    EXPECT_EQ(mService.ExportCount(), 0u);
}

// A frame far beyond the previous one repeats that frame for every number between, and a long
// gap in the audio is silence: hours of work a cancel must cut short.
TEST_F(Lifecycle, CancelEndsLongRepeatsAndSilences) {
    for (bool video : {true, false}) {
        ex::ExportSettings s = Settings();
        s.mExportVideo = video;
        s.mExportAudio = !video;
        s.mAudioCodecFourCC = std::int32_t(MakeFourCC("aac "));
        s.mAudioFrameRate = 48000;
        s.mAudioNumChannels = 1;
        s.mTicksPerSecond = 1000;
        s.mExportEndTime = 4000000000;  // 46 days at 1000 frames a second
        s.mQTVideoTimescale = 1000;
        s.mQTVideoSampleSize = 1;
        ex::ExportId const id = NewId();
        ASSERT_EQ(StartExport(mService, 1, id, s), 0);
        Answers answers;
        auto silence = std::make_shared<std::vector<std::uint8_t>>(40);
        if (video) {
            ASSERT_EQ(SubmitFrame(mService, 1, id, 0, Frame(0)), 0);
            mService.SubmitFrame(1, id, 3999999999u, Frame(1).View(), answers.Next());
        } else {
            ASSERT_EQ(SubmitAudio(mService, 1, id, 0, 10, *silence), 0);
            mService.SubmitAudio(1, id, 100000000000, 10, {silence->data(), 40, silence},
                                 answers.Next());
        }
        mService.Cancel(1, id);
        EXPECT_EQ(CompleteExport(mService, 1, id), ex::kErrCancelled);
        ASSERT_TRUE(answers.WaitFor(1));
        EXPECT_EQ(answers.Results(), std::vector<std::int32_t>{ex::kErrCancelled});
        ExpectOnlyTheExistingFile();
    }
}

// A host's failure status, an export with nothing in it and an audio-only export given frames
// all end without touching the destination.
TEST_F(Lifecycle, FailedCompletionsLeaveTheDestinationAsItWas) {
    ASSERT_EQ(StartExport(mService, 1, mId, Settings()), 0);
    ASSERT_EQ(SubmitFrame(mService, 1, mId, 0, Frame(0)), 0);
    EXPECT_EQ(CompleteExport(mService, 1, mId, -5), ex::kErrAbandoned);
    ASSERT_EQ(StartExport(mService, 1, mId, Settings()), 0);
    EXPECT_EQ(CompleteExport(mService, 1, mId), ex::kErrNothingWritten);
    ASSERT_EQ(
        StartExport(mService, 1, mId, AudioSettings(mExisting, MakeFourCC("sowt"), 48000, 1, 100)),
        0);
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 0, Frame(0)), ex::kErrNoVideoTrack);
    EXPECT_EQ(CompleteExport(mService, 1, mId), ex::kErrNothingWritten);
    ExpectOnlyTheExistingFile();
}

TEST_F(Lifecycle, AbandonedOwnerLosesItsExportsOnly) {
    ex::ExportId const other = NewId();
    ScratchDirectory otherDir;
    ASSERT_EQ(StartExport(mService, 7, mId, Settings()), 0);
    ASSERT_EQ(StartExport(mService, 8, other,
                          VideoSettings(otherDir.File("kept.mov"), MakeFourCC("png "), 32, 16, 2)),
              0);
    ASSERT_EQ(SubmitFrame(mService, 7, mId, 0, Frame(0)), 0);
    ASSERT_EQ(SubmitFrame(mService, 8, other, 0, Frame(0)), 0);
    Answers pending;
    mService.SubmitFrame(7, mId, 1, Frame(1).View(), pending.Next());
    mService.AbandonOwner(7);
    ASSERT_TRUE(pending.WaitFor(1));
    EXPECT_TRUE(pending.Results()[0] == 0 || pending.Results()[0] == ex::kErrAbandoned);
    EXPECT_EQ(SubmitFrame(mService, 7, mId, 2, Frame(2)), ex::kErrUnknownExport);
    EXPECT_EQ(mService.Progress(7, mId), ex::kErrUnknownExport);
    // Removal happens on a service thread.
    EXPECT_TRUE(Eventually([&] { return mDir.Names() == std::vector<std::string>{"out.mov"}; },
                           std::chrono::seconds(30)));
    ExpectOnlyTheExistingFile();
    // The other owner's export goes on.
    ASSERT_EQ(SubmitFrame(mService, 8, other, 1, Frame(1)), 0);
    EXPECT_EQ(CompleteExport(mService, 8, other), 0);
    EXPECT_EQ(otherDir.Names(), std::vector<std::string>{"kept.mov"});
}

TEST_F(Lifecycle, OnlyItsOwnerReachesAnExportAndCompletionTakesNoMoreSubmissions) {
    ASSERT_EQ(StartExport(mService, 1, mId, Settings(2)), 0);
    EXPECT_EQ(SubmitFrame(mService, 2, mId, 0, Frame(0)), ex::kErrUnknownExport);
    EXPECT_EQ(mService.Progress(2, mId), ex::kErrUnknownExport);
    EXPECT_EQ(CompleteExport(mService, 2, mId), ex::kErrUnknownExport);
    mService.Cancel(2, mId);
    EXPECT_EQ(StartExport(mService, 2, mId, Settings(2)), ex::kErrExportExists);
    ASSERT_EQ(SubmitFrame(mService, 1, mId, 0, Frame(0)), 0);
    Answers completion, late;
    mService.Complete(1, mId, 0, completion.Next());
    mService.SubmitFrame(1, mId, 1, Frame(1).View(), late.Next());
    mService.Complete(1, mId, 0, late.Next());
    ASSERT_TRUE(completion.WaitFor(1));
    ASSERT_TRUE(late.WaitFor(2));
    EXPECT_EQ(completion.Results(), std::vector<std::int32_t>{0});
    for (std::int32_t result : late.Results()) {
        EXPECT_TRUE(result == ex::kErrCompleting || result == ex::kErrUnknownExport) << result;
    }
    EXPECT_EQ(mDir.Names(), std::vector<std::string>{"out.mov"});
    EXPECT_NE(Contents(mExisting), "a movie that must survive");
    EXPECT_EQ(mService.ExportCount(), 0u);
    // A completed export is forgotten; its identifier may start a new one.
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 1, Frame(1)), ex::kErrUnknownExport);
    EXPECT_EQ(StartExport(mService, 1, mId, Settings(2)), 0);
    EXPECT_EQ(CompleteExport(mService, 1, mId, 1), ex::kErrAbandoned);
}

TEST_F(Lifecycle, RefusedSubmissionsDoNotEndTheExport) {
    ex::ExportSettings settings = Settings(4);
    ASSERT_EQ(StartExport(mService, 1, mId, settings), 0);
    ASSERT_EQ(SubmitFrame(mService, 1, mId, 1, Frame(1)), 0);
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 1, Frame(1)), ex::kErrFrameNumber);
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 0, Frame(0)), ex::kErrFrameNumber);
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 4, Frame(4)), ex::kErrFrameNumber);
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 2, Frame(2, 30)), ex::kErrFrameMismatch);
    TestFrame odd = Frame(2);
    odd.fourcc = MakeFourCC("RGBA");
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 2, odd), ex::kErrFrameFormat);
    TestFrame narrow = Frame(2);
    narrow.rowBytes = 100;
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 2, narrow), ex::kErrFrameFormat);
    TestFrame shortData = Frame(2);
    shortData.bytes->resize(shortData.bytes->size() - 1);
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 2, shortData), ex::kErrFrameFormat);
    EXPECT_EQ(SubmitAudio(mService, 1, mId, 0, 10, std::vector<std::uint8_t>(80)),
              ex::kErrNoAudioTrack);
    ASSERT_EQ(SubmitFrame(mService, 1, mId, 3, Frame(3)), 0);
    EXPECT_EQ(mService.Progress(1, mId), 2);
    ASSERT_EQ(CompleteExport(mService, 1, mId), 0);
    std::int32_t error = 0;
    auto movie = engine::Movie::Open(mExisting, {}, error);
    ASSERT_TRUE(movie);
    EXPECT_EQ(movie->Info().video.frameCount, 3);  // frames 1, 2 (a repeat of 1) and 3
}

// A file that cannot be written (here: a file size limit) fails the export: the failure is
// answered to the submission, to every later call and to the completion, and nothing stays.
TEST_F(Lifecycle, WriteFailureIsReportedAndLeavesNothing) {
    struct rlimit const previous = [] {
        struct rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        return limit;
    }();
    auto const previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = previous;
    small.rlim_cur = 256 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ex::ExportSettings settings = VideoSettings(mExisting, MakeFourCC("2vuy"), 640, 480, 10);
    ASSERT_EQ(StartExport(mService, 1, mId, settings), 0);
    std::int32_t failure = 0;
    for (int i = 0; i < 10 && failure == 0; ++i) {
        failure = SubmitFrame(mService, 1, mId, std::uint32_t(i), MakeFrame(kBGRA, 640, 480, i));
    }
    EXPECT_EQ(failure, ex::kErrWriteFailed);
    EXPECT_EQ(mService.Progress(1, mId), ex::kErrWriteFailed);
    EXPECT_EQ(SubmitFrame(mService, 1, mId, 9, MakeFrame(kBGRA, 640, 480, 9)), ex::kErrWriteFailed);
    EXPECT_EQ(CompleteExport(mService, 1, mId), ex::kErrWriteFailed);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    ExpectOnlyTheExistingFile();
}

TEST(Concurrency, SeveralExportsRunAtOnceIndependently) {
    ScratchDirectory dir;
    ex::ExportService service;
    struct Job {
        std::uint32_t codec;
        ex::OwnerKey owner;
        ex::ExportId id;
        std::string path;
    };
    std::vector<Job> jobs;
    for (std::uint32_t codec :
         {MakeFourCC("avc1"), MakeFourCC("apcn"), MakeFourCC("png "), MakeFourCC("jpeg")}) {
        jobs.push_back({codec, ex::OwnerKey(jobs.size() % 2), NewId(),
                        dir.File(std::to_string(jobs.size()) + ".mov")});
        ASSERT_EQ(StartExport(service, jobs.back().owner, jobs.back().id,
                              VideoSettings(jobs.back().path, codec, 64, 48, 12)),
                  0);
    }
    // Every submission goes out at once from two threads; each export keeps its own order.
    Answers answers;
    auto submitHalf = [&](std::size_t first) {
        for (int i = 0; i < 12; ++i) {
            for (std::size_t j = first; j < jobs.size(); j += 2) {
                service.SubmitFrame(jobs[j].owner, jobs[j].id, std::uint32_t(i),
                                    MakeFrame(kBGRA, 64, 48, i + int(j)).View(), answers.Next());
            }
        }
    };
    std::thread other(submitHalf, 1);
    submitHalf(0);
    other.join();
    for (auto const& job : jobs) {
        EXPECT_EQ(CompleteExport(service, job.owner, job.id), 0);
    }
    ASSERT_TRUE(answers.WaitFor(48));
    for (std::int32_t result : answers.Results()) {
        EXPECT_EQ(result, 0);
    }
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        std::int32_t error = 0;
        auto movie = engine::Movie::Open(jobs[j].path, {}, error);
        ASSERT_TRUE(movie);
        EXPECT_EQ(movie->Info().video.codecFourCC, jobs[j].codec);
        EXPECT_EQ(movie->Info().video.frameCount, 12);
        std::vector<std::uint8_t> picture(64 * 48 * 4);
        ASSERT_EQ(movie->ReadVideoFrame(5, kBGRA, picture.data(), 256, 0, 0), 0);
        auto const expected = MakeFrame(kBGRA, 64, 48, 5 + int(j));
        EXPECT_GE(Psnr(expected.bytes->data(), picture.data(), picture.size()), 40);
    }
}

TEST(Concurrency, StoppingTheServiceAbandonsRunningExports) {
    ScratchDirectory dir;
    Answers answers;
    {
        ex::ExportService service;
        ex::ExportId const id = NewId();
        ASSERT_EQ(StartExport(service, 1, id,
                              VideoSettings(dir.File("a.mov"), MakeFourCC("png "), 32, 16, 20)),
                  0);
        for (int i = 0; i < 20; ++i) {
            service.SubmitFrame(1, id, std::uint32_t(i), Frame(i).View(), answers.Next());
        }
    }
    // Every submission was answered before the service was gone, and nothing is left.
    EXPECT_EQ(answers.Results().size(), 20u);
    for (std::int32_t result : answers.Results()) {
        EXPECT_TRUE(result == 0 || result == ex::kErrShuttingDown) << result;
    }
    EXPECT_TRUE(dir.Names().empty());
}

}  // namespace
}  // namespace vireo::test::exporting

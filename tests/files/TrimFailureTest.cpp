// Every trim that cannot be done gives its own code, leaves nothing behind (no new file, no
// temporary file, an existing destination untouched) and never changes the source.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "FilesTestSupport.h"
#include "TimeScale.h"
#include "TrimRequests.h"
#include "engine/Errors.h"
#include "files/FileErrors.h"

namespace vireo::test::files {
namespace {

using namespace server::files;

constexpr int kFrames = 30;  // 25 fps

class TrimFailureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sSourceFolder = new TempFolder;
        sSource = WriteMovie(TestMovie("source.mov", 25, 1, kFrames, "00:00:10:00"),
                             sSourceFolder->Path());
        sChecksum = FileChecksum(sSource);
    }
    static void TearDownTestSuite() { delete sSourceFolder; }

    void SetUp() override {
        // An existing destination that a failed trim must leave as it was.
        std::ofstream(mFolder.File("existing.mov")) << "an earlier movie";
        mExisting = FileChecksum(mFolder.File("existing.mov"));
        mBefore = mFolder.Entries();
    }
    void TearDown() override {
        EXPECT_EQ(FileChecksum(sSource), sChecksum) << "the source changed";
        EXPECT_EQ(sSourceFolder->Entries(), std::vector<std::string>{"source.mov"});
        EXPECT_EQ(mFolder.Entries(), mBefore) << "something was left behind";
        EXPECT_EQ(FileChecksum(mFolder.File("existing.mov")), mExisting);
    }

    TrimRequest Request() const {
        return Range(sSource, mFolder.File("existing.mov"), 5, 10, 25, 1);
    }

    static TempFolder* sSourceFolder;
    static std::string sSource;
    static std::uint64_t sChecksum;
    TempFolder mFolder;
    std::uint64_t mExisting = 0;
    std::vector<std::string> mBefore;
};

TempFolder* TrimFailureTest::sSourceFolder = nullptr;
std::string TrimFailureTest::sSource;
std::uint64_t TrimFailureTest::sChecksum = 0;

TEST_F(TrimFailureTest, BadNumbersAreRefusedWithTheirCodes) {
    struct Case {
        char const* what;
        int trimIn, duration, scale, sampleSize;
        std::int32_t code;
    };
    for (Case const& c : {
             Case{"scale 0", 5, 10, 0, 1, kErrTrimBadScale},
             Case{"negative duration", 5, -10, 25, 1, kErrTrimBadDuration},
             Case{"duration 0", 5, 0, 25, 1, kErrTrimBadDuration},
             Case{"negative sample size", 5, 10, 25, -1, kErrTrimBadSampleSize},
             Case{"start before the movie", -1, 10, 25, 1, kErrTrimOutOfRange},
             Case{"start at the end", kFrames, 1, 25, 1, kErrTrimOutOfRange},
             Case{"end after the end", 25, 6, 25, 1, kErrTrimOutOfRange},
             Case{"far beyond", 0, 2147483647, 1, 0, kErrTrimOutOfRange},
             Case{"nothing left once rounded", 700, 10, 1000, 40, kErrTrimBadDuration},
         }) {
        EXPECT_EQ(TrimMovie(Range(sSource, mFolder.File("existing.mov"), c.trimIn, c.duration,
                                  c.scale, c.sampleSize)),
                  c.code)
            << c.what;
    }
    // The last moment of the movie is inside it.
    EXPECT_EQ(TrimMovie(Range(sSource, mFolder.File("last.mov"), kFrames - 1, 1, 25, 1)), 0);
    mBefore.push_back("last.mov");
    std::sort(mBefore.begin(), mBefore.end());
}

TEST_F(TrimFailureTest, SourcesThatCannotBeReadAreRefusedWithTheirCodes) {
    std::ofstream(mFolder.File("notes.txt")) << "just some text, no movie at all\n";
    std::ofstream(mFolder.File("empty.mov"));
    {
        // A QuickTime file cut before its movie header.
        std::ifstream in(sSource, std::ios::binary);
        std::string head(4096, '\0');
        in.read(head.data(), std::streamsize(head.size()));
        std::ofstream(mFolder.File("cut.mov"), std::ios::binary) << head;
    }
    ASSERT_EQ(::mkfifo(mFolder.File("pipe.mov").c_str(), 0600), 0);
    std::ofstream(mFolder.File("words.srt")) << "1\n00:00:00,000 --> 00:00:01,000\nhello\n\n";
    std::string const locked = mFolder.File("locked.mov");
    std::ofstream(locked, std::ios::binary) << std::ifstream(sSource, std::ios::binary).rdbuf();
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    mBefore = mFolder.Entries();

    struct Case {
        std::string source;
        std::int32_t code;
    };
    for (Case const& c : {
             Case{"", engine::kErrInvalidPath},
             Case{mFolder.File("missing.mov"), engine::kErrFileNotFound},
             Case{mFolder.Path(), engine::kErrIsDirectory},
             Case{mFolder.File("notes.txt"), engine::kErrNotMedia},
             Case{mFolder.File("empty.mov"), engine::kErrNotMedia},
             Case{mFolder.File("cut.mov"), engine::kErrCorrupt},
             // Subtitles alone: no video or audio to trim.
             Case{mFolder.File("words.srt"), engine::kErrNoDecodableStream},
             // A pipe is refused without waiting for a writer.
             Case{mFolder.File("pipe.mov"), engine::kErrNotMedia},
             Case{locked, engine::kErrAccessDenied},
         }) {
        if (c.source == locked && ::geteuid() == 0) {
            continue;  // permissions do not stop the superuser
        }
        TrimRequest request = Request();
        request.source = c.source;
        auto const start = std::chrono::steady_clock::now();
        EXPECT_EQ(TrimMovie(request), c.code) << "source " << c.source;
        EXPECT_LT(std::chrono::steady_clock::now() - start, Scaled(std::chrono::seconds(10)));
    }
}

// Writes a Matroska file of `frames` 16x16 grey frames in FFV1, a codec that a QuickTime movie
// cannot hold.
void WriteFfv1Movie(std::string const& path, int frames) {
    AVFormatContext* output = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "matroska", path.c_str()), 0);
    AVCodec const* codec = avcodec_find_encoder(AV_CODEC_ID_FFV1);
    ASSERT_NE(codec, nullptr);
    AVCodecContext* encoder = avcodec_alloc_context3(codec);
    encoder->width = encoder->height = 16;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, 25};
    encoder->thread_count = 1;
    if (output->oformat->flags & AVFMT_GLOBALHEADER) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    ASSERT_GE(avcodec_open2(encoder, codec, nullptr), 0);
    AVStream* stream = avformat_new_stream(output, nullptr);
    avcodec_parameters_from_context(stream->codecpar, encoder);
    stream->time_base = encoder->time_base;
    ASSERT_GE(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(output, nullptr), 0);
    AVFrame* frame = av_frame_alloc();
    frame->format = encoder->pix_fmt;
    frame->width = frame->height = 16;
    ASSERT_GE(av_frame_get_buffer(frame, 0), 0);
    AVPacket* packet = av_packet_alloc();
    for (int i = 0; i <= frames; ++i) {
        if (i < frames) {
            av_frame_make_writable(frame);
            for (int plane = 0; plane < 3; ++plane) {
                std::memset(frame->data[plane], 16 + 8 * i,
                            std::size_t(frame->linesize[plane]) * 16);
            }
            frame->pts = i;
        }
        avcodec_send_frame(encoder, i < frames ? frame : nullptr);
        while (avcodec_receive_packet(encoder, packet) == 0) {
            av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
            packet->stream_index = 0;
            av_interleaved_write_frame(output, packet);
        }
    }
    av_write_trailer(output);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&encoder);
    avio_closep(&output->pb);
    avformat_free_context(output);
}

TEST_F(TrimFailureTest, TracksAQuickTimeMovieCannotHoldAreRefused) {
    std::string const source = mFolder.File("lossless.mkv");
    WriteFfv1Movie(source, 10);
    ASSERT_FALSE(HasFatalFailure());
    mBefore = mFolder.Entries();
    std::uint64_t const checksum = FileChecksum(source);
    TrimRequest request = Request();
    request.source = source;
    EXPECT_EQ(TrimMovie(request), kErrTrimUnsupportedMovie);
    EXPECT_EQ(FileChecksum(source), checksum);
}

TEST_F(TrimFailureTest, TheSourceByAnyNameIsNeverTheDestination) {
    std::string const link = mFolder.File("link.mov");
    std::string const hardLink = mFolder.File("hard.mov");
    ASSERT_EQ(::symlink(sSource.c_str(), link.c_str()), 0);
    ASSERT_EQ(::link(sSource.c_str(), hardLink.c_str()), 0);
    mBefore = mFolder.Entries();
    std::string const folder = sSourceFolder->Path();
    for (std::string const& destination :
         {sSource, folder + "/./source.mov",
          folder + "/../" + folder.substr(folder.rfind('/') + 1) + "/source.mov", link, hardLink}) {
        TrimRequest request = Request();
        request.destination = destination;
        EXPECT_EQ(TrimMovie(request), kErrTrimSameFile) << destination;
    }
    // Through the link as the source, the file itself as the destination.
    TrimRequest request = Request();
    request.source = link;
    request.destination = sSource;
    EXPECT_EQ(TrimMovie(request), kErrTrimSameFile);
}

TEST_F(TrimFailureTest, DestinationsThatCannotBeWrittenAreRefused) {
    ::mkdir(mFolder.File("folder.mov").c_str(), 0700);
    mBefore = mFolder.Entries();
    for (std::string const& destination : {
             std::string(),
             mFolder.File("missing/out.mov"),
             mFolder.File("folder.mov"),
             mFolder.File("out.mov/"),
             mFolder.File("existing.mov/out.mov"),
             // A folder in which no file can be made, even by the superuser.
             std::string("/proc/vireo-trim.mov"),
         }) {
        TrimRequest request = Request();
        request.destination = destination;
        EXPECT_EQ(TrimMovie(request), kErrTrimDestinationUnwritable) << destination;
    }
}

TEST_F(TrimFailureTest, CancelledTrimLeavesNothing) {
    std::atomic<bool> cancel{false};
    TrimControl control;
    control.cancel = &cancel;
    control.progress = [&](double fraction) {
        if (fraction > 0) {
            cancel = true;
        }
    };
    EXPECT_EQ(TrimMovie(Range(sSource, mFolder.File("existing.mov"), 0, kFrames, 25), control),
              kErrTrimCancelled);

    // Cancelled before it starts.
    TrimControl already;
    already.cancel = &cancel;
    EXPECT_EQ(TrimMovie(Request(), already), kErrTrimCancelled);
}

TEST_F(TrimFailureTest, WriteFailureLeavesNothing) {
    // The process may write files of at most 64 KiB: the movie does not fit.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit limit{}, saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    limit.rlim_cur = 64 * 1024;
    limit.rlim_max = saved.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::int32_t const result =
        TrimMovie(Range(sSource, mFolder.File("existing.mov"), 0, kFrames, 25));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(result, kErrTrimWriteFailed);
}

}  // namespace
}  // namespace vireo::test::files

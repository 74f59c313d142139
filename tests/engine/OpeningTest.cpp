// Opening fails with a distinct code for each kind of bad input, reads only regular files, the
// movie's and every file it refers to, and ends within its time limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "EngineTestSupport.h"
#include "TestSupport.h"
#include "TimeScale.h"
#include "engine/Errors.h"

namespace vireo::test::engine {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Opened {
    std::int32_t error = 12345;
    std::unique_ptr<vireo::engine::Movie> movie;
    std::chrono::milliseconds took{0};
};

class GuardedOpen : public ::testing::Test {
  protected:
    void TearDown() override { ReleaseBlockedReaders(); }

    std::string Path(std::string const& name) const { return dir + "/" + name; }
    void Write(std::string const& name, std::string const& text) const {
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    void Copy(std::string const& sample, std::string const& name) const {
        fs::copy_file(SamplePath(sample), Path(name));
    }
    void Pipe(std::string const& name) const { ASSERT_EQ(::mkfifo(Path(name).c_str(), 0600), 0); }

    // Opens `path` on another thread. An open stuck on a pipe is set free (its pipes get a writer
    // that leaves at once) so that the test fails instead of hanging.
    Opened OpenBounded(std::string const& path, vireo::engine::OpenOptions options = {}) {
        auto opening = std::async(std::launch::async, [path, options] {
            Opened opened;
            auto start = Clock::now();
            opened.movie = vireo::engine::Movie::Open(path, options, opened.error);
            opened.took =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            return opened;
        });
        if (opening.wait_for(vireo::test::Scaled(20000ms)) != std::future_status::ready) {
            ADD_FAILURE() << "opening " << path << " did not end";
            ReleaseBlockedReaders();
        }
        Opened opened = opening.get();
        EXPECT_EQ(opened.movie == nullptr, opened.error != vireo::engine::kOK) << path;
        return opened;
    }

    void ReleaseBlockedReaders() {
        for (auto const& entry : fs::directory_iterator(dir)) {
            if (entry.is_fifo()) {
                int fd = ::open(entry.path().c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
            }
        }
    }

    void WritePlaylist(std::string const& name, std::vector<std::string> const& segments) const {
        vireo::test::engine::WritePlaylist(dir, name, segments);
    }

    vireo::test::TempDir mScratch{"vireo-opening"};
    std::string const dir = mScratch.Path();
};

TEST_F(GuardedOpen, EachKindOfBadInputHasItsCode) {
    std::ofstream(Path("empty.mov")).close();
    // A pipe would block a reader for ever; it is refused without reading.
    Pipe("pipe.mov");
    // A subtitle file is a container FFmpeg reads, but it has nothing to show or play.
    Write("captions.srt",
          "1\n00:00:01,000 --> 00:00:02,000\nHello\n\n2\n00:00:03,000 --> 00:00:04,000\nAgain\n\n");
    struct Case {
        std::string path;
        std::int32_t code;
    } const cases[] = {
        {SamplePath("no_such_file.mov"), vireo::engine::kErrFileNotFound},
        {SamplePath("no_such_dir/a.mov"), vireo::engine::kErrFileNotFound},
        {VIREO_ENGINE_SAMPLES_DIR, vireo::engine::kErrIsDirectory},
        {"", vireo::engine::kErrInvalidPath},
        {SamplePath(samples::kNotMediaFile), vireo::engine::kErrNotMedia},
        // A ".txt" file would otherwise be taken for an ANSI-art animation by FFmpeg.
        {SamplePath(samples::kTextFile), vireo::engine::kErrNotMedia},
        // Random bytes are not a damaged movie because the file is named like one.
        {SamplePath(samples::kRandomFile), vireo::engine::kErrNotMedia},
        // Recognised as a QuickTime file, but its movie header is cut off.
        {SamplePath(samples::kTruncatedFile), vireo::engine::kErrCorrupt},
        {Path("empty.mov"), vireo::engine::kErrNotMedia},
        {Path("pipe.mov"), vireo::engine::kErrNotMedia},
        {Path("captions.srt"), vireo::engine::kErrNoDecodableStream}};
    for (auto const& c : cases)
        EXPECT_EQ(OpenBounded(c.path).error, c.code) << c.path;

    if (::geteuid() != 0) {  // root reads every file
        Copy("one_frame.mov", "locked.mov");
        ::chmod(Path("locked.mov").c_str(), 0);
        EXPECT_EQ(OpenBounded(Path("locked.mov")).error, vireo::engine::kErrAccessDenied);
    }
}

TEST_F(GuardedOpen, AReferenceMovieReadsItsMediaFromTheFileBesideIt) {
    auto reference = OpenSample(samples::kReferenceFile);
    auto original = OpenSample("h264_aac_tc.mov");
    ASSERT_TRUE(reference && original);
    EXPECT_EQ(reference->Info().video.frameCount, 45);
    for (int frame : {0, 17, 44, 3})
        EXPECT_EQ(FrameNumberAt(*reference, frame * 1001), frame);
    // The audio side opens the reference movie again, and its media file with it.
    std::vector<float> fromReference(48000), fromOriginal(48000);
    EXPECT_EQ(reference->ReadAudio(fromReference.data(), 24000), 24000);
    EXPECT_EQ(original->ReadAudio(fromOriginal.data(), 24000), 24000);
    EXPECT_EQ(fromReference, fromOriginal);
}

TEST_F(GuardedOpen, ReferencesToAnythingButARegularFileAreRefused) {
    Copy(samples::kReferenceFile, "pipe.mov");
    Copy(samples::kReferenceFile, "device.mov");
    Copy(samples::kReferenceFile, "missing.mov");
    // Each copy refers to "h264_aac_tc.mov" beside it: a pipe, a device, or nothing.
    fs::create_directory(Path("p"));
    fs::create_directory(Path("d"));
    fs::rename(Path("pipe.mov"), Path("p/pipe.mov"));
    fs::rename(Path("device.mov"), Path("d/device.mov"));
    Pipe("p/h264_aac_tc.mov");
    fs::create_symlink("/dev/zero", Path("d/h264_aac_tc.mov"));

    Opened pipe = OpenBounded(Path("p/pipe.mov"));
    EXPECT_EQ(pipe.error, vireo::engine::kErrReferenceRefused);
    Opened device = OpenBounded(Path("d/device.mov"));
    EXPECT_EQ(device.error, vireo::engine::kErrReferenceRefused);
    // A media file that is not there is damage, not a refusal.
    Opened missing = OpenBounded(Path("missing.mov"));
    EXPECT_EQ(missing.error, vireo::engine::kErrCorrupt);
}

TEST_F(GuardedOpen, PlaylistsReadOnlyRegularFiles) {
    Copy("offset.ts", "good.ts");
    WritePlaylist("good.m3u8", {"good.ts", "good.ts"});
    Opened good = OpenBounded(Path("good.m3u8"));
    ASSERT_EQ(good.error, vireo::engine::kOK);
    EXPECT_EQ(FrameNumberAt(*good.movie, 0), 0);
    // A file: URL without a folder is taken from the playlist's folder, not the server's.
    WritePlaylist("named.m3u8", {"file:good.ts"});
    EXPECT_EQ(OpenBounded(Path("named.m3u8")).error, vireo::engine::kOK);

    // Segments that are pipes would block the reader for ever.
    for (char const* name : {"seg0.ts", "seg1.ts", "seg2.ts"})
        Pipe(name);
    WritePlaylist("pipes.m3u8", {"seg0.ts", "seg1.ts", "seg2.ts"});
    EXPECT_EQ(OpenBounded(Path("pipes.m3u8")).error, vireo::engine::kErrReferenceRefused);

    // The concat script opens the files it lists past the guard: it is not a movie format here.
    Write("list.ffconcat", "ffconcat version 1.0\nfile seg0.ts\nfile good.ts\n");
    EXPECT_EQ(OpenBounded(Path("list.ffconcat")).error, vireo::engine::kErrNotMedia);
}

TEST_F(GuardedOpen, AnOpenLongerThanItsLimitIsCut) {
    WriteFanOut(dir);
    vireo::engine::OpenOptions options;
    options.openTimeLimitMs = vireo::test::ScaledMs(400);
    Opened fan = OpenBounded(Path("fan.m3u8"), options);
    EXPECT_EQ(fan.error, vireo::engine::kErrOpenTimedOut);
    EXPECT_FALSE(fan.movie);
    EXPECT_GE(fan.took.count(), options.openTimeLimitMs);
    EXPECT_LT(fan.took,
              std::chrono::milliseconds(options.openTimeLimitMs) + vireo::test::Scaled(3000ms));

    // A playlist that names itself would grow without end: a playlist is read once.
    Write("self.m3u8",
          "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1000\nself.m3u8\n"
          "#EXT-X-STREAM-INF:BANDWIDTH=2000\nself.m3u8\n");
    Opened self = OpenBounded(Path("self.m3u8"), options);
    EXPECT_EQ(self.error, vireo::engine::kErrReferenceRefused);

    // The same limit leaves room for an ordinary movie.
    Opened ordinary = OpenBounded(SamplePath("h264_aac_tc.mov"), options);
    EXPECT_EQ(ordinary.error, vireo::engine::kOK);
}

}  // namespace
}  // namespace vireo::test::engine

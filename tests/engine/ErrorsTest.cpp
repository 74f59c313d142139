// Opening fails with a distinct code for each kind of bad input, and never hangs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "EngineTestSupport.h"
#include "TestSupport.h"
#include "engine/Errors.h"

namespace vireo::test::engine {
namespace {

std::int32_t OpenError(std::string const& path) {
    std::int32_t error = 12345;
    auto movie = vireo::engine::Movie::Open(path, vireo::engine::OpenOptions{}, error);
    EXPECT_EQ(movie == nullptr, error != vireo::engine::kOK);
    return error;
}

TEST(OpenErrors, EachKindOfBadInputHasItsCode) {
    EXPECT_EQ(OpenError(SamplePath("no_such_file.mov")), vireo::engine::kErrFileNotFound);
    EXPECT_EQ(OpenError(SamplePath("no_such_dir/a.mov")), vireo::engine::kErrFileNotFound);
    EXPECT_EQ(OpenError(VIREO_ENGINE_SAMPLES_DIR), vireo::engine::kErrIsDirectory);
    EXPECT_EQ(OpenError(""), vireo::engine::kErrInvalidPath);
    EXPECT_EQ(OpenError(SamplePath(samples::kNotMediaFile)), vireo::engine::kErrNotMedia);
    // A ".txt" file would otherwise be taken for an ANSI-art animation by FFmpeg.
    EXPECT_EQ(OpenError(SamplePath(samples::kTextFile)), vireo::engine::kErrNotMedia);
    // Random bytes are not a damaged movie because the file is named like one.
    EXPECT_EQ(OpenError(SamplePath(samples::kRandomFile)), vireo::engine::kErrNotMedia);
    // Recognised as a QuickTime file, but its movie header is cut off.
    EXPECT_EQ(OpenError(SamplePath(samples::kTruncatedFile)), vireo::engine::kErrCorrupt);
}

TEST(OpenErrors, EmptyFilesPipesUnreadableFilesAndContainersWithNothingToPlay) {
    vireo::test::TempDir scratch("vireo-engine");
    std::string const dir = scratch.Path();
    std::string empty = dir + "/empty.mov";
    std::ofstream(empty).close();
    EXPECT_EQ(OpenError(empty), vireo::engine::kErrNotMedia);

    // A pipe would block a reader for ever; it is refused without reading.
    std::string fifo = dir + "/pipe.mov";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(OpenError(fifo), vireo::engine::kErrNotMedia);

    if (::geteuid() != 0) {  // root reads every file
        std::string locked = dir + "/locked.mov";
        std::filesystem::copy_file(SamplePath("one_frame.mov"), locked);
        ::chmod(locked.c_str(), 0);
        EXPECT_EQ(OpenError(locked), vireo::engine::kErrAccessDenied);
    }

    // A subtitle file is a container FFmpeg reads, but it has nothing to show or play.
    std::string path = dir + "/captions.srt";
    std::ofstream(path) << "1\n00:00:01,000 --> 00:00:02,000\nHello\n\n"
                        << "2\n00:00:03,000 --> 00:00:04,000\nAgain\n\n";
    EXPECT_EQ(OpenError(path), vireo::engine::kErrNoDecodableStream);
}

}  // namespace
}  // namespace vireo::test::engine

// The importable file types: the formats the engine opens, each extension once, described.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "FilesTestSupport.h"
#include "basekit/utility/Text.h"
#include "engine/Movie.h"
#include "files/FileTypes.h"

namespace vireo::test::files {
namespace {

using server::files::ImportableFileType;
using server::files::ImportableFileTypes;

std::string DescriptionOf(std::string const& extension) {
    for (ImportableFileType const& type : ImportableFileTypes()) {
        if (type.extension == extension) {
            return type.description;
        }
    }
    return {};
}

TEST(FileTypesTest, EachExtensionOnceSortedAndDescribed) {
    auto const& types = ImportableFileTypes();
    ASSERT_GT(types.size(), 50u);
    std::set<std::string> seen;
    for (ImportableFileType const& type : types) {
        EXPECT_TRUE(seen.insert(type.extension).second) << "twice: " << type.extension;
        EXPECT_FALSE(type.extension.empty());
        EXPECT_EQ(type.extension.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ. ,"), std::string::npos)
            << type.extension;
        EXPECT_FALSE(type.description.empty()) << type.extension;
        EXPECT_TRUE(basekit::utility::IsValidUTF8(type.description)) << type.extension;
    }
    EXPECT_TRUE(std::is_sorted(types.begin(), types.end(),
                               [](ImportableFileType const& a, ImportableFileType const& b) {
                                   return a.extension < b.extension;
                               }));
}

TEST(FileTypesTest, MovieSoundAndPictureFormatsAreListedAndFilesTheEngineRefusesAreNot) {
    // Formats FFmpeg recognises by content (no extension of their own in the demuxer) are
    // listed under their usual extensions too.
    for (char const* extension :
         {"mov",  "mp4", "m4v", "m4a",  "avi", "mkv",  "webm", "wav", "aif",
          "aiff", "mpg", "ts",  "m2ts", "mxf", "dv",   "flv",  "mp3", "flac",
          "ogg",  "png", "jpg", "jpeg", "tif", "tiff", "gif",  "y4m"}) {
        EXPECT_FALSE(DescriptionOf(extension).empty()) << extension;
    }
    // A ".m4v" file is an MPEG-4 movie far more often than a raw MPEG-4 video stream.
    EXPECT_EQ(DescriptionOf("m4v"), DescriptionOf("mov"));
    // Text shown as pictures, subtitles, playlists and session descriptions, raw pictures.
    for (char const* extension : {"txt", "nfo", "ans", "srt", "ass", "vtt", "sub", "scc", "idx",
                                  "m3u8", "sdp", "mpd", "ffconcat", "ffmeta", "yuv", "y", "v210"}) {
        EXPECT_TRUE(DescriptionOf(extension).empty()) << extension;
    }
}

TEST(FileTypesTest, TheEngineOpensFilesOfListedTypes) {
    TempFolder folder;
    for (char const* name :
         {"mjpeg_pcm.avi", "audio.wav", "vfr.mkv", "offset.ts", "tiny_1x1.mov"}) {
        std::string const path = WriteMovie(samples::FindSample(name), folder.Path());
        std::string const extension = path.substr(path.rfind('.') + 1);
        EXPECT_FALSE(DescriptionOf(extension).empty()) << extension;
        std::int32_t error = -1;
        EXPECT_NE(engine::Movie::Open(path, engine::OpenOptions{}, error), nullptr) << name;
        EXPECT_EQ(error, 0) << name;
    }
}

}  // namespace
}  // namespace vireo::test::files

// The files a movie refers to: a reference movie lists the file its media lie in, resolved from
// the movie's folder; a self-contained movie lists none; damaged and hostile headers give codes,
// never a crash or a read outside the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

extern "C" {
#include <libavformat/avformat.h>
}

#include "FilesTestSupport.h"
#include "ReferenceMovie.h"
#include "TimeScale.h"
#include "engine/Errors.h"
#include "files/FileErrors.h"
#include "files/MovieBoxes.h"
#include "files/References.h"

namespace vireo::test::files {
namespace {

using namespace server::files;

std::vector<std::string> List(std::string const& movie, std::int32_t expected = 0) {
    std::vector<std::string> paths{"not replaced"};
    EXPECT_EQ(ListExternalReferences(movie, paths), expected) << movie;
    return paths;
}

class ReferencesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sFolder = new TempFolder;
        sMedia = WriteMovie(TestMovie("media.mov", 25, 1, 12, "00:00:01:00"), sFolder->Path());
    }
    static void TearDownTestSuite() { delete sFolder; }

    static TempFolder* sFolder;
    static std::string sMedia;
    TempFolder mFolder;
};

TempFolder* ReferencesTest::sFolder = nullptr;
std::string ReferencesTest::sMedia;

std::string Copy(std::string const& from, std::string const& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream(to, std::ios::binary) << in.rdbuf();
    return to;
}

TEST_F(ReferencesTest, MediaBesideOrInAnotherFolderIsFoundFromTheMoviesFolder) {
    ASSERT_EQ(::mkdir(mFolder.File("clips").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(mFolder.File("edits").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(mFolder.File("edits/deep").c_str(), 0700), 0);
    std::string const media = Copy(sMedia, mFolder.File("clips/take 1.mov"));
    for (auto const form : {samples::ReferenceForm::kAlias, samples::ReferenceForm::kUrl}) {
        for (std::string const& movie :
             {mFolder.File("clips/beside.mov"), mFolder.File("edits/deep/up.mov"),
              mFolder.File("down.mov")}) {
            std::string error;
            ASSERT_TRUE(samples::WriteReferenceMovie(media, movie, form, error)) << error;
            // Every track (video, audio, timecode) refers to the same file: listed once.
            EXPECT_EQ(List(movie), std::vector<std::string>{media}) << movie;
        }
    }
    // The movie and its media moved together keep finding each other (the reference is
    // relative); the list names the file where it is now.
    std::string error;
    ASSERT_TRUE(samples::WriteReferenceMovie(media, mFolder.File("edits/moved.mov"),
                                             samples::ReferenceForm::kAlias, error));
    std::filesystem::rename(mFolder.File("edits"), mFolder.File("project"));
    std::filesystem::rename(mFolder.File("clips"), mFolder.File("project/clips"));
    std::filesystem::create_directory(mFolder.File("clips"));
    std::filesystem::rename(mFolder.File("project/clips/take 1.mov"),
                            mFolder.File("clips/take 1.mov"));
    EXPECT_EQ(List(mFolder.File("project/moved.mov")),
              std::vector<std::string>{mFolder.File("clips/take 1.mov")});
}

TEST_F(ReferencesTest, SelfContainedMoviesOtherFormatsAndUnreadableFilesListNone) {
    EXPECT_TRUE(List(sMedia).empty());
    samples::SampleMovie wave;
    wave.fileName = "sound.wav";
    wave.container = "wav";
    wave.audio = samples::AudioTrack{};
    wave.audio->samples = 4800;
    std::string const sound = WriteMovie(wave, mFolder.Path());
    EXPECT_TRUE(List(sound).empty());
    std::ofstream(mFolder.File("notes.txt")) << "text";
    EXPECT_TRUE(List(mFolder.File("notes.txt")).empty());
    {
        // A QuickTime file cut before its movie header.
        std::ifstream in(sMedia, std::ios::binary);
        std::string head(4096, '\0');
        in.read(head.data(), std::streamsize(head.size()));
        std::ofstream(mFolder.File("cut.mov"), std::ios::binary) << head;
    }
    ASSERT_EQ(::mkfifo(mFolder.File("pipe.mov").c_str(), 0600), 0);
    auto const start = std::chrono::steady_clock::now();
    EXPECT_TRUE(List(mFolder.File("missing.mov"), engine::kErrFileNotFound).empty());
    EXPECT_TRUE(List(mFolder.File("pipe.mov"), engine::kErrNotMedia).empty());
    EXPECT_TRUE(List(mFolder.File("cut.mov"), engine::kErrCorrupt).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, Scaled(std::chrono::seconds(10)));
}

// Movie headers made here box by box.
std::vector<std::uint8_t> Be32(std::uint32_t value) {
    return {std::uint8_t(value >> 24), std::uint8_t(value >> 16), std::uint8_t(value >> 8),
            std::uint8_t(value)};
}

BoxNode Container(char const (&type)[5], std::vector<BoxNode> children,
                  std::vector<std::uint8_t> prefix = {}) {
    BoxNode node;
    node.type = MakeBoxType(type);
    node.container = true;
    node.prefix = std::move(prefix);
    node.children = std::move(children);
    return node;
}

BoxNode Entry(char const (&type)[5], std::uint32_t flags, std::vector<std::uint8_t> const& data) {
    std::vector<std::uint8_t> payload = Be32(flags);
    payload.insert(payload.end(), data.begin(), data.end());
    return BoxNode::Leaf(MakeBoxType(type), payload);
}

BoxNode Track(std::vector<BoxNode> entries) {
    std::vector<std::uint8_t> prefix = Be32(0);
    std::vector<std::uint8_t> const count = Be32(std::uint32_t(entries.size()));
    prefix.insert(prefix.end(), count.begin(), count.end());
    return Container(
        "trak", {Container("mdia", {Container("minf", {Container("dinf", {Container("dref", entries,
                                                                                    prefix)})})})});
}

std::vector<std::uint8_t> Text(std::string const& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// A version 2 alias record: the fixed part, then the extras given (tag, data).
std::vector<std::uint8_t> Alias(std::string const& volume, std::string const& name,
                                std::uint16_t levelsUp, std::uint16_t levelsDown,
                                std::vector<std::pair<std::uint16_t, std::string>> const& extras) {
    std::vector<std::uint8_t> record(150, 0);
    record[7] = 2;  // version
    record[10] = std::uint8_t(volume.size());
    std::copy(volume.begin(), volume.end(), record.begin() + 11);
    record[50] = std::uint8_t(name.size());
    std::copy(name.begin(), name.end(), record.begin() + 51);
    record[130] = std::uint8_t(levelsUp >> 8);
    record[131] = std::uint8_t(levelsUp);
    record[132] = std::uint8_t(levelsDown >> 8);
    record[133] = std::uint8_t(levelsDown);
    for (auto const& [tag, data] : extras) {
        record.push_back(std::uint8_t(tag >> 8));
        record.push_back(std::uint8_t(tag));
        record.push_back(std::uint8_t(data.size() >> 8));
        record.push_back(std::uint8_t(data.size()));
        record.insert(record.end(), data.begin(), data.end());
        if (data.size() % 2 == 1) {
            record.push_back(0);
        }
    }
    record.insert(record.end(), {0xFF, 0xFF, 0, 0});
    return record;
}

BoxNode FileType() {
    return BoxNode::Leaf(MakeBoxType("ftyp"), {'q', 't', ' ', ' '});
}

std::vector<std::string> ListHeader(std::vector<BoxNode> const& tracks, std::int32_t expected = 0) {
    std::vector<BoxNode> file{FileType(), Container("moov", tracks)};
    std::vector<std::uint8_t> const bytes = WriteBoxes(file);
    std::vector<DataReference> references;
    EXPECT_EQ(ReadDataReferences(MemoryByteSource(bytes.data(), bytes.size()), references),
              expected);
    return ResolveDataReferences("/movies/project", references);
}

TEST_F(ReferencesTest, UrlEntriesAreDecodedAndResolved) {
    std::vector<std::string> const expected{
        "/media/My Clip.mov",           "/media/local.mov",
        "/movies/project/sub/a+b.mov",  "/movies/other.mov",
        "http://example.com/a%20b.mov", "file://server/share/c.mov"};
    EXPECT_EQ(ListHeader({Track({Entry("url ", 0, Text("file:///media/My%20Clip.mov")),
                                 Entry("url ", 0, Text("file://localhost/media/local.mov"))}),
                          Track({Entry("url ", 0, Text("sub/a%2Bb.mov")),
                                 Entry("url ", 0, Text("../other.mov")),
                                 Entry("url ", 0, Text("http://example.com/a%20b.mov")),
                                 Entry("url ", 0, Text("file://server/share/c.mov")),
                                 // This file, and entries naming nothing: not listed.
                                 Entry("url ", 1, {}), Entry("url ", 0, Text("")),
                                 Entry("rsrc", 0, Text("resource")),
                                 // The same file again: listed once.
                                 Entry("url ", 0, Text("/media/My Clip.mov"))})}),
              expected);
}

TEST_F(ReferencesTest, AliasRecordsAreResolvedLikeQuickTimeAndFFmpeg) {
    EXPECT_EQ(
        ListHeader({Track({
            // Levels known: two up, one down, from the colon path (volume name dropped).
            Entry("alis", 0, Alias("Disk", "a.mov", 2, 1, {{2, "Disk:Users:me:clips:a.mov"}})),
            // Levels unknown: the absolute path, POSIX form preferred, below its mount point.
            Entry("alis", 0,
                  Alias("Disk", "b.mov", 0xFFFF, 0xFFFF,
                        {{2, "Disk:old:b.mov"}, {18, "/clips/b.mov"}, {19, "/Volumes/Disk/"}})),
            // Only a name: beside the movie.
            Entry("alis", 0, Alias("Disk", "c.mov", 0xFFFF, 0xFFFF, {})),
            // Two levels down, into a folder.
            Entry("alis", 0, Alias("Disk", "d.mov", 1, 2, {{2, "Disk:x:cuts:d.mov"}})),
            // No path: the name, in UTF-16 (tag 14) where given, beside the movie.
            Entry("alis", 0,
                  Alias("Disk", "e.mov", 1, 1, {{14, std::string("\0\x03\0d\0\xe9\0z", 8)}})),
            // Truncated and foreign records: not listed.
            Entry("alis", 0, std::vector<std::uint8_t>(100, 0)),
            Entry("alis", 0,
                  [] {
                      auto record = Alias("Disk", "e.mov", 1, 1, {});
                      record[7] = 3;  // another version of the record
                      return record;
                  }()),
            Entry("alis", 1, Alias("Disk", "self.mov", 1, 1, {})),
        })}),
        (std::vector<std::string>{"/movies/a.mov", "/Volumes/Disk/clips/b.mov",
                                  "/movies/project/c.mov", "/movies/project/cuts/d.mov",
                                  "/movies/project/d\xc3\xa9z"}));
}

TEST_F(ReferencesTest, DamagedAndHostileHeadersGiveCodes) {
    // A movie box whose child claims more bytes than it holds.
    std::vector<std::uint8_t> bytes =
        WriteBoxes({FileType(), Container("moov", {Track({Entry("url ", 0, Text("a.mov"))})})});
    std::vector<std::uint8_t> damaged = bytes;
    damaged[12 + 8 + 3] = 0xFF;  // the track's size, low byte
    std::vector<DataReference> references;
    EXPECT_EQ(ReadDataReferences(MemoryByteSource(damaged.data(), damaged.size()), references),
              engine::kErrCorrupt);
    // Nested far deeper than any movie: refused, not followed.
    BoxNode deep = Track({Entry("url ", 0, Text("deep.mov"))});
    for (int i = 0; i < 100; ++i) {
        deep = Container("trak", {deep});
    }
    EXPECT_TRUE(ListHeader({deep}, engine::kErrCorrupt).empty());
    // A compressed movie header is reported, not mistaken for a movie without references.
    EXPECT_TRUE(
        ListHeader({BoxNode::Leaf(MakeBoxType("cmov"), Text("zlib"))}, kErrCompressedMovieHeader)
            .empty());
}

TEST_F(ReferencesTest, ReferenceMovieIsFollowedByFFmpegWhenDataReferencesAreEnabled) {
    // What the importer will do once it opens reference movies: the demuxer, allowed to follow
    // data references, reads the media file's packets through the reference movie.
    std::string const movie = mFolder.File("follow.mov");
    std::string error;
    ASSERT_TRUE(samples::WriteReferenceMovie(sMedia, movie, samples::ReferenceForm::kAlias, error))
        << error;
    // Each track's packets, in order (the two files interleave tracks differently).
    auto const packets = [](std::string const& path, bool followReferences) {
        std::map<int, std::vector<std::vector<std::uint8_t>>> read;
        AVFormatContext* input = nullptr;
        AVDictionary* options = nullptr;
        if (followReferences) {
            av_dict_set(&options, "enable_drefs", "1", 0);
        }
        int const opened = avformat_open_input(&input, path.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (opened < 0) {
            return read;
        }
        AVPacket* packet = av_packet_alloc();
        while (av_read_frame(input, packet) >= 0) {
            read[packet->stream_index].emplace_back(packet->data, packet->data + packet->size);
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        avformat_close_input(&input);
        return read;
    };
    auto const direct = packets(sMedia, false);
    ASSERT_GE(direct.size(), 2u);
    ASSERT_EQ(direct.at(0).size(), 12u);  // the video's frames
    auto const followed = packets(movie, true);
    EXPECT_TRUE(followed == direct) << "the reference movie's packets are not the media's";
}

}  // namespace
}  // namespace vireo::test::files

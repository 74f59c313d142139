// The exported GetExternalReferencesList: recorded reference paths confirmed on disk first, the
// server asked only when one of them cannot be found.
#include <gtest/gtest.h>

#include <fstream>

#include "FilesTestSupport.h"
#include "LibraryFixture.h"
#include "basekit/utility/Text.h"

namespace vireo::test::files {
using namespace std::chrono_literals;
namespace {

using basekit::utility::UTF8to16;
using library::ConnectingScript;
using library::LibraryTest;
using List = std::vector<basekit::UTF16String>;
using Recorded = std::map<std::uint32_t, basekit::UTF16String>;

class RecordedReferencesTest : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        mMovie = Touch("movie.mov");
    }
    // Makes an empty file in the test's folder (sub-folders made too) and returns its path.
    std::string Touch(std::string const& name) {
        std::string const path = mFolder.File(name);
        auto const slash = path.rfind('/');
        std::string const command = "mkdir -p '" + path.substr(0, slash) + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::ofstream(path).put('x');
        return path;
    }
    bool Resolve(Recorded const& first, Recorded const& second, List& references) {
        return VireoClient::GetExternalReferencesList(UTF8to16(mMovie), first, second, references);
    }

    TempFolder mFolder;
    std::string mMovie;
};

TEST_F(RecordedReferencesTest, PathsThatExistAreKeptAndMissingOnesFoundNextToTheMovie) {
    UseEmptyApplicationDirectory();
    List references{u"kept", u""};
    EXPECT_TRUE(Resolve({}, {}, references));
    EXPECT_EQ(references, (List{u"kept", u""}));

    std::string const elsewhere = Touch("media/clip.mov");
    Touch("clip.mov");  // the same name next to the movie does not replace a path that exists
    Touch("sound.wav");
    references.clear();
    EXPECT_TRUE(
        Resolve({{0, UTF8to16(elsewhere)}}, {{1, u"/gone/for/good/sound.wav"}}, references));
    // Found next to the movie: its folder and the name, with exactly one separator between.
    EXPECT_EQ(references, (List{UTF8to16(elsewhere), UTF8to16(mFolder.Path() + "/sound.wav")}));

    // The movie's folder part ends in a backslash; the file is looked for as "<folder>/name".
    Touch("sub/sound.wav");
    Touch("sub/movie.mov");
    basekit::UTF16String const movie = UTF8to16(mFolder.Path() + "/sub\\movie.mov");
    references.clear();
    EXPECT_TRUE(VireoClient::GetExternalReferencesList(movie, {{0, u"C:\\old\\sound.wav"}}, {},
                                                       references));
    EXPECT_EQ(references, List{UTF8to16(mFolder.Path() + "/sub/sound.wav")});
    EXPECT_FALSE(library::SharedClientExists());
}

TEST_F(RecordedReferencesTest, PositionsGrowTheListToALimitAndLeaveOthersAsTheyWere) {
    UseEmptyApplicationDirectory();
    std::string const a = Touch("a.mov");
    std::string const b = Touch("b.mov");
    List references;
    EXPECT_TRUE(Resolve({{5, UTF8to16(b)}, {0, UTF8to16(a)}}, {}, references));
    EXPECT_EQ(references, (List{UTF8to16(a), u"", u"", u"", u"", UTF8to16(b)}));
    List longer{u"p0", u"p1", u"p2"};
    EXPECT_TRUE(Resolve({}, {{1, UTF8to16(a)}}, longer));
    EXPECT_EQ(longer, (List{u"p0", UTF8to16(a), u"p2"}));

    // The position of a damaged record fails the call instead of growing the list without end.
    references.clear();
    EXPECT_TRUE(Resolve({{65535, UTF8to16(a)}}, {}, references));
    EXPECT_EQ(references.size(), 65536u);
    references.clear();
    EXPECT_FALSE(Resolve({{0, UTF8to16(a)}, {0xFFFFFFFFu, UTF8to16(a)}}, {}, references));
    EXPECT_EQ(references, List{UTF8to16(a)});
}

TEST_F(RecordedReferencesTest, LocalFailureWithoutAServerKeepsWhatWasResolved) {
    UseEmptyApplicationDirectory();
    std::string const a = Touch("a.mov");
    List references;
    // The empty path would name the movie's folder itself if it were joined to it; it is not
    // found, so the local step fails and, with no server, so does the call.
    EXPECT_FALSE(Resolve({{0, UTF8to16(a)}, {1, u""}}, {}, references));
    EXPECT_EQ(references, List{UTF8to16(a)});
    // The first map failing leaves the second unread.
    references.clear();
    EXPECT_FALSE(Resolve({{0, u"/nowhere/missing.mov"}}, {{1, UTF8to16(a)}}, references));
    EXPECT_TRUE(references.empty());
}

TEST_F(RecordedReferencesTest, ServerAnswerReplacesTheListAndItsErrorEmptiesIt) {
    UseScript(ConnectingScript(R"("GetExternalReferencesList": [
        {"result": {"value": {"inExternalFileList": ["/server/one.mov"]}}},
        {"error": {"code": -1, "message": "no"}}])"));
    std::string const a = Touch("a.mov");
    List references;
    EXPECT_TRUE(Resolve({{0, UTF8to16(a)}}, {{3, u"/nowhere/missing.mov"}}, references));
    EXPECT_EQ(references, List{u"/server/one.mov"});
    EXPECT_EQ(LogCount("GetExternalReferencesList"), 1u);
    references = {u"old"};
    EXPECT_TRUE(Resolve({{0, u"/nowhere/missing.mov"}}, {}, references));
    EXPECT_TRUE(references.empty());
}

TEST_F(RecordedReferencesTest, EngineAbsentMeansNoRequest) {
    UseScript(R"({"methods": {"IsQuicktimePresent": {"result": {"value": false}}}})");
    List references;
    EXPECT_FALSE(Resolve({{0, u"/nowhere/missing.mov"}}, {}, references));
    EXPECT_EQ(LogCount("GetExternalReferencesList"), 0u);
}

}  // namespace
}  // namespace vireo::test::files

// Answers to the file service requests that the real server would not give: error answers,
// missing values, values of the wrong kind, a dropped session, no server at all. And the exported
// GetExternalReferencesList: recorded reference paths confirmed on disk first, the server asked
// only when one of them cannot be found.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "FilesTestSupport.h"
#include "LibraryFixture.h"
#include "basekit/utility/Text.h"

namespace vireo::test::files {
using namespace std::chrono_literals;
namespace {

using basekit::utility::UTF8to16;
using library::ClientRef;
using library::ConnectingScript;
using library::LibraryTest;

// The library against scripted answers.
class FileAnswersTest : public LibraryTest {};
using List = std::vector<basekit::UTF16String>;

VireoServer::TrimMovieParams SomeTrim() {
    VireoServer::TrimMovieParams params;
    params.TrimIn = -7;
    params.Duration = 48;
    params.Scale = 24;
    params.SampleSize = 1;
    params.Source = u"/in/caf\u00e9.mov";
    params.Destination = u"";
    return params;
}

TEST_F(FileAnswersTest, TrimFileReportsEachKindOfAnswer) {
    UseScript(ConnectingScript(R"("TrimMovie": [
        {"result": {"value": -2163}},
        {"result": {}},
        {"result": {"value": 4294967291}},
        {"error": {"code": -77, "message": "refused"}},
        {"result": {"value": "not a number"}},
        {"drop": true}])"));
    EXPECT_EQ(VireoClient::TrimFile(SomeTrim()), -2163);
    EXPECT_EQ(VireoClient::TrimFile(SomeTrim()), 0);   // no "value"
    EXPECT_EQ(VireoClient::TrimFile(SomeTrim()), -5);  // low 32 bits, signed
    EXPECT_EQ(VireoClient::TrimFile(SomeTrim()), 5);   // error answer, whatever its code
    // An answer that cannot be read counts as a failed request instead of leaving the caller
    // waiting for ever.
    EXPECT_EQ(VireoClient::TrimFile(SomeTrim()), 5);
    EXPECT_EQ(VireoClient::TrimFile(SomeTrim()), 5);  // the session ends under the request

    // The record travels with bare keys, integers as signed 64-bit values, texts as UTF-8;
    // empty paths are sent as they are.
    auto log = mScript->ReadLog();
    auto first = std::find_if(log.begin(), log.end(), [](boost::json::object const& line) {
        auto it = line.find("method");
        return it != line.end() && it->value() == "TrimMovie";
    });
    ASSERT_NE(first, log.end());
    boost::json::object const& params = first->at("params").as_array().at(0).as_object();
    EXPECT_EQ(params.size(), 6u);
    EXPECT_EQ(params.at("TrimIn").as_int64(), -7);
    EXPECT_EQ(params.at("Duration").as_int64(), 48);
    EXPECT_EQ(params.at("Scale").as_int64(), 24);
    EXPECT_EQ(params.at("SampleSize").as_int64(), 1);
    EXPECT_EQ(params.at("Source").as_string(), "/in/caf\xc3\xa9.mov");
    EXPECT_EQ(params.at("Destination").as_string(), "");
}

TEST_F(FileAnswersTest, TrimWithoutAServerIsNotSentAndNeverCallsBack) {
    UseEmptyApplicationDirectory();
    EXPECT_EQ(VireoClient::TrimFile(SomeTrim()), 13);
    ClientRef client = VireoClient::Create();
    std::atomic<int> calls{0};
    EXPECT_FALSE(client->TrimMovie(SomeTrim(), [&](long) { ++calls; }));
    EXPECT_FALSE(client->GetExternalReferencesList(u"/a.mov", [&](List const&) { ++calls; }));
    EXPECT_EQ(calls.load(), 0);
}

TEST_F(FileAnswersTest, TrimCallbackThatThrowsIsAnsweredOnce) {
    UseScript(ConnectingScript(R"("TrimMovie": {"result": {"value": 3}})"));
    ClientRef client = VireoClient::Create();
    std::atomic<int> calls{0};
    ASSERT_TRUE(client->TrimMovie(SomeTrim(), [&](long code) {
        ++calls;
        EXPECT_EQ(code, 3);
        throw std::runtime_error("the caller's fault");
    }));
    ASSERT_TRUE(WaitUntil([&] { return calls.load() > 0; }, Scaled(5000ms)));
    Flush(client);
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(FileAnswersTest, ReferenceListAnswersOfEveryShape) {
    UseScript(ConnectingScript(R"("GetExternalReferencesList": [
        {"result": {"value": {"inExternalFileList": ["/b/second.mov", "/a/caf\u00e9.mov"]}}},
        {"result": {}},
        {"error": {"code": 9, "message": "no"}},
        {"result": {"value": {}}},
        {"result": {"value": {"inExternalFileList": [1]}}},
        {"result": {"value": []}}])"));
    ClientRef client = VireoClient::Create();
    std::vector<List> lists;
    std::mutex mutex;
    for (int i = 0; i < 6; ++i) {
        std::atomic<int> calls{0};
        ASSERT_TRUE(client->GetExternalReferencesList(u"/movie.mov", [&](List const& list) {
            std::lock_guard<std::mutex> lock(mutex);
            lists.push_back(list);
            ++calls;
        }));
        ASSERT_TRUE(WaitUntil([&] { return calls.load() > 0; }, Scaled(5000ms)));
        Flush(client);
        EXPECT_EQ(calls.load(), 1);
    }
    ASSERT_EQ(lists.size(), 6u);
    EXPECT_EQ(lists[0], (List{u"/b/second.mov", u"/a/caf\u00e9.mov"}));  // the server's order
    for (std::size_t i = 1; i < lists.size(); ++i) {
        EXPECT_TRUE(lists[i].empty()) << "answer " << i;
    }
    auto log = mScript->ReadLog();
    for (auto const& line : log) {
        auto it = line.find("method");
        if (it != line.end() && it->value() == "GetExternalReferencesList") {
            EXPECT_EQ(line.at("params").as_array().at(0).as_string(), "/movie.mov");
        }
    }
}

// A connecting script whose file type request gets `answer`.
std::string FileTypesScript(std::string const& answer) {
    std::string script = ConnectingScript();
    std::string const scripted = R"("QTGetImportableFileExtensions": {"result": {"value": []}})";
    script.replace(script.find(scripted), scripted.size(),
                   R"("QTGetImportableFileExtensions": )" + answer);
    return script;
}

TEST_F(FileAnswersTest, FileTypesAnsweredWithoutValueAreAnEmptyList) {
    UseScript(FileTypesScript(R"({"result": {}})"));
    EXPECT_TRUE(VireoClient::Create()->GetImportableFileExtensions().empty());
}

TEST_F(FileAnswersTest, FileTypesErrorOpensTheGateWithAnEmptyList) {
    UseScript(FileTypesScript(R"({"delayMs": 100, "error": {"code": 1, "message": "x"}})"));
    EXPECT_TRUE(VireoClient::Create()->GetImportableFileExtensions().empty());
}

TEST_F(FileAnswersTest, FileTypesOfTheWrongKindOpenTheGateWithAnEmptyList) {
    UseScript(FileTypesScript(R"({"result": {"value": "not a list"}})"));
    EXPECT_TRUE(VireoClient::Create()->GetImportableFileExtensions().empty());
}

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
        std::filesystem::create_directories(path.substr(0, path.rfind('/')));
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

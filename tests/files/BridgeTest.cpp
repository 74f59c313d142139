// The file services end to end: the library's TrimFile, TrimMovie, GetExternalReferencesList and
// file type list against the real server, over its socket and session.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>

#include "FilesTestSupport.h"
#include "LibraryFixture.h"
#include "ReferenceMovie.h"
#include "basekit/utility/Text.h"

namespace vireo::test::files {
using namespace std::chrono_literals;
namespace {

using basekit::utility::UTF16to8;
using basekit::utility::UTF8to16;
using library::ClientRef;
using library::LibraryTest;

class BridgeTest : public LibraryTest {
  protected:
    static void SetUpTestSuite() { sSource = new SourceMovie(""); }
    static void TearDownTestSuite() { delete sSource; }
    void SetUp() override {
        LibraryTest::SetUp();
        UseServer(ServerKind::Real);
    }
    void TearDown() override {
        EXPECT_EQ(FileChecksum(sSource->path), sSource->checksum) << "source changed";
        LibraryTest::TearDown();
    }

    static VireoServer::TrimMovieParams Frames(int first, int count, std::string const& out) {
        VireoServer::TrimMovieParams params;
        params.TrimIn = first;
        params.Duration = count;
        params.Scale = 25;
        params.SampleSize = 1;
        params.Source = UTF8to16(sSource->path);
        params.Destination = UTF8to16(out);
        return params;
    }

    static SourceMovie* sSource;
    TempFolder mOut;
};

SourceMovie* BridgeTest::sSource = nullptr;

TEST_F(BridgeTest, TrimsKeepExactlyTheRangeAndTrimMovieCallsBackOnceAfterTheCallerLetGo) {
    std::string const between = mOut.File("between.mov");
    ASSERT_EQ(VireoClient::TrimFile(Frames(17, 20, between)), 0);
    ExpectRange(*sSource, between, 17, 20);

    ClientRef client = VireoClient::Create();
    auto outcome = std::make_shared<std::pair<std::atomic<int>, std::atomic<long>>>();
    outcome->first = 0;
    std::string const out = mOut.File("async.mov");
    ASSERT_TRUE(client->TrimMovie(Frames(0, 10, out), [outcome](long code) {
        outcome->second = code;
        ++outcome->first;
    }));
    client.reset();  // the request holds the client until it is answered
    ASSERT_TRUE(WaitUntil([&] { return outcome->first.load() > 0; }, Scaled(60000ms)));
    EXPECT_EQ(outcome->second.load(), 0);
    client = VireoClient::Create();
    Flush(client);
    EXPECT_EQ(outcome->first.load(), 1);
    ExpectRange(*sSource, out, 0, 10);
    EXPECT_EQ(mOut.Entries(), (std::vector<std::string>{"async.mov", "between.mov"}));
}

TEST_F(BridgeTest, BadTrimRequestsGiveTheirCodesAndLeaveNothing) {
    struct Case {
        const char* what;
        VireoServer::TrimMovieParams params;
        long code;
    };
    std::string const out = mOut.File("bad.mov");
    auto with = [&](auto change) {
        VireoServer::TrimMovieParams params = Frames(10, 10, out);
        change(params);
        return params;
    };
    using P = VireoServer::TrimMovieParams;
    // One case for each field of the request; what the trim does with them is tested in-process.
    std::vector<Case> const cases{
        {"scale 0", with([](P& p) { p.Scale = 0; }), -2160},
        {"negative duration", with([](P& p) { p.Duration = -1; }), -2161},
        {"negative sample size", with([](P& p) { p.SampleSize = -1; }), -2162},
        {"negative start", with([](P& p) { p.TrimIn = -1; }), -2163},
        {"missing source", with([&](P& p) { p.Source = UTF8to16(mOut.File("none.mov")); }), -2101},
        {"destination is the source", with([](P& p) { p.Destination = p.Source; }), -2164},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(VireoClient::TrimFile(c.params), c.code);
        EXPECT_TRUE(mOut.Entries().empty());
    }
    // The source's folder holds nothing new either.
    EXPECT_EQ(sSource->folder.Entries(), std::vector<std::string>{"source.mov"});
}

TEST_F(BridgeTest, ReferenceMovieListsItsMediaFileAndSelfContainedNone) {
    std::string const movie = mOut.File("reference.mov");
    std::string error;
    ASSERT_TRUE(
        samples::WriteReferenceMovie(sSource->path, movie, samples::ReferenceForm::kAlias, error))
        << error;
    ClientRef client = VireoClient::Create();

    // The list handed to the callback.
    auto ask = [&](std::string const& path) {
        auto answer = std::make_shared<std::promise<std::vector<basekit::UTF16String>>>();
        auto list = answer->get_future();
        EXPECT_TRUE(client->GetExternalReferencesList(
            UTF8to16(path), [answer](auto const& paths) { answer->set_value(paths); }));
        bool const answered = list.wait_for(Scaled(10000ms)) == std::future_status::ready;
        EXPECT_TRUE(answered);
        return answered ? list.get() : std::vector<basekit::UTF16String>{u"no answer"};
    };
    EXPECT_EQ(ask(movie), std::vector<basekit::UTF16String>{UTF8to16(sSource->path)});
    EXPECT_TRUE(ask(sSource->path).empty());
    EXPECT_TRUE(ask(mOut.File("missing.mov")).empty());

    // The exported function asks the server when nothing recorded resolves.
    std::vector<basekit::UTF16String> references{u"stale"};
    std::map<std::uint32_t, basekit::UTF16String> const gone{{0, u"/no/such/place.mov"}};
    EXPECT_TRUE(VireoClient::GetExternalReferencesList(UTF8to16(movie), gone, {}, references));
    EXPECT_EQ(references, std::vector<basekit::UTF16String>{UTF8to16(sSource->path)});
}

TEST_F(BridgeTest, ImportableFileTypesAreTheEnginesWithoutDuplicates) {
    ClientRef client = VireoClient::Create();
    VireoClient::ImportableFileExtensions const types = client->GetImportableFileExtensions();
    std::set<basekit::UTF16String> seen;
    for (auto const& type : types) {
        EXPECT_TRUE(seen.insert(type.extension).second) << UTF16to8(type.extension);
        EXPECT_FALSE(type.description.empty()) << UTF16to8(type.extension);
    }
    for (auto const* expected : {u"mov", u"mp4", u"avi", u"wav", u"mkv"}) {
        EXPECT_EQ(seen.count(expected), 1u) << UTF16to8(expected);
    }
}

}  // namespace
}  // namespace vireo::test::files

// vireo codecs and vireo export, run as a user runs them, against the real server.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "ExportHost.h"
#include "LibraryFixture.h"

extern char** environ;

namespace vireo::test::library {
namespace {

class ExportCommandTest : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        UseServer(vireo::test::ServerKind::Real);
    }

    // Starts vireo with `args`, its standard output into `stdoutPath`.
    static pid_t Start(std::vector<std::string> args, std::string const& stdoutPath) {
        args.insert(args.begin(), VIREO_CLI_PATH);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        if (posix_spawn(&pid, VIREO_CLI_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    static int Wait(pid_t pid) {
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    static std::string Read(std::string const& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // A movie of `frames` frames written through the bridge in `codec`.
    std::string MakeInput(std::uint32_t codec, std::uint32_t width, std::uint32_t height,
                          int frames) {
        std::string const path = mDir.Path() + "/input.mov";
        ClientRef client = VireoClient::Create();
        ExportHost host(client);
        EXPECT_EQ(host.Start(VideoSettings(path, codec, width, height, frames)), 0);
        for (int i = 0; i < frames; ++i) {
            crossprocess::WritableBinaryReferencePtr block;
            EXPECT_EQ(host.SubmitFrame(PatternFrame2vuy(width, height, i, block), i), 0);
        }
        EXPECT_EQ(host.Complete(), 0);
        return path;
    }

    vireo::test::TempDir mDir{"vireo-export-cmd"};
    vireo::test::TempDir mOut{"vireo-export-out"};
};

TEST_F(ExportCommandTest, CodecsPrintsTheCataloguesAsJSON) {
    std::string const out = mDir.Path() + "/codecs.json";
    ASSERT_EQ(Wait(Start({"codecs", "--json"}, out)), 0);
    boost::json::value const json = boost::json::parse(Read(out));
    EXPECT_FALSE(json.at("exportVideo").as_array().empty());
    EXPECT_FALSE(json.at("exportAudio").as_array().empty());
    EXPECT_FALSE(json.at("import").as_array().empty());
    EXPECT_EQ(json.at("exportVideo").as_array().at(0).at("subType").as_string(), "avc1");
}

TEST_F(ExportCommandTest, ExportWritesAMovieInTheCodecAsked) {
    std::string const input = MakeInput(FourCC("2vuy"), 64, 48, 8);
    std::string const output = mOut.Path() + "/out.mov";
    ASSERT_EQ(Wait(Start({"export", input, "-o", output, "--codec", "Apple ProRes 422 HQ"},
                         mDir.Path() + "/log")),
              0);
    ImporterRef importer;
    ASSERT_EQ(
        VireoClient::ImportFile(basekit::utility::UTF8to16(output), false, false, false, importer),
        0);
    EXPECT_EQ(importer->GetVideoProperties().CodecFourCC, FourCC("apch"));
    EXPECT_EQ(importer->GetVideoProperties().Duration, 8);
    // Refused settings end with a failure and leave nothing.
    EXPECT_EQ(Wait(Start({"export", input, "-o", mOut.Path() + "/odd.mov", "--codec", "avc1",
                          "--bitrate", "-3"},
                         mDir.Path() + "/log")),
              1);
    EXPECT_FALSE(access((mOut.Path() + "/odd.mov").c_str(), F_OK) == 0);
}

TEST_F(ExportCommandTest, InterruptCancelsAndLeavesNoFile) {
    std::string const input = MakeInput(FourCC("avc1"), 640, 360, 150);
    std::string const output = mOut.Path() + "/cancelled.mov";
    pid_t const pid =
        Start({"export", input, "-o", output, "--codec", "apch"}, mDir.Path() + "/log");
    ASSERT_GT(pid, 0);
    // Once the export runs (its temporary movie exists), Ctrl-C.
    auto running = [&] {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(mOut.Path().c_str()), ::closedir);
        while (dirent* entry = dir ? ::readdir(dir.get()) : nullptr) {
            if (std::string(entry->d_name).find(".partial") != std::string::npos)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(vireo::test::WaitUntil(running, vireo::test::Scaled(30000ms)));
    ::kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 130);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(mOut.Path().c_str()), ::closedir);
    int left = 0;
    while (dirent* entry = ::readdir(dir.get())) {
        left += std::string(entry->d_name) != "." && std::string(entry->d_name) != "..";
    }
    EXPECT_EQ(left, 0);
}

}  // namespace
}  // namespace vireo::test::library

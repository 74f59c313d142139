// vireo codecs, export, frame and trim, run as a user runs them, against the real server.
#include <signal.h>

#include <boost/json/parse.hpp>
#include <filesystem>
#include <fstream>

#include "ChildProcess.h"
#include "ExportHost.h"
#include "LibraryFixture.h"
#include "samples/SampleSet.h"

namespace vireo::test::library {
namespace {

class ExportCommandTest : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        UseServer(vireo::test::ServerKind::Real);
    }

    static std::unique_ptr<vireo::test::ChildProcess> Start(std::vector<std::string> args) {
        args.insert(args.begin(), VIREO_CLI_PATH);
        return std::make_unique<vireo::test::ChildProcess>(args, true);
    }
    static int Run(std::vector<std::string> args) {
        return Start(std::move(args))->CloseAndWait(vireo::test::Scaled(120s));
    }
    // Runs it with its error output joined to its output: the exit status and all it printed.
    // `shell` runs first in the shell that starts it.
    static std::pair<int, std::string> RunForText(std::vector<std::string> args,
                                                  std::string const& shell = "") {
        args.insert(args.begin(),
                    {"/bin/sh", "-c", shell + "exec \"$0\" \"$@\" 2>&1", VIREO_CLI_PATH});
        vireo::test::ChildProcess child(args);
        std::string text, line;
        while (child.ReadLine(line, vireo::test::Scaled(60s))) {
            text += line + "\n";
        }
        return {child.CloseAndWait(vireo::test::Scaled(10s)), text};
    }
    // Whether the output directory holds a file whose name contains `part`.
    bool OutputHas(std::string const& part) const {
        for (auto const& entry : std::filesystem::directory_iterator(mOut.Path())) {
            if (entry.path().filename().string().find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
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
    auto child = Start({"codecs", "--json"});
    std::string text, line;
    while (child->ReadLine(line, vireo::test::Scaled(60s))) {
        text += line + "\n";
    }
    ASSERT_EQ(child->CloseAndWait(vireo::test::Scaled(10s)), 0);
    boost::json::value const json = boost::json::parse(text);
    EXPECT_FALSE(json.at("exportVideo").as_array().empty());
    EXPECT_FALSE(json.at("exportAudio").as_array().empty());
    EXPECT_FALSE(json.at("import").as_array().empty());
    EXPECT_EQ(json.at("exportVideo").as_array().at(0).at("subType").as_string(), "avc1");
}

TEST_F(ExportCommandTest, ExportWritesAMovieInTheCodecAsked) {
    std::string const input = MakeInput(FourCC("2vuy"), 64, 48, 8);
    std::string const output = mOut.Path() + "/out.mov";
    ASSERT_EQ(Run({"export", input, "-o", output, "--codec", "Apple ProRes 422 HQ"}), 0);
    ImporterRef importer;
    ASSERT_EQ(
        VireoClient::ImportFile(basekit::utility::UTF8to16(output), false, false, false, importer),
        0);
    EXPECT_EQ(importer->GetVideoProperties().CodecFourCC, FourCC("apch"));
    EXPECT_EQ(importer->GetVideoProperties().Duration, 8);
    // Refused settings end with a failure and leave nothing.
    EXPECT_EQ(Run({"export", input, "-o", mOut.Path() + "/odd.mov", "--codec", "avc1", "--bitrate",
                   "-3"}),
              1);
    EXPECT_FALSE(OutputHas("odd"));
}

TEST_F(ExportCommandTest, CommandsNameWhatIsWrongAndNoNumberOverflows) {
    std::string const input = MakeInput(FourCC("2vuy"), 64, 48, 8);
    std::string const png = mOut.Path() + "/frame.png";
    // A movie whose name is not UTF-8 text: it exists, but no Unicode path names it.
    std::string const latin1 = mDir.Path() + "/caf\xe9.mov";
    std::filesystem::copy_file(input, latin1);
    std::string const settings = mDir.Path() + "/avc1.json";
    std::ofstream(settings) << R"({"format":"vireo-codec-settings","version":1,"codec":"avc1",)"
                               R"("options":{"preset":"slow"}})";
    struct Case {
        std::vector<std::string> args;
        int status;
        char const* says;
    };
    Case const cases[] = {
        {{"frame", input, "--frame", "7", "-o", png}, 0, "wrote 64x48"},
        {{"frame", input, "--frame", "8", "-o", png}, 1, "outside the movie, which lasts"},
        {{"frame", input, "--frame", "-1", "-o", png}, 1, "outside the movie"},
        {{"frame", input, "--frame", "9223372036854775807", "-o", png}, 1, "outside the movie"},
        {{"frame", input, "--time", "1e300", "-o", png}, 1, "outside the movie"},
        {{"frame", input, "--time", "nan", "-o", png}, 1, "outside the movie"},
        {{"frame", input, "--format", "XXXX", "-o", png}, 1, "does not deliver this pixel format"},
        {{"frame", input, "--width", "100000", "--height", "100000", "-o", png},
         1,
         "larger than the server allows"},
        {{"info", latin1}, 1, "not UTF-8 text"},
        {{"trim", input, mOut.Path() + "/t\xe9.mov", "--duration", "1f"}, 1, "not UTF-8 text"},
        {{"export", input, "-o", mOut.Path() + "/s.mov", "--codec", "avc1", "--codec-settings",
          settings},
         0,
         "wrote 8 frames"},
        {{"export", input, "-o", mOut.Path() + "/t.mov", "--codec", "avc1", "--codec-settings",
          "/dev/zero"},
         1,
         "too large for codec settings"},
        {{"export", input, "-o", mOut.Path() + "/t.mov", "--codec", "avc1", "--codec-settings",
          mDir.Path()},
         1,
         "cannot be read"},
        {{"export", input, "-o", input, "--codec", "apch"}, 2, "the output is the input movie"},
        {{"frame", input, "-o", input}, 2, "the output is the input movie"},
        {{"export", input, "-o", mOut.Path() + "/t.mov", "--codec", "avc1", "--bitrate", "nan"},
         2,
         "--bitrate takes a number"},
        {{"trim", input, mOut.Path() + "/t.mov", "--in", "1e300", "--duration", "1"},
         2,
         "too long for this movie's time scale"},
        {{"trim", input, mOut.Path() + "/t.mov", "--in", "0", "--duration", "9223372036854775807f"},
         2,
         "too long for this movie's time scale"},
    };
    for (Case const& c : cases) {
        std::string shown;
        for (std::string const& arg : c.args) {
            shown +=
                (arg == input ? std::string("IN") : basekit::utility::MakeValidUTF8(arg)) + " ";
        }
        SCOPED_TRACE(shown);
        auto const [status, text] = RunForText(c.args);
        EXPECT_EQ(status, c.status);
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
    }
    EXPECT_FALSE(OutputHas("t.mov"));
    EXPECT_FALSE(OutputHas("t\xe9"));
    ImporterRef importer;  // the input is still the movie it was
    ASSERT_EQ(
        VireoClient::ImportFile(basekit::utility::UTF8to16(input), false, false, false, importer),
        0);
    EXPECT_EQ(importer->GetVideoProperties().CodecFourCC, FourCC("2vuy"));

    // A sound file that cannot be written whole (a file size limit stops it at 32 KiB of its
    // 384 KB) is a failure, not "wrote".
    std::string const sound = mDir.Path() + "/sound.mov";
    {
        ClientRef client = VireoClient::Create();
        ExportHost host(client);
        ASSERT_EQ(host.Start(PCMSettings(sound, 48000)), 0);
        ASSERT_EQ(host.SubmitAudio(std::vector<float>(2 * 48000, 0.25f), 2, 0), 0);
        ASSERT_EQ(host.Complete(), 0);
    }
    auto const [status, text] = RunForText({"audio", sound, "-o", mOut.Path() + "/sound.wav"},
                                           "trap '' XFSZ; ulimit -f 64; ");
    EXPECT_EQ(status, 1);
    EXPECT_NE(text.find("cannot be written"), std::string::npos) << text;

    // A movie whose header promises more sound than its data holds: the reading stops early, the
    // movie is opened again (a new importer), and the command says what it got.
    std::string const cut = mDir.Path() + "/cut.mov";
    std::string error;
    ASSERT_TRUE(vireo::samples::WriteMovieHeaderFirst(sound, cut, 0.5, error)) << error;
    auto const [cutStatus, cutText] = RunForText({"audio", cut, "-o", mOut.Path() + "/cut.wav"});
    EXPECT_EQ(cutStatus, 1);
    EXPECT_NE(cutText.find("the audio ended early"), std::string::npos) << cutText;
}

TEST_F(ExportCommandTest, InterruptCancelsAndLeavesNoFile) {
    std::string const input = MakeInput(FourCC("avc1"), 640, 360, 150);
    auto child = Start({"export", input, "-o", mOut.Path() + "/cancelled.mov", "--codec", "apch"});
    // Once the export runs (its temporary movie exists), Ctrl-C.
    EXPECT_TRUE(
        vireo::test::WaitUntil([&] { return OutputHas(".partial"); }, vireo::test::Scaled(30s)));
    ::kill(child->Pid(), SIGINT);
    EXPECT_EQ(child->CloseAndWait(vireo::test::Scaled(60s)), 130);
    EXPECT_TRUE(std::filesystem::is_empty(mOut.Path()));
}

}  // namespace
}  // namespace vireo::test::library

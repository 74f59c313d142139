// Codec settings through the whole bridge: the library, the real server, its launcher and the
// real dialog program (driven with xdotool under an X server), and the converter.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "AtomBuilder.h"
#include "ChildProcess.h"
#include "DialogTestSupport.h"
#include "LibraryFixture.h"
#include "codecsettings/CodecSettingsErrors.h"
#include "codecsettings/ConvertSettings.h"

namespace vireo::test::codecsettings {
namespace {

using vireo::test::library::ClientRef;
using VireoServer::VireoConvertCodecSettingsData;
using VireoServer::VireoVideoCodecDialogData;
using namespace std::chrono_literals;

constexpr std::uint32_t kH264 = Code("avc1");

Kino::BinaryData Binary(std::string const& text) {
    return Kino::BinaryData(std::vector<std::uint8_t>(text.begin(), text.end()));
}

// The dialog programs started by `servers`.
std::vector<pid_t> DialogChildrenOf(std::vector<pid_t> const& servers) {
    std::vector<pid_t> found;
    std::error_code ignored;
    for (auto const& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // "pid (comm) state ppid ...": the name may hold spaces and parentheses.
        std::size_t const open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (line.compare(open + 1, 11, "vireo-codec") == 0 &&
            std::find(servers.begin(), servers.end(), parent) != servers.end()) {
            found.push_back(pid_t(std::atoi(line.c_str())));
        }
    }
    return found;
}

// A dialog program started by one of `servers`, or 0.
pid_t DialogChildOf(std::vector<pid_t> const& servers) {
    std::vector<pid_t> const found = DialogChildrenOf(servers);
    return found.empty() ? 0 : found.front();
}

class BridgeTest : public vireo::test::library::LibraryTest {
  protected:
    // The outcome of one dialog request, handed over by its callback.
    struct Closed {
        std::promise<VireoVideoCodecDialogData> promise;
        std::atomic<int> calls{0};
        VireoClient::CodecDialogCallback Callback() {
            return [this](VireoVideoCodecDialogData const& data) {
                if (++calls == 1) {
                    promise.set_value(data);
                }
            };
        }
        std::optional<VireoVideoCodecDialogData> Wait() {
            auto future = promise.get_future();
            if (future.wait_for(Scaled(30s)) != std::future_status::ready) {
                return std::nullopt;
            }
            return future.get();
        }
    };

    // The window of whichever dialog program of the servers shows one ("" when none does): under
    // the sanitizers the program the server started first is not always the one that shows it.
    std::string DialogWindow() {
        std::string window;
        vireo::test::WaitUntil(
            [&] {
                for (pid_t pid : DialogChildrenOf(Servers())) {
                    if (!(window = Desktop::WindowOf(pid, 0ms)).empty()) {
                        return true;
                    }
                }
                return false;
            },
            Scaled(40s));
        return window;
    }

    // Asks for the dialog of `codec` starting from `start`.
    static void Ask(ClientRef const& client, Closed& closed, std::uint32_t codec,
                    std::string const& start) {
        VireoVideoCodecDialogData request;
        request.mVideoCodecFourCC = static_cast<std::int32_t>(codec);
        request.mVideoCodecPrivateData = Binary(start);
        client->DisplayVideoCodecPrefsDialog(request, closed.Callback());
    }
};

// The tests that show the real dialog: skipped where it cannot be driven.
class DialogBridgeTest : public BridgeTest {
  protected:
    void SetUp() override {
        BridgeTest::SetUp();
        std::string why;
        if (!CanDriveDialogs(why)) {
            GTEST_SKIP() << why;
        }
    }
};

TEST_F(DialogBridgeTest, CancelledDialogKeepsTheRequestsData) {
    UseServer(vireo::test::ServerKind::Real);
    ClientRef client = VireoClient::Create();
    std::string const start =
        R"({"format":"vireo-codec-settings","version":1,"codec":"png ","options":{"compression":3}})";
    Closed first;
    Ask(client, first, Code("png "), start);
    std::string const window = DialogWindow();
    ASSERT_FALSE(window.empty());
    // A second request while the dialog shows is answered cancelled at once, with its own data.
    Closed second;
    Ask(client, second, Code("jpeg"), "other");
    auto refused = second.Wait();
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->mWasCancelled);
    EXPECT_EQ(refused->mVideoCodecPrivateData, Binary("other"));

    ASSERT_TRUE(Desktop::Focus(window));
    ASSERT_TRUE(Desktop::Keys({"Escape"}));
    auto cancelled = first.Wait();
    ASSERT_TRUE(cancelled);
    EXPECT_TRUE(cancelled->mWasCancelled);
    EXPECT_EQ(cancelled->mVideoCodecFourCC, static_cast<std::int32_t>(Code("png ")));
    EXPECT_EQ(cancelled->mVideoCodecPrivateData, Binary(start));
    EXPECT_TRUE(
        vireo::test::WaitUntil([&] { return !Desktop::WindowExists(window); }, Scaled(20s)));
}

// A server started without a display cancels dialogs at once; conversion needs none.
TEST_F(BridgeTest, WithoutADisplayTheDialogIsCancelledAndContainersConvert) {
    vireo::test::ScopedEnv noX("DISPLAY", nullptr);
    vireo::test::ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
    UseServer(vireo::test::ServerKind::Real);
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());
    Closed closed;
    Ask(client, closed, kH264, "");
    auto outcome = closed.Wait();
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->mWasCancelled);
    EXPECT_EQ(outcome->mVideoCodecFourCC, static_cast<std::int32_t>(kH264));

    // The settings are the converter's own (ConvertTest); the inputs come back as sent.
    VireoConvertCodecSettingsData data;
    auto const container = Container(
        {Spatial(kH264, 24, 512), Temporal(0, 25, 12), DataRate(250000), Reordering(false)});
    data.mInQTAtomContainer = Kino::BinaryData(container);
    client->ConvertQTAtomContainerSettingsToCodecSettings(data);
    ASSERT_EQ(data.mOutConvertSettingsResultCode, 0);
    EXPECT_TRUE(data.mInIsVideoCodec);
    EXPECT_EQ(data.mInCodecFourCC, 0);
    EXPECT_EQ(data.mInQTAtomContainer, Kino::BinaryData(container));
    EXPECT_EQ(data.mOutCodecSettings.GetBytes(),
              cs::ConvertCodecSettings(true, 0, container.data(), container.size()).codecSettings);

    // The server's refusals pass through unchanged, with no settings.
    for (bool const video : {false, true}) {
        data = VireoConvertCodecSettingsData();
        data.mInIsVideoCodec = video;
        data.mInCodecFourCC = static_cast<std::int32_t>(kH264);
        data.mInQTAtomContainer = Kino::BinaryData(video ? std::vector<std::uint8_t>() : container);
        client->ConvertQTAtomContainerSettingsToCodecSettings(data);
        EXPECT_EQ(data.mOutConvertSettingsResultCode,
                  video ? cs::kErrContainerTruncated : cs::kErrConvertNotVideo);
        EXPECT_EQ(data.mInIsVideoCodec, video);
        EXPECT_TRUE(data.mOutCodecSettings.empty());
    }
}

// `vireo codec-settings` with `args`, started.
std::unique_ptr<ChildProcess> StartVireo(std::vector<std::string> args) {
    args.insert(args.begin(), {VIREO_TEST_VIREO_TOOL, "codec-settings"});
    return std::make_unique<ChildProcess>(args);
}

// The dialog through the library as `vireo codec-settings` uses it: the start reaches the dialog,
// what the user accepts is saved, and saved data given back as the start comes back the same.
TEST_F(DialogBridgeTest, VireoToolSavesWhatTheDialogReturnsAndItsDialogEndsWithItsSession) {
    vireo::test::TempDir dir("vireo-codec-settings");
    std::string const start = dir.Path() + "/start.json";
    std::string const saved = dir.Path() + "/saved.json";
    auto const read = [](std::string const& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    std::ofstream(start) << R"({"format":"vireo-codec-settings","version":1,"codec":"avc1",)"
                            R"("options":{"preset":"slow"}})";
    auto vireo = StartVireo({"avc1", "--from", start, "-o", saved});
    std::string window = DialogWindow();
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(Desktop::Focus(window));
    ASSERT_TRUE(Desktop::Steps({"alt+k", "ctrl+a", "type:7", "Return"}));
    ASSERT_EQ(vireo->CloseAndWait(Scaled(30s)), 0);
    ex::CodecSettings const back = ReadBack(kH264, Bytes(read(saved)));
    EXPECT_EQ(back.Number("keyFrameInterval"), 7);
    EXPECT_EQ(back.Choice("preset"), "slow");

    ASSERT_TRUE(vireo::test::WaitUntil([&] { return DialogChildOf(Servers()) == 0; }, Scaled(20s)));
    vireo = StartVireo({"avc1", "--from", saved, "-o", saved + ".again"});
    window = DialogWindow();
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(Desktop::Focus(window));
    ASSERT_TRUE(Desktop::Keys({"Return"}));
    ASSERT_EQ(vireo->CloseAndWait(Scaled(30s)), 0);
    EXPECT_EQ(read(saved + ".again"), read(saved));

    // A host that dies with its dialog open ends its session, and the server closes the dialog.
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return DialogChildOf(Servers()) == 0; }, Scaled(20s)));
    auto dying = StartVireo({"avc1", "-o", saved + ".2"});
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return DialogChildOf(Servers()) != 0; }, Scaled(20s)));
    dying->Kill();
    EXPECT_TRUE(vireo::test::WaitUntil([&] { return DialogChildOf(Servers()) == 0; }, Scaled(20s)));
    EXPECT_FALSE(std::ifstream(saved + ".2").good());
}

TEST_F(DialogBridgeTest, BringToForegroundRaisesTheClientsDialogAboveAnotherHosts) {
    UseServer(vireo::test::ServerKind::Real);
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());
    Closed closed;
    Ask(client, closed, Code("apcn"), "");
    std::string const ours = DialogWindow();
    ASSERT_FALSE(ours.empty());
    pid_t const ourDialog = DialogChildOf(Servers());

    // Another host (its own session on the same server) shows a dialog and has the keyboard.
    vireo::test::TempDir dir("vireo-codec-settings");
    auto other = StartVireo({"png", "-o", dir.Path() + "/other.json"});
    pid_t theirDialog = 0;
    ASSERT_TRUE(vireo::test::WaitUntil(
        [&] {
            for (pid_t pid : DialogChildrenOf(Servers())) {
                if (pid != ourDialog) {
                    theirDialog = pid;
                }
            }
            return theirDialog != 0;
        },
        Scaled(20s)));
    std::string const theirs = Desktop::WindowOf(theirDialog);
    ASSERT_FALSE(theirs.empty());
    ASSERT_TRUE(Desktop::Focus(theirs));

    client->BringVideoCodecDialogToForeground();
    EXPECT_TRUE(
        vireo::test::WaitUntil([&] { return Desktop::FocusedWindow() == ours; }, Scaled(20s)));

    other->Kill();
    ASSERT_TRUE(Desktop::Focus(ours));
    ASSERT_TRUE(Desktop::Keys({"Escape"}));
    auto outcome = closed.Wait();
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->mWasCancelled);
}

}  // namespace
}  // namespace vireo::test::codecsettings

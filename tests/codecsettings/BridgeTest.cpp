// Codec settings through the whole bridge: the library, the real server, its launcher and the
// real dialog program (driven with xdotool under an X server), and the converter.
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

#include "AtomBuilder.h"
#include "DialogTestSupport.h"
#include "LibraryFixture.h"
#include "codecsettings/CodecSettingsErrors.h"

extern char** environ;

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

// The parent process id of `pid` (0 when it is gone).
pid_t ParentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::size_t const close = line.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    return parent;
}

// The dialog programs started by `servers`.
std::vector<pid_t> DialogChildrenOf(std::vector<pid_t> const& servers) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        return found;
    }
    while (dirent* entry = ::readdir(proc)) {
        pid_t const pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0 || std::find(servers.begin(), servers.end(), ParentOf(pid)) == servers.end()) {
            continue;
        }
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind("vireo-codec", 0) == 0) {
            found.push_back(pid);
        }
    }
    ::closedir(proc);
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

    // Asks for the dialog of `codec` starting from `start`, and returns its window.
    std::string Open(ClientRef const& client, Closed& closed, std::uint32_t codec,
                     std::string const& start) {
        VireoVideoCodecDialogData request;
        request.mVideoCodecFourCC = static_cast<std::int32_t>(codec);
        request.mVideoCodecPrivateData = Binary(start);
        client->DisplayVideoCodecPrefsDialog(request, closed.Callback());
        // The window of whichever dialog program of the servers shows one: under the sanitizers
        // the program the server started first is not always the one that shows the window.
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

    // Shows the dialog, presses `keys` and returns the outcome.
    std::optional<VireoVideoCodecDialogData> Drive(ClientRef const& client, std::uint32_t codec,
                                                   std::string const& start,
                                                   std::vector<std::string> const& steps) {
        Closed closed;
        std::string const window = Open(client, closed, codec, start);
        EXPECT_FALSE(window.empty());
        EXPECT_TRUE(Desktop::Focus(window));
        for (auto const& step : steps) {
            if (step.rfind("type:", 0) == 0) {
                EXPECT_TRUE(Desktop::Type(step.substr(5)));
            } else {
                EXPECT_TRUE(Desktop::Keys({step}));
            }
        }
        auto outcome = closed.Wait();
        vireo::test::library::LibraryTest::Flush(client);
        EXPECT_EQ(closed.calls.load(), 1);
        return outcome;
    }

    bool NeedsDialogs() {
        std::string why;
        if (!CanDriveDialogs(why)) {
            mSkipReason = why;
            return false;
        }
        return true;
    }
    std::string mSkipReason;
};

TEST_F(BridgeTest, DialogAcceptedWithChangedValuesRoundTrips) {
    if (!NeedsDialogs()) {
        GTEST_SKIP() << mSkipReason;
    }
    UseServer(vireo::test::ServerKind::Real);
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());
    std::string const start =
        R"({"format":"vireo-codec-settings","version":1,"codec":"avc1","options":)"
        R"({"profile":"main","keyFrameInterval":9}})";
    // Key-frame interval 9 becomes 5; the rest stays as the start said.
    auto changed = Drive(client, kH264, start, {"alt+k", "ctrl+a", "type:5", "Return"});
    ASSERT_TRUE(changed);
    EXPECT_FALSE(changed->mWasCancelled);
    EXPECT_EQ(changed->mVideoCodecFourCC, static_cast<std::int32_t>(kH264));
    ex::CodecSettings const back = ReadBack(kH264, changed->mVideoCodecPrivateData.GetBytes());
    EXPECT_EQ(back.Number("keyFrameInterval"), 5);
    EXPECT_EQ(back.Choice("profile"), "main");

    // The returned data, given back as the start and accepted as it is, comes back the same.
    std::string const returned(changed->mVideoCodecPrivateData.begin(),
                               changed->mVideoCodecPrivateData.end());
    auto again = Drive(client, kH264, returned, {"Return"});
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->mWasCancelled);
    EXPECT_EQ(again->mVideoCodecPrivateData, changed->mVideoCodecPrivateData);
}

TEST_F(BridgeTest, CancelledDialogKeepsTheRequestsData) {
    if (!NeedsDialogs()) {
        GTEST_SKIP() << mSkipReason;
    }
    UseServer(vireo::test::ServerKind::Real);
    ClientRef client = VireoClient::Create();
    std::string const start =
        R"({"format":"vireo-codec-settings","version":1,"codec":"png ","options":{"compression":3}})";
    Closed first;
    std::string const window = Open(client, first, Code("png "), start);
    ASSERT_FALSE(window.empty());
    // A second request while the dialog shows is answered cancelled at once, with its own data.
    Closed second;
    VireoVideoCodecDialogData request;
    request.mVideoCodecFourCC = static_cast<std::int32_t>(Code("jpeg"));
    request.mVideoCodecPrivateData = Binary("other");
    client->DisplayVideoCodecPrefsDialog(request, second.Callback());
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
}

TEST_F(BridgeTest, WithoutADisplayTheDialogIsCancelledAtOnce) {
    vireo::test::ScopedEnv noX("DISPLAY", nullptr);
    vireo::test::ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
    UseServer(vireo::test::ServerKind::Real);  // started without a display
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());
    Closed closed;
    VireoVideoCodecDialogData request;
    request.mVideoCodecFourCC = static_cast<std::int32_t>(kH264);
    client->DisplayVideoCodecPrefsDialog(request, closed.Callback());
    auto outcome = closed.Wait();
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->mWasCancelled);
    EXPECT_EQ(outcome->mVideoCodecFourCC, static_cast<std::int32_t>(kH264));
}

TEST_F(BridgeTest, ConversionOfContainersBuiltHere) {
    UseServer(vireo::test::ServerKind::Real);
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());

    // H.264: 250000 bytes/s is 2000 kbit/s, key frames every 12, no reordering.
    VireoConvertCodecSettingsData data;
    auto const container = Container(
        {Spatial(kH264, 24, 512), Temporal(0, 25, 12), DataRate(250000), Reordering(false)});
    data.mInQTAtomContainer = Kino::BinaryData(container);
    client->ConvertQTAtomContainerSettingsToCodecSettings(data);
    ASSERT_EQ(data.mOutConvertSettingsResultCode, 0);
    EXPECT_TRUE(data.mInIsVideoCodec);
    EXPECT_EQ(data.mInCodecFourCC, 0);  // the inputs come back as sent
    EXPECT_EQ(data.mInQTAtomContainer, Kino::BinaryData(container));
    ex::CodecSettings const h264 = ReadBack(kH264, data.mOutCodecSettings.GetBytes());
    EXPECT_EQ(h264.Choice("rateControl"), "bitrate");
    EXPECT_EQ(h264.Number("bitrate"), 2000);
    EXPECT_EQ(h264.Number("keyFrameInterval"), 12);
    EXPECT_EQ(h264.Number("bFrames"), 0);

    // Animation, named by the request, from a container without the root atom.
    data = VireoConvertCodecSettingsData();
    data.mInCodecFourCC = static_cast<std::int32_t>(Code("rle "));
    data.mInQTAtomContainer =
        Kino::BinaryData(Container({Spatial(Code("rle "), 32, 1024), Temporal(0, 30, 48)}, false));
    client->ConvertQTAtomContainerSettingsToCodecSettings(data);
    ASSERT_EQ(data.mOutConvertSettingsResultCode, 0);
    EXPECT_EQ(ReadBack(Code("rle "), data.mOutCodecSettings.GetBytes()).Number("keyFrameInterval"),
              48);

    // The server's refusals pass through unchanged, with no settings.
    struct Refusal {
        bool video;
        std::uint32_t codec;
        std::vector<std::uint8_t> container;
        std::int32_t code;
    };
    auto truncated = container;
    truncated.resize(truncated.size() - 1);
    std::vector<Refusal> const refusals = {
        {false, kH264, container, cs::kErrConvertNotVideo},
        {true, Code("zzzz"), container, cs::kErrConvertUnknownCodec},
        {true, Code("apch"), container, cs::kErrConvertCodecMismatch},
        {true, 0, truncated, cs::kErrContainerTruncated},
        {true, 0, {}, cs::kErrContainerTruncated},
    };
    for (auto const& refusal : refusals) {
        data = VireoConvertCodecSettingsData();
        data.mInIsVideoCodec = refusal.video;
        data.mInCodecFourCC = static_cast<std::int32_t>(refusal.codec);
        data.mInQTAtomContainer = Kino::BinaryData(refusal.container);
        client->ConvertQTAtomContainerSettingsToCodecSettings(data);
        EXPECT_EQ(data.mOutConvertSettingsResultCode, refusal.code);
        EXPECT_EQ(data.mInIsVideoCodec, refusal.video);
        EXPECT_TRUE(data.mOutCodecSettings.empty());
    }
}

// Starts `vireo codec-settings` with `args`; its pid, or 0.
pid_t StartVireo(std::vector<std::string> args) {
    args.insert(args.begin(), {VIREO_TEST_VIREO_TOOL, "codec-settings"});
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : 0;
}

// The exit code of `pid` once it has ended (waits, scaled); -1 when it did not end normally.
int WaitForExit(pid_t pid) {
    int status = 0;
    bool const ended = vireo::test::WaitUntil(
        [&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, Scaled(30s));
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(BridgeTest, VireoToolSavesTheSettingsAndItsDialogEndsWithItsSession) {
    if (!NeedsDialogs()) {
        GTEST_SKIP() << mSkipReason;
    }
    vireo::test::TempDir dir("vireo-codec-settings");
    std::string const start = dir.Path() + "/start.json";
    std::string const saved = dir.Path() + "/saved.json";
    std::ofstream(start) << R"({"format":"vireo-codec-settings","version":1,"codec":"avc1",)"
                            R"("options":{"preset":"slow"}})";
    pid_t const vireo = StartVireo({"avc1", "--from", start, "-o", saved});
    ASSERT_NE(vireo, 0);
    pid_t dialog = 0;
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return (dialog = DialogChildOf(Servers())) != 0; },
                                       Scaled(20s)));
    std::string const window = Desktop::WindowOf(dialog);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(Desktop::Focus(window));
    ASSERT_TRUE(Desktop::Keys({"alt+k", "ctrl+a"}));
    ASSERT_TRUE(Desktop::Type("7"));
    ASSERT_TRUE(Desktop::Keys({"Return"}));
    ASSERT_EQ(WaitForExit(vireo), 0);
    std::ifstream in(saved, std::ios::binary);
    std::string const bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ex::CodecSettings const back = ReadBack(kH264, Bytes(bytes));
    EXPECT_EQ(back.Number("keyFrameInterval"), 7);
    EXPECT_EQ(back.Choice("preset"), "slow");

    // A host that dies with its dialog open ends its session, and the server closes the dialog.
    pid_t const dying = StartVireo({"avc1", "-o", saved + ".2"});
    ASSERT_NE(dying, 0);
    ASSERT_TRUE(vireo::test::WaitUntil([&] { return (dialog = DialogChildOf(Servers())) != 0; },
                                       Scaled(20s)));
    ::kill(dying, SIGKILL);
    WaitForExit(dying);
    EXPECT_TRUE(vireo::test::WaitUntil([&] { return DialogChildOf(Servers()) == 0; }, Scaled(20s)));
    EXPECT_FALSE(std::ifstream(saved + ".2").good());
}

TEST_F(BridgeTest, BringToForegroundRaisesTheClientsDialogAboveAnotherHosts) {
    if (!NeedsDialogs()) {
        GTEST_SKIP() << mSkipReason;
    }
    UseServer(vireo::test::ServerKind::Real);
    ClientRef client = VireoClient::Create();
    ASSERT_TRUE(client->IsQuicktimeAvailable());
    Closed closed;
    std::string const ours = Open(client, closed, Code("apcn"), "");
    ASSERT_FALSE(ours.empty());
    pid_t const ourDialog = DialogChildOf(Servers());

    // Another host (its own session on the same server) shows a dialog and has the keyboard.
    vireo::test::TempDir dir("vireo-codec-settings");
    pid_t const other = StartVireo({"png", "-o", dir.Path() + "/other.json"});
    ASSERT_NE(other, 0);
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

    ::kill(other, SIGKILL);
    WaitForExit(other);
    ASSERT_TRUE(Desktop::Focus(ours));
    ASSERT_TRUE(Desktop::Keys({"Escape"}));
    auto outcome = closed.Wait();
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->mWasCancelled);
}

}  // namespace
}  // namespace vireo::test::codecsettings

#pragma once
// A fixture for tests of the library against a real or scripted server: a private registry, an
// application directory holding the server executable, clean process-wide state, and helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "Orb/DirectoryRegistry.h"
#include "Orb/ObjectModel.h"
#include "TestSupport.h"
#include "TimeScale.h"
#include "VireoClient/VireoClient.h"
#include "VireoClientImpl.h"
#include "VireoServerManager.h"
#include "basekit/debug/Debug.h"
#include "basekit/debug/DebugDatabase.h"
#include "basekit/utility/Text.h"

namespace vireo::test::library {

using namespace std::chrono_literals;
using ClientRef = InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient>;
using ImporterRef = InterfaceRef<VireoClient::IVireoImporter, VireoClient::IVireoImporter>;

inline bool SharedClientExists() {
    return Orb::SharedObject<VireoClient::VireoSingletonClient>::Exists();
}
inline bool SharedManagerExists() {
    return Orb::SharedObject<VireoClient::VireoSingletonServerManager>::Exists();
}

class LibraryTest : public ::testing::Test {
  protected:
    // kind: which server the application directory holds; none: an empty directory.
    void UseServer(vireo::test::ServerKind kind) {
        mApp = std::make_unique<vireo::test::AppDirectory>(kind);
        Orb::DirectoryRegistry::RegisterDirectory(u"application",
                                                  basekit::utility::UTF8to16(mApp->Dir()));
    }
    void UseEmptyApplicationDirectory() {
        mEmptyApp = std::make_unique<vireo::test::TempDir>("vireo-noserver");
        Orb::DirectoryRegistry::RegisterDirectory(u"application",
                                                  basekit::utility::UTF8to16(mEmptyApp->Path()));
    }
    void UseScript(std::string const& json) {
        mScript = std::make_unique<vireo::test::ScriptFile>(json);
        UseServer(vireo::test::ServerKind::Scripted);
    }

    void SetUp() override {
        // A handler of an earlier test may hold its client until that test's session has ended.
        ASSERT_TRUE(vireo::test::WaitUntil([] { return !SharedClientExists(); },
                                           vireo::test::Scaled(5000ms)))
            << "a shared client is left from an earlier test";
        VireoClient::PresenceState().store(VireoClient::kPresenceUnknown);
        auto& settings = basekit::debug::DebugDatabase::Instance();
        settings.RemoveEntry("QT.DisableVireo");
        settings.SetEntry("VireoServerManager.StartupTimeout", "10000");
    }

    void TearDown() override {
        Orb::DirectoryRegistry::UnregisterDirectory(u"application");
        basekit::debug::DebugDatabase::Instance().RemoveEntry("VireoServerManager.StartupTimeout");
    }

    // A round trip on the client's session, for a FourCC no one asked for before (so the name
    // cache cannot answer it): its answer comes after every answer and data notification sent
    // before it, so whatever those were going to make happen has happened.
    static void Flush(ClientRef const& client) {
        static std::atomic<std::uint32_t> next{0x7A7A0000u};
        basekit::UTF16String name;
        client->GetQuicktimeCodecName(next++, name);
    }
    // For a session that has ended, where no round trip is possible: every handler of a request
    // holds its client, so once the caller's last reference is dropped and the shared client is
    // gone, no handler is left to run.
    static bool WaitForEveryHandler(ClientRef& client, ImporterRef& importer) {
        importer.reset();
        client.reset();
        return vireo::test::WaitUntil([] { return !SharedClientExists(); },
                                      vireo::test::Scaled(5000ms));
    }

    // Drops `client` and makes a new shared client once the old one is gone (an answer handler
    // may hold it for a moment after its caller went on).
    static void Recreate(ClientRef& client) {
        client.reset();
        EXPECT_TRUE(vireo::test::WaitUntil([] { return !SharedClientExists(); },
                                           vireo::test::Scaled(5000ms)));
        client = VireoClient::Create();
    }

    // Process ids of the servers started with this test's registry.
    std::vector<pid_t> Servers() const { return mRegistry.ServerProcesses(); }
    // The scripted server's log lines whose `key` ("method" or "event") is `name`, in order.
    std::vector<boost::json::object> Logged(std::string const& name,
                                            char const* key = "method") const {
        std::vector<boost::json::object> lines;
        for (auto& line : mScript->ReadLog()) {
            auto const* value = line.if_contains(key);
            if (value && value->is_string() && value->as_string() == name) {
                lines.push_back(std::move(line));
            }
        }
        return lines;
    }
    std::size_t LogCount(std::string const& name, char const* key = "method") const {
        return Logged(name, key).size();
    }
    bool WaitForLogCount(std::string const& name, std::size_t count,
                         char const* key = "method") const {
        return vireo::test::WaitUntil([&] { return LogCount(name, key) >= count; },
                                      vireo::test::Scaled(5000ms));
    }

    vireo::test::TempRegistry mRegistry;
    std::unique_ptr<vireo::test::AppDirectory> mApp;
    std::unique_ptr<vireo::test::TempDir> mEmptyApp;
    std::unique_ptr<vireo::test::ScriptFile> mScript;
};

// The movie every scripted open answers with.
inline constexpr char kMovieId[] = "{11111111-2222-3333-4444-555555555555}";

// A scripted open's answer for kMovieId: its code and its properties (a JSON object's text).
inline std::string OpenResult(std::string const& properties = "{}", int code = 0) {
    return R"({"result": {"value": {"MovieIdentifier": ")" + std::string(kMovieId) +
           R"(", "ImporterSDKErrorResult": )" + std::to_string(code) + R"(, "MovieProperties": )" +
           properties + "}}}";
}

// A script whose connection step succeeds, with more methods added by the caller (a JSON text of
// members, without braces, or empty) and the export catalogues given (JSON arrays).
inline std::string ConnectingScript(std::string const& moreMethods = "",
                                    std::string const& videoCodecs = "[]",
                                    std::string const& audioCodecs = "[]") {
    std::string methods =
        R"("IsQuicktimePresent": {"result": {"value": true}},
           "GetQuicktimeImportCodecs": {"result": {"value": [1, 2]}},
           "GetQuicktimeExportVideoCodecs": {"result": {"value": )" +
        videoCodecs + R"(}},
           "GetQuicktimeExportAudioCodecs": {"result": {"value": )" +
        audioCodecs + R"(}},
           "GetQTServerProcessID": {"result": {"value": 4242}},
           "QTGetImportableFileExtensions": {"result": {"value": []}},
           "SetQTFlushIterval": {},
           "CloseMovie": {})";
    if (!moreMethods.empty()) {
        methods += "," + moreMethods;
    }
    return "{\"methods\": {" + methods + "}}";
}

}  // namespace vireo::test::library

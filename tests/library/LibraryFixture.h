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

    // Process ids of the servers started with this test's registry.
    std::vector<pid_t> Servers() const { return mRegistry.ServerProcesses(); }
    std::size_t LogCount(std::string const& method) const {
        std::size_t n = 0;
        for (auto const& line : mScript->ReadLog()) {
            auto it = line.find("method");
            if (it != line.end() && it->value().is_string() && it->value().as_string() == method) {
                ++n;
            }
        }
        return n;
    }
    bool WaitForLogCount(std::string const& method, std::size_t count) const {
        return vireo::test::WaitUntil([&] { return LogCount(method) >= count; },
                                      vireo::test::Scaled(5000ms));
    }

    vireo::test::TempRegistry mRegistry;
    std::unique_ptr<vireo::test::AppDirectory> mApp;
    std::unique_ptr<vireo::test::TempDir> mEmptyApp;
    std::unique_ptr<vireo::test::ScriptFile> mScript;
};

// A script whose connection step succeeds, with more methods added by the caller (a JSON text of
// members, without braces, or empty).
inline std::string ConnectingScript(std::string const& moreMethods = "") {
    std::string methods =
        R"("IsQuicktimePresent": {"result": {"value": true}},
           "GetQuicktimeImportCodecs": {"result": {"value": [1, 2]}},
           "GetQuicktimeExportVideoCodecs": {"result": {"value": []}},
           "GetQuicktimeExportAudioCodecs": {"result": {"value": []}},
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

#include "VireoServerManager.h"

#include <dlfcn.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "Orb/DirectoryRegistry.h"
#include "Orb/PathUtils.h"
#include "VideoOutputCommand.h"
#include "basekit/debug/Debug.h"
#include "basekit/debug/DebugDatabase.h"
#include "basekit/threads/Gate.h"
#include "basekit/threads/ThreadRole.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Text.h"
#include "crossprocess/CrossProcess.h"

namespace VireoClient {

namespace {

constexpr char16_t kServerBaseName[] = u"corvidhost VireoServer";
constexpr char16_t kPrivateNameSeparator[] = u" ";
constexpr char16_t kExecutableFirstChoice[] = u"32\\Corvid Vireo Server.exe";
constexpr char16_t kExecutableSecondChoice[] = u"Corvid Vireo Server.exe";
constexpr char kStartupTimeoutKey[] = "VireoServerManager.StartupTimeout";
constexpr char kStartupTimeoutDefault[] = "30000";
constexpr char16_t kRPCClientName[] = u"VireoClient";
constexpr char kRestartOnDemandKey[] = "VireoServerManager.RestartOnDemand";
// At most this many restarts on demand in any window of this length: a server that dies at
// once on every start is not started again and again.
constexpr std::size_t kRestartsPerWindow = 3;
constexpr std::chrono::seconds kRestartWindow{60};

// Where an installed tree keeps the server, relative to the directory of the installed library
// (the build passes the path that matches its install layout).
#ifndef VIREO_SERVER_DIRECTORY_FROM_LIBRARY
#define VIREO_SERVER_DIRECTORY_FROM_LIBRARY "../libexec/vireo"
#endif

bool gLaunchAssertIgnored = false;

// The server of the tree this library was installed in: <library directory>/<relative path>/
// "Corvid Vireo Server.exe", with symbolic links to the library resolved; empty when the
// library's own path cannot be learned.
basekit::UTF16String InstalledServerPath() {
    // Any object of this library names the file it was loaded from.
    static char const anchor = 0;
    Dl_info info{};
    if (::dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) {
        return basekit::UTF16String();
    }
    std::unique_ptr<char, decltype(&std::free)> const real(::realpath(info.dli_fname, nullptr),
                                                           &std::free);
    if (!real) {
        return basekit::UTF16String();
    }
    basekit::UTF16String const libraryDirectory =
        Orb::PathUtils::GetFullDirectoryPart(basekit::utility::UTF8to16(real.get()));
    if (libraryDirectory.empty()) {
        return basekit::UTF16String();
    }
    return Orb::PathUtils::CombinePaths(
        Orb::PathUtils::CombinePaths(libraryDirectory,
                                     Orb::MakeString(VIREO_SERVER_DIRECTORY_FROM_LIBRARY)),
        kExecutableSecondChoice);
}

}  // namespace

// One connection attempt. The announcement callback may come after InitializeClient has given
// up waiting; the attempt decides, under its own lock, whether the session it makes is taken by
// InitializeClient or closed at once, so no session without an RPC client is ever left behind.
struct VireoServerManager::ConnectionAttempt {
    std::mutex mutex;
    basekit::threads::Gate gate{false};
    boost::shared_ptr<basetransport::SocketTransport> transport;
    basetransport::SessionPtr session;
    bool abandoned = false;
};

namespace {

// Runs on a hostlink thread; takes no lock of the manager.
void OnServerConnection(InterfaceRef<VireoServerManager, IVireoServerManager> const& /*keepAlive*/,
                        std::shared_ptr<VireoServerManager::ConnectionAttempt> const& attempt,
                        hostlink::ServerConnection const& connection) {
    basetransport::SessionPtr session;
    if (connection.port != 0 && attempt->transport) {
        session = attempt->transport->ClientStart(connection.host, connection.port);
    }
    bool late = false;
    {
        std::lock_guard<std::mutex> lock(attempt->mutex);
        if (attempt->abandoned) {
            late = true;
        } else {
            attempt->session = session;
        }
    }
    if (late && session) {
        session->Close();
    }
    attempt->gate.Open();
}

}  // namespace

VireoServerManager::VireoServerManager() {
    // Every server manager made registers the console command again (the console keeps the
    // latest registration of a name).
    RegisterVideoOutputCommand();
}

VireoServerManager::~VireoServerManager() {
    mTransport.reset();
    mSession.reset();
    mRPCClient.reset();
}

std::int32_t VireoServerManager::InitializeClient(bool unique) {
    basekit::threads::RecursiveLock lock(mMutex);
    ++mInitCount;
    mUnique = unique;
    if (mSession && !mSession->IsClosed()) {
        return 0;
    }
    return Connect(unique);
}

bool VireoServerManager::RestartOnDemand() {
    if (mInitCount == 0 || !mRPCClient || (mSession && !mSession->IsClosed())) {
        return false;  // not in use, never connected, or connected
    }
    // A restart waits for the new server; a thread that runs handlers must not wait for that.
    if (basekit::threads::IsHandlerThread() ||
        basekit::debug::DebugDatabase::Instance().GetEntry(kRestartOnDemandKey, "") != "true") {
        return false;
    }
    auto const now = std::chrono::steady_clock::now();
    while (!mRestarts.empty() && now - mRestarts.front() >= kRestartWindow) {
        mRestarts.pop_front();
    }
    if (mRestarts.size() >= kRestartsPerWindow) {
        return false;
    }
    mRestarts.push_back(now);
    return Connect(mUnique) == 0;
}

std::int32_t VireoServerManager::Connect(bool unique) {
    if (!mCrossProcessInitialized) {
        crossprocess::InitializeClient();
        mCrossProcessInitialized = true;
    }
    mTransport = hostlink::GetSharedTransport();

    basekit::UTF16String const appDir =
        Orb::DirectoryRegistry::FindDirectory(Orb::MakeString("application"));
    basekit::UTF16String executable = appDir + kExecutableFirstChoice;
    if (!Orb::PathUtils::ExistsOnDisk(executable)) {
        executable = Orb::PathUtils::CombinePaths(appDir, kExecutableSecondChoice);
        if (!Orb::PathUtils::ExistsOnDisk(executable)) {
            // Last, the server installed with the library: an installed host program needs
            // no server beside it.
            executable = InstalledServerPath();
            if (!Orb::PathUtils::ExistsOnDisk(executable)) {
                return kServerStartFailed;
            }
        }
    }

    if (mTransport) {
        if (!mSessionHandlerID.IsNull()) {
            mTransport->RemoveSessionHandler(mSessionHandlerID);
        }
        mSessionHandlerID = mTransport->AddSessionHandler(&VireoServerManager::SessionEndedHandler);
    }

    auto attempt = std::make_shared<ConnectionAttempt>();
    attempt->transport = mTransport;

    basekit::UTF16String name = kServerBaseName;
    if (unique) {
        name += kPrivateNameSeparator;
        name += basekit::utility::Guid::CreateUnique().AsString();
    }

    InterfaceRef<VireoServerManager, IVireoServerManager> self = GetServerManagerRef();
    // Runs on a hostlink thread; holds the manager so it outlives the callback.
    hostlink::ConnectionCallback callback =
        [self, attempt](hostlink::ServerConnection const& connection) {
            OnServerConnection(self, attempt, connection);
        };
    std::int64_t const ticket =
        hostlink::CreateNamedServerConnection(name, executable, name, callback);
    if (ticket == 0) {
        basekit::UTF8String message = "Unable to launch ";
        message += basekit::utility::UTF16to8(executable);
        message += "\nCreateNamedServerConnection returned an error!\r\n";
        // The report is silent once its ignore flag has been set.
        if (basekit::debug::BreakAfterAssertDialog(
                gLaunchAssertIgnored, "false", message, "Src/VireoServerManager", 203,
                "VireoClient::VireoServerManager::InitializeClient", true) &&
            basekit::debug::IsDebuggerAttached()) {
            std::raise(SIGTRAP);
        }
        return kServerStartFailed;
    }

    std::int32_t const timeout =
        basekit::utility::ParseLeadingInt32(basekit::debug::DebugDatabase::Instance().GetEntry(
            kStartupTimeoutKey, kStartupTimeoutDefault));
    attempt->gate.PassThrough(timeout);

    basetransport::SessionPtr session;
    {
        std::lock_guard<std::mutex> attemptLock(attempt->mutex);
        session = attempt->session;
        attempt->abandoned = true;
    }
    if (!session) {
        return kServerStartFailed;
    }
    mSession = session;
    mRPCClient = boost::make_shared<basemarshal::RPCClient>(mSession, kRPCClientName);
    return 0;
}

void VireoServerManager::UninitializeClient() {
    basekit::threads::RecursiveLock lock(mMutex);
    // A count of 0 stays 0: an unmatched call must not take away another user's connection.
    if (mInitCount == 0) {
        return;
    }
    if (--mInitCount != 0) {
        return;
    }
    mRPCClient.reset();
    if (mSession) {
        basetransport::SessionPtr session;
        session.swap(mSession);
        session->Close();
    }
    if (mTransport) {
        if (!mSessionHandlerID.IsNull()) {
            mTransport->RemoveSessionHandler(mSessionHandlerID);
        }
        mSessionHandlerID = basetransport::SessionHandlerID();
        mTransport.reset();
    }
    if (mCrossProcessInitialized) {
        crossprocess::UninitializeClient();
        mCrossProcessInitialized = false;
    }
}

boost::shared_ptr<basemarshal::RPCClient> VireoServerManager::GetRPCClient() {
    basekit::threads::RecursiveLock lock(mMutex);
    RestartOnDemand();
    return mRPCClient;
}

void VireoServerManager::OnSessionEnded(basetransport::SessionPtr const& session) {
    basekit::threads::RecursiveLock lock(mMutex);
    if (mSession && session && session->GetID() == mSession->GetID()) {
        mSession.reset();
    }
}

basetransport::TransportError VireoServerManager::SessionEndedHandler(
    basetransport::SessionPtr session) {
    InterfaceRef<VireoServerManager, IVireoServerManager> manager(
        VireoSingletonServerManager::Get());
    manager->OnSessionEnded(session);
    return 0;
}

}  // namespace VireoClient

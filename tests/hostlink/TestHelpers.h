#pragma once
// Shared pieces of the hostlink and server tests.
#include <chrono>
#include <cstdint>
#include <string>

#include "ChildProcess.h"
#include "TestSupport.h"
#include "TimeScale.h"
#include "basekit/serialization/Variant.h"
#include "basekit/utility/Text.h"
#include "basemarshal/RPCClient.h"
#include "hostlink/HostLink.h"

namespace vireo::test::hostlink {

// The shared test support (servers, registries, temporary directories).
namespace support = ::vireo::test;

constexpr char kSharedName[] = "corvidhost VireoServer";
// A private server's name: the base name, a space and a suffix.
std::string PrivateName(std::string const& suffix);

using basekit::utility::UTF8to16;

// What CreateNamedServerConnection reported.
struct Outcome {
    std::int64_t ticket = 0;
    bool called = false;  // the callback ran within the bound
    ::hostlink::ServerConnection connection;
};
Outcome Connect(std::string const& name, std::string const& executable,
                std::chrono::milliseconds bound = std::chrono::seconds(30));

// Opens a session on the shared transport to a connection from Connect.
basetransport::SessionPtr OpenSession(::hostlink::ServerConnection const& connection);

// One RPC answer.
struct Answer {
    bool answered = false;  // a handler ran within the bound
    bool ok = false;        // the result handler
    basekit::serialization::VariantPtr result;
    long code = 0;
};
Answer Call(basemarshal::RPCClient& client, char const* method,
            basekit::serialization::VariantArray params = {},
            std::chrono::milliseconds bound = std::chrono::seconds(10));

// Whether the server of `connection` answers a call on a session of its own (closed after).
bool Answers(::hostlink::ServerConnection const& connection);

// A registry of its own and the scripted server with no methods, for tests of starting and
// ending servers.
struct ScriptedSetup {
    support::TempRegistry registry;
    support::AppDirectory app{support::ServerKind::Scripted};
    support::ScriptFile script{R"({"methods": {}})"};
};

// hostlink_connect_helper run as another process, asking for server `name`.
class HelperProcess : public support::ChildProcess {
  public:
    HelperProcess(std::string const& name, std::string const& executable, bool openSession);

    // The helper's report: false when none came within the bound.
    bool ReadReport(std::chrono::milliseconds bound);
    std::uint16_t Port() const { return mPort; }
    std::int64_t ServerPid() const { return mServerPid; }
    bool HasSession() const { return mSession; }

  private:
    std::uint16_t mPort = 0;
    std::int64_t mServerPid = 0;
    bool mSession = false;
};

}  // namespace vireo::test::hostlink

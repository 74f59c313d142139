#include "TestHelpers.h"

#include <cstdio>
#include <future>
#include <memory>

namespace vireo::test::hostlink {

std::string PrivateName(std::string const& suffix) {
    return std::string(kSharedName) + " " + suffix;
}

Outcome Connect(std::string const& name, std::string const& executable,
                std::chrono::milliseconds bound) {
    auto done = std::make_shared<std::promise<::hostlink::ServerConnection>>();
    auto future = done->get_future();
    Outcome outcome;
    outcome.ticket = ::hostlink::CreateNamedServerConnection(
        UTF8to16(name), UTF8to16(executable), UTF8to16(name),
        [done](::hostlink::ServerConnection const& connection) { done->set_value(connection); });
    if (outcome.ticket != 0 && future.wait_for(Scaled(bound)) == std::future_status::ready) {
        outcome.called = true;
        outcome.connection = future.get();
    }
    return outcome;
}

basetransport::SessionPtr OpenSession(::hostlink::ServerConnection const& connection) {
    return ::hostlink::GetSharedTransport()->ClientStart(connection.host, connection.port);
}

Answer Call(basemarshal::RPCClient& client, char const* method,
            basekit::serialization::VariantArray params, std::chrono::milliseconds bound) {
    auto done = std::make_shared<std::promise<Answer>>();
    auto future = done->get_future();
    client.SendRequest(
        basekit::serialization::BuildCall(method, params),
        [done](basekit::serialization::VariantPtr const& result, std::int64_t) {
            Answer answer;
            answer.answered = answer.ok = true;
            answer.result = result;
            done->set_value(answer);
        },
        [done](long code, basekit::UTF16String const&, std::int64_t) {
            Answer answer;
            answer.answered = true;
            answer.code = code;
            done->set_value(answer);
        },
        0);
    if (future.wait_for(Scaled(bound)) != std::future_status::ready) {
        return Answer();
    }
    return future.get();
}

bool Answers(::hostlink::ServerConnection const& connection) {
    auto session = OpenSession(connection);
    if (!session) {
        return false;
    }
    bool answered = false;
    {
        basemarshal::RPCClient client(session, u"test");
        answered = Call(client, "GetQTServerProcessID").ok;
    }
    session->Close();
    return answered;
}

HelperProcess::HelperProcess(std::string const& name, std::string const& executable,
                             bool openSession)
    : ChildProcess(
          openSession
              ? std::vector<std::string>{HOSTLINK_CONNECT_HELPER, name, executable, "--session"}
              : std::vector<std::string>{HOSTLINK_CONNECT_HELPER, name, executable}) {}

bool HelperProcess::ReadReport(std::chrono::milliseconds bound) {
    std::string line;
    unsigned port = 0;
    long long pid = 0;
    int session = 0;
    if (!ReadLine(line, Scaled(bound)) ||
        std::sscanf(line.c_str(), "%u %lld %d", &port, &pid, &session) < 2) {
        return false;
    }
    mPort = static_cast<std::uint16_t>(port);
    mServerPid = pid;
    mSession = session != 0;
    return true;
}

}  // namespace vireo::test::hostlink

#include "TestHelpers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <memory>
#include <stdexcept>

extern char** environ;

namespace vireo::test::hostlink {

std::string PrivateName(std::string const& suffix) {
    return std::string(kSharedName) + " " + suffix;
}

std::u16string Widen(std::string const& text) {
    std::u16string out;
    for (unsigned char c : text) {
        out.push_back(c);
    }
    return out;
}

Outcome Connect(std::string const& name, std::string const& executable,
                std::chrono::milliseconds bound) {
    auto done = std::make_shared<std::promise<::hostlink::ServerConnection>>();
    auto future = done->get_future();
    Outcome outcome;
    outcome.ticket = ::hostlink::CreateNamedServerConnection(
        Widen(name), Widen(executable), Widen(name),
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

HelperProcess::HelperProcess(std::string const& name, std::string const& executable,
                             bool openSession) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string const helper = HOSTLINK_CONNECT_HELPER;
    std::vector<char*> argv = {const_cast<char*>(helper.c_str()), const_cast<char*>(name.c_str()),
                               const_cast<char*>(executable.c_str())};
    char session[] = "--session";
    if (openSession) {
        argv.push_back(session);
    }
    argv.push_back(nullptr);
    int rc = ::posix_spawn(&mPid, helper.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    mIn = in[1];
    mOut = out[0];
    if (rc != 0) {
        mPid = -1;
        throw std::runtime_error("cannot start the helper");
    }
}

HelperProcess::~HelperProcess() {
    Kill();
    ::close(mIn);
    ::close(mOut);
}

bool HelperProcess::ReadReport(std::chrono::milliseconds bound) {
    std::string line;
    auto const deadline = std::chrono::steady_clock::now() + Scaled(bound);
    while (line.find('\n') == std::string::npos) {
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd pfd{mOut, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) != 1) {
            return false;
        }
        char buffer[128];
        ssize_t n = ::read(mOut, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        line.append(buffer, static_cast<std::size_t>(n));
    }
    unsigned port = 0;
    long long pid = 0;
    int session = 0;
    if (std::sscanf(line.c_str(), "%u %lld %d", &port, &pid, &session) < 2) {
        return false;
    }
    mPort = static_cast<std::uint16_t>(port);
    mServerPid = pid;
    mSession = session != 0;
    return true;
}

void HelperProcess::Kill() {
    if (mPid > 0) {
        ::kill(mPid, SIGKILL);
        while (::waitpid(mPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        mPid = -1;
    }
}

}  // namespace vireo::test::hostlink

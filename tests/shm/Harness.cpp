#include "Harness.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cstdio>
#include <cstring>

#include "TimeScale.h"
#include "basekit/utility/Guid.h"

extern char** environ;

namespace vireo::test::shm {

namespace json = boost::json;

namespace {

// Gives this test process its own segment name prefix before crossprocess reads it (on its
// first use, which comes after static initialization).
std::string MakeTestPrefix() {
    std::string const prefix = "vt" + std::to_string(getpid());
    setenv("VIREO_SHM_PREFIX", prefix.c_str(), 1);
    return prefix;
}
std::string const gTestPrefix = MakeTestPrefix();

}  // namespace

std::chrono::milliseconds WaitLimit() {
    return vireo::test::Scaled(std::chrono::seconds(5));
}

std::string const& TestPrefix() {
    return gTestPrefix;
}

std::string SiblingExecutable(const char* name) {
    char path[4096];
    ssize_t const length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return name;
    }
    path[length] = '\0';
    std::string dir(path);
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/" + name;
}

std::vector<std::string> SegmentsOf(pid_t pid, std::string const& segmentPrefix) {
    std::vector<std::string> names;
    std::string const prefix = segmentPrefix + "-" + std::to_string(pid) + "-";
    if (DIR* dir = opendir("/dev/shm")) {
        while (dirent* entry = readdir(dir)) {
            if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    return names;
}

Environment::Environment(std::string const& prefix) {
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "VIREO_SHM_PREFIX=", 17) != 0) {
            mVariables.emplace_back(*variable);
        }
    }
    mVariables.push_back("VIREO_SHM_PREFIX=" + prefix);
    for (auto& variable : mVariables) {
        mPointers.push_back(variable.data());
    }
    mPointers.push_back(nullptr);
}

// ---- Peer --------------------------------------------------------------------------------------

Peer::~Peer() {
    Exit();
}

bool Peer::Start(std::string const& prefix) {
    std::string const token = basekit::utility::Guid::CreateUnique().AsUTF8String();
    std::string const exe = SiblingExecutable("shm_peer");
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> argv = {const_cast<char*>(exe.c_str()), const_cast<char*>("--token"),
                               const_cast<char*>(token.c_str()), nullptr};
    Environment environment(prefix.empty() ? TestPrefix() : prefix);
    int const spawned =
        posix_spawn(&mPid, exe.c_str(), &actions, nullptr, argv.data(), environment.Get());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        mPid = -1;
        return false;
    }
    // Read "PORT <port> PID <pid>\n", waiting at most WaitLimit().
    std::string line;
    auto const deadline = std::chrono::steady_clock::now() + WaitLimit();
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{pipeFds[0], POLLIN, 0};
        if (poll(&fd, 1, 100) > 0) {
            char buffer[128];
            ssize_t const got = read(pipeFds[0], buffer, sizeof(buffer));
            if (got <= 0) {
                break;
            }
            line.append(buffer, static_cast<std::size_t>(got));
        }
    }
    close(pipeFds[0]);
    unsigned port = 0;
    int pid = 0;
    if (std::sscanf(line.c_str(), "PORT %u PID %d", &port, &pid) != 2 || port == 0) {
        Kill();
        return false;
    }
    mTransport = basetransport::SocketTransport::Create();
    mTransport->SetServerToken("127.0.0.1", static_cast<std::uint16_t>(port), token);
    mSession = mTransport->ClientStart("127.0.0.1", static_cast<std::uint16_t>(port));
    if (!mSession) {
        Kill();
        return false;
    }
    std::shared_ptr<Inbox> inbox = mInbox;
    mSession->SetMessageHandler([inbox](basetransport::SessionPtr const&, json::object& message) {
        inbox->OnMessage(message);
    });
    return true;
}

void Peer::Inbox::OnMessage(json::object const& message) {
    auto const* method = message.if_contains("method");
    auto const* params = message.if_contains("params");
    if (!method || !method->is_string() || !params || !params->is_object()) {
        return;
    }
    std::string const verb = method->get_string().c_str();
    if (verb == "test.want") {
        std::function<void(json::object const&)> handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            handler = onWant;
        }
        if (handler) {
            handler(params->get_object());
        }
        return;
    }
    json::object stored = params->get_object();
    stored["_verb"] = verb;
    std::lock_guard<std::mutex> lock(mutex);
    messages.push_back(std::move(stored));
    arrived.notify_all();
}

void Peer::Send(std::string const& verb, json::object params) {
    if (mSession) {
        mSession->SendMessage(
            json::object{{"jsonrpc", "2.0"}, {"method", "test." + verb}, {"params", params}});
    }
}

json::object Peer::Call(std::string const& verb, json::object params) {
    Inbox& inbox = *mInbox;
    std::uint64_t seq = 0;
    {
        std::lock_guard<std::mutex> lock(inbox.mutex);
        seq = ++inbox.nextSeq;
    }
    params["seq"] = seq;
    Send(verb, std::move(params));
    std::unique_lock<std::mutex> lock(inbox.mutex);
    json::object reply{{"timeout", true}};
    inbox.arrived.wait_for(lock, WaitLimit(), [&] {
        for (auto it = inbox.messages.begin(); it != inbox.messages.end(); ++it) {
            auto const* s = it->if_contains("seq");
            if (it->at("_verb").as_string() == "test.reply" && s && s->is_number() &&
                s->to_number<std::uint64_t>() == seq) {
                reply = std::move(*it);
                inbox.messages.erase(it);
                return true;
            }
        }
        return false;
    });
    return reply;
}

std::vector<json::object> Peer::Received(std::string const& verb) {
    std::vector<json::object> out;
    std::lock_guard<std::mutex> lock(mInbox->mutex);
    for (auto const& m : mInbox->messages) {
        if (m.at("_verb").as_string() == "test." + verb) {
            out.push_back(m);
        }
    }
    return out;
}

bool Peer::WaitReceived(std::string const& verb, std::size_t count) {
    return Eventually([&] { return Received(verb).size() >= count; });
}

void Peer::OnWant(std::function<void(json::object const&)> handler) {
    std::lock_guard<std::mutex> lock(mInbox->mutex);
    mInbox->onWant = std::move(handler);
}

void Peer::Kill() {
    if (mPid > 0) {
        kill(mPid, SIGKILL);
        waitpid(mPid, nullptr, 0);
        mPid = -1;
    }
}

bool Peer::Exit() {
    bool clean = false;
    if (mPid > 0 && mSession && !mSession->IsClosed()) {
        Send("exit", {});
        auto const deadline = std::chrono::steady_clock::now() + WaitLimit();
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(mPid, &status, WNOHANG) == mPid) {
                clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
                mPid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    Kill();
    if (mTransport) {
        mTransport->Shutdown();
    }
    mSession.reset();
    mTransport.reset();
    return clean;
}

crossprocess::Stats Peer::RemoteStats() {
    json::object const reply = Call("stats", {});
    crossprocess::Stats stats;
    auto get = [&](const char* key) -> std::uint64_t {
        auto const* v = reply.if_contains(key);
        return v && v->is_number() ? v->to_number<std::uint64_t>() : ~std::uint64_t{0};
    };
    stats.segmentsCreated = get("segmentsCreated");
    stats.blocksLeased = get("blocksLeased");
    return stats;
}

// ---- Waiter ------------------------------------------------------------------------------------

Waiter::Waiter() : mState(std::make_shared<State>()) {}

crossprocess::DataHandler Waiter::Handler() {
    mState->registering = std::this_thread::get_id();
    std::shared_ptr<State> state = mState;
    return
        [state](basekit::utility::Guid const&, crossprocess::BinaryReferencePtr ref, long status) {
            std::lock_guard<std::mutex> lock(state->mutex);
            ++state->count;
            state->status = status;
            state->ref = ref;
            if (std::this_thread::get_id() == state->registering) {
                state->onRegistering = true;
            }
            state->role = basekit::threads::CurrentThreadRole();
            state->done.notify_all();
        };
}

bool Waiter::Wait() {
    std::unique_lock<std::mutex> lock(mState->mutex);
    return mState->done.wait_for(lock, WaitLimit(), [&] { return mState->count > 0; });
}

int Waiter::Count() {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->count;
}

long Waiter::Status() {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->status;
}

crossprocess::BinaryReferencePtr Waiter::Ref() {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->ref;
}

bool Waiter::RanOnRegisteringThread() {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->onRegistering;
}

basekit::threads::ThreadRole Waiter::Role() {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->role;
}

void Waiter::Reset() {
    crossprocess::BinaryReferencePtr ref;
    std::lock_guard<std::mutex> lock(mState->mutex);
    ref.swap(mState->ref);
}

}  // namespace vireo::test::shm

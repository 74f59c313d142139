#include "Harness.h"

#include <dirent.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cstdio>
#include <cstring>

#include "TimeScale.h"
#include "basekit/utility/Guid.h"

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

// ---- Peer --------------------------------------------------------------------------------------

Peer::~Peer() {
    Exit();
}

bool Peer::Start(std::string const& prefix) {
    std::string const token = basekit::utility::Guid::CreateUnique().AsUTF8String();
    mChild = std::make_unique<vireo::test::ChildProcess>(std::vector<std::string>{
        "env", "VIREO_SHM_PREFIX=" + (prefix.empty() ? TestPrefix() : prefix),
        SiblingExecutable("shm_peer"), "--token", token});
    std::string line;
    unsigned port = 0;
    int pid = 0;
    if (!mChild->ReadLine(line, WaitLimit()) ||
        std::sscanf(line.c_str(), "PORT %u PID %d", &port, &pid) != 2 || port == 0) {
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
    if (mChild) {
        mChild->Kill();
    }
}

bool Peer::Exit() {
    bool clean = false;
    if (Pid() > 0 && mSession && !mSession->IsClosed()) {
        Send("exit", {});
        clean = mChild->CloseAndWait(WaitLimit()) == 0;
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
            Delivery& last = state->last;
            ++last.count;
            last.status = status;
            last.ref = ref;
            last.onRegistering |= std::this_thread::get_id() == state->registering;
            last.role = basekit::threads::CurrentThreadRole();
            state->done.notify_all();
        };
}

bool Waiter::Wait() {
    std::unique_lock<std::mutex> lock(mState->mutex);
    return mState->done.wait_for(lock, WaitLimit(), [&] { return mState->last.count > 0; });
}

Waiter::Delivery Waiter::Last() {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->last;
}

void Waiter::Reset() {
    crossprocess::BinaryReferencePtr ref;
    std::lock_guard<std::mutex> lock(mState->mutex);
    ref.swap(mState->last.ref);
}

}  // namespace vireo::test::shm

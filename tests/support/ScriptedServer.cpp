// vireo_scripted_server: a server for tests. It takes the launch options of the real server,
// announces itself (after the script's announceDelayMs) and answers each method as the JSON
// script named by VIREO_SCRIPT says; methods the script does not name get "method not found".
// A behaviour may first publish data (bytes, a frame, a failure) through crossprocess under the
// call's request identifier, as the real server does before it answers.
// Lifetime, registry entry and token handling are the real server's (the shared shell).
#include <fcntl.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "Lifetime.h"
#include "Script.h"
#include "ScriptPublisher.h"
#include "ServerApp.h"
#include "VariantJson.h"
#include "crossprocess/CrossProcess.h"
#include "hostlink/ServerSide.h"

namespace {

using vireo::test::Behaviour;

class ScriptedMethods {
  public:
    bool Load(std::string& error) {
        char const* path = std::getenv("VIREO_SCRIPT");
        if (path && *path && !mScript.Load(path, error)) {
            return false;
        }
        if (!mScript.LogPath().empty()) {
            mLogFd =
                ::open(mScript.LogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        }
        return true;
    }

    int AnnounceDelayMs() const { return mScript.AnnounceDelayMs(); }

    // The handlers use this object: it must outlive the server's transport.
    void Register(vireo::server::ServerContext& context) {
        for (auto const& method : mScript.Methods()) {
            context.Rpc().AddMethod(method,
                                    [this, method](basetransport::SessionPtr const& session,
                                                   basekit::serialization::VariantPtr const& params,
                                                   basemarshal::Responder const& responder) {
                                        Handle(method, session, params, responder);
                                    });
        }
        context.AddSessionStartListener(
            [this](basetransport::SessionPtr const& session) { SessionStarted(session); });
        context.AddSessionEndListener([this](basetransport::SessionPtr const& session) {
            boost::json::object line;
            line["event"] = "session-end";
            line["session"] = session->GetID();
            WriteLog(line);
        });
    }

  private:
    void SessionStarted(basetransport::SessionPtr const& session) {
        boost::json::object line;
        line["event"] = "session-start";
        line["session"] = session->GetID();
        line["peerPid"] = session->GetPeerProcessID();
        WriteLog(line);
    }

    void Handle(std::string const& method, basetransport::SessionPtr const& session,
                basekit::serialization::VariantPtr const& params,
                basemarshal::Responder const& responder) {
        boost::json::object line;
        line["method"] = method;
        line["notification"] = responder.IsNotification();
        line["session"] = session->GetID();
        try {
            line["params"] = vireo::test::VariantToJson(params);
        } catch (std::exception const&) {
            line["params"] = "(not a variant)";
        }
        // This process's shared-data counters as the call arrives: tests read from them
        // whether the client gave back what was published to it.
        line["crossprocess"] = vireo::test::SharedDataCounters();
        WriteLog(line);

        Behaviour const behaviour = mScript.Next(method);
        if (behaviour.delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(behaviour.delayMs));
        }
        if (behaviour.publish.kind != vireo::test::Publication::Kind::None) {
            // Before the answer, on the same session: the data arrives first.
            WriteLog(vireo::test::Publish(behaviour.publish, session, params));
        }
        switch (behaviour.kind) {
            case Behaviour::Kind::Result:
                responder.Reply(vireo::test::JsonToVariant(behaviour.result));
                break;
            case Behaviour::Kind::Error:
                responder.Error(static_cast<long>(behaviour.errorCode), behaviour.errorMessage);
                break;
            case Behaviour::Kind::Stall: {
                // Never answered: the responder is kept until the process ends.
                std::lock_guard<std::mutex> lock(mMutex);
                mStalled.push_back(responder);
                break;
            }
            case Behaviour::Kind::Drop:
                session->Close();
                break;
            case Behaviour::Kind::Exit:
                // As after a crash: no answer, and the registry entry stays behind.
                ::_exit(behaviour.exitCode);
        }
    }

    void WriteLog(boost::json::object const& line) {
        if (mLogFd < 0) {
            return;
        }
        std::string text = boost::json::serialize(line);
        text.push_back('\n');
        std::lock_guard<std::mutex> lock(mMutex);
        (void)!::write(mLogFd, text.data(), text.size());
    }

    vireo::test::Script mScript;
    int mLogFd = -1;
    std::mutex mMutex;  // guards mStalled and log writes
    std::vector<basemarshal::Responder> mStalled;
};

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that the server's signalfd receives them.
    vireo::server::BlockTerminationSignals();

    hostlink::server::LaunchOptions options;
    std::string error;
    if (!hostlink::server::ParseLaunchOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "vireo_scripted_server: %s\n", error.c_str());
        return 2;
    }
    // As the real server: segments left by crashed processes are reclaimed at once.
    crossprocess::InitializeClient();
    ScriptedMethods methods;  // made first, so that it goes after the server's threads
    if (!methods.Load(error)) {
        // Test tooling: a broken script is reported even when the server is otherwise quiet.
        std::fprintf(stderr, "vireo_scripted_server: %s\n", error.c_str());
        return 3;
    }
    vireo::server::ServerApp app(options);
    methods.Register(app.Context());
    return app.Run(methods.AnnounceDelayMs());
}

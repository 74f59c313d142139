// A server process for the transport tests: listens with the token given as its argument,
// prints its port, answers "Echo", keeps every "Hold" request unanswered, and exits when its
// standard input closes.
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "basemarshal/RPCServer.h"
#include "basetransport/SocketTransport.h"

int main(int argc, char** argv) {
    using namespace basekit::serialization;
    if (argc < 2) {
        return 2;
    }
    auto transport = basetransport::SocketTransport::Create();
    basemarshal::RPCServer server;
    std::mutex mutex;
    std::vector<basemarshal::Responder> held;
    server.AddMethod("Echo", [](basetransport::SessionPtr const&, VariantPtr const& params,
                                basemarshal::Responder const& responder) {
        VariantObject result;
        result["value"] = params;
        responder.Reply(MakeVariant(result));
    });
    server.AddMethod("Hold", [&](basetransport::SessionPtr const&, VariantPtr const&,
                                 basemarshal::Responder const& responder) {
        std::lock_guard<std::mutex> lock(mutex);
        held.push_back(responder);
    });
    std::uint16_t const port = transport->Listen(
        0, argv[1], [&server](basetransport::SessionPtr session) { server.Attach(session); });
    if (port == 0) {
        return 1;
    }
    std::printf("%u\n", port);
    std::fflush(stdout);
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    return 0;
}

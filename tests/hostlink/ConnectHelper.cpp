// hostlink_connect_helper <server name> <executable> [--session]
// Another process for the hostlink tests: asks for the named server, prints "<port> <pid>" on a
// line, optionally opens a session to it, then stays until its standard input closes (or it is
// killed).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>

#include "basekit/utility/Text.h"
#include "hostlink/HostLink.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <server name> <executable> [--session]\n", argv[0]);
        return 2;
    }
    bool const openSession = argc > 3 && std::string(argv[3]) == "--session";
    auto found = std::make_shared<std::promise<hostlink::ServerConnection>>();
    auto future = found->get_future();
    std::int64_t ticket = hostlink::CreateNamedServerConnection(
        basekit::utility::UTF8to16(argv[1]), basekit::utility::UTF8to16(argv[2]),
        basekit::utility::UTF8to16(argv[1]),
        [found](hostlink::ServerConnection const& connection) { found->set_value(connection); });
    if (ticket == 0) {
        std::printf("0 0\n");
        return 1;
    }
    if (future.wait_for(std::chrono::seconds(90)) != std::future_status::ready) {
        return 3;
    }
    auto const connection = future.get();
    basetransport::SessionPtr session;
    if (openSession && connection.port != 0) {
        session = hostlink::GetSharedTransport()->ClientStart(connection.host, connection.port);
    }
    std::printf("%u %lld %d\n", connection.port, static_cast<long long>(connection.processID),
                session ? 1 : 0);
    std::fflush(stdout);
    char buffer[64];
    while (::read(0, buffer, sizeof buffer) > 0) {
    }
    if (session) {
        session->Close();
    }
    return 0;
}

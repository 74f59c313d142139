// The process-wide socket transport.
#include "hostlink/HostLink.h"

namespace hostlink {

boost::shared_ptr<basetransport::SocketTransport> GetSharedTransport() {
    // Made on first use and never destroyed: callers anywhere (also in static destructors of
    // other libraries, and on hostlink's detached threads) may still reach it at exit.
    static auto* const transport = new boost::shared_ptr<basetransport::SocketTransport>(
        basetransport::SocketTransport::Create());
    return *transport;
}

}  // namespace hostlink

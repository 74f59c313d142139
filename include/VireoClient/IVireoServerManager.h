#pragma once
// IVireoServerManager: owns the connection to one server process.
#include <cstdint>

#include "Orb/OrbUnknown.h"
#include "basekit/utility/Guid.h"

namespace VireoClient {

// Result of a connection attempt that found no server.
constexpr std::int32_t kServerStartFailed = static_cast<std::int32_t>(0xA00F0001u);

class IVireoServerManager : public OrbUnknown {
  public:
    static constexpr basekit::utility::Guid kIID{"{9A537625-0E93-4601-A109-B05752BA8844}"};

    // 5: 0 when the manager has, or now has, a connection; kServerStartFailed otherwise. Blocks up
    // to the start-up time-out while a server starts.
    virtual std::int32_t InitializeClient(bool unique) = 0;
    // 6: ends the connection when its last user leaves.
    virtual void UninitializeClient() = 0;
};

}  // namespace VireoClient

#pragma once
// The root of every interface: reference counting and query by interface identifier.
#include <cstdint>

#include "basekit/utility/Guid.h"

namespace Orb {
// Result of a query for an identifier the object does not answer to.
constexpr std::int32_t kUnknownInterface = static_cast<std::int32_t>(0xA00A0001u);
}  // namespace Orb

class OrbUnknown {
public:
    static constexpr basekit::utility::Guid kIID{"{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9}"};

    // Slot 0: adds one reference.
    virtual void AddRef() = 0;
    // Slot 1: drops one reference; the object is destroyed when none is left.
    virtual void Release() = 0;
    // Slot 2.
    virtual ~OrbUnknown() = default;
    // Slot 3: as QueryInterfaceNoRef, and on success adds a reference to the object returned.
    virtual std::int32_t QueryInterface(basekit::utility::Guid const& id, OrbUnknown** out) = 0;
    // Slot 4: 0 and *out = this object when `id` is one of its identifiers; otherwise
    // Orb::kUnknownInterface and *out = nullptr. Adds no reference.
    virtual std::int32_t QueryInterfaceNoRef(basekit::utility::Guid const& id,
                                             OrbUnknown** out) = 0;
};

inline constexpr basekit::utility::Guid const& IID_OrbUnknown = OrbUnknown::kIID;

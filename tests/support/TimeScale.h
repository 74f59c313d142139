#pragma once
// Time limits in tests: a limit that holds on a quiet machine is multiplied under the
// sanitizers (which slow everything down several times) and on a loaded machine. The factor
// comes from VIREO_TEST_TIME_SCALE (scripts/run-tests.sh sets it per preset); 1 when unset.
//
// Limits are for waits that must end ("the caller is released within a second"), never for
// speed: speed is measured in bench/. A test never sleeps to wait for something not to happen;
// it makes a round trip that in-order delivery puts after anything pending instead.
#include <chrono>
#include <cstdlib>

namespace vireo::test {

inline double TimeScale() {
    static double const scale = [] {
        char const* text = std::getenv("VIREO_TEST_TIME_SCALE");
        double const value = text != nullptr ? std::atof(text) : 1.0;
        return value >= 1.0 ? value : 1.0;
    }();
    return scale;
}

// `limit` scaled for this run.
inline std::chrono::milliseconds Scaled(std::chrono::milliseconds limit) {
    return std::chrono::milliseconds(static_cast<long long>(limit.count() * TimeScale()));
}
inline int ScaledMs(int limitMs) {
    return static_cast<int>(limitMs * TimeScale());
}

}  // namespace vireo::test

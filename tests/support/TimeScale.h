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
#include <thread>

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

// Polls `condition` every millisecond until it holds (true) or `limit`, scaled, has passed
// (false).
template <class Condition>
bool Eventually(Condition const& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto const deadline = std::chrono::steady_clock::now() + Scaled(limit);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vireo::test

#include "MovieLimits.h"

#include <limits>

#include "Log.h"
#include "basekit/debug/DebugDatabase.h"
#include "basekit/utility/Parse.h"

namespace vireo::server::movie {

namespace {

// The engine converts into frames of at most this many pixels across and down.
constexpr std::int64_t kLargestFrameDimension = 16384;

template <typename T>
void Read(char const* key, std::int64_t minimum, std::int64_t maximum, T& value) {
    std::string const text = basekit::debug::DebugDatabase::Instance().GetEntry(key, "");
    if (text.empty())
        return;
    std::int64_t parsed = 0;
    if (!basekit::utility::ParseInteger(text, parsed) || parsed < minimum || parsed > maximum) {
        Log("setting %s=\"%s\" ignored: not an integer from %lld to %lld", key, text.c_str(),
            static_cast<long long>(minimum), static_cast<long long>(maximum));
        return;
    }
    value = static_cast<T>(parsed);
}

}  // namespace

MovieLimits ReadMovieLimits() {
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    MovieLimits limits;
    Read(kOpenTimeLimitKey, 0, 3600000, limits.openTimeLimitMs);
    Read(kMaxFrameWidthKey, 1, kLargestFrameDimension, limits.maxFrameWidth);
    Read(kMaxFrameHeightKey, 1, kLargestFrameDimension, limits.maxFrameHeight);
    Read(kMaxMoviesKey, 1, kMost, limits.maxMoviesPerSession);
    Read(kMaxSharedBytesKey, 0, kMost, limits.maxSharedBytesPerSession);
    Read(kMaxHeldFramesKey, 0, kMost, limits.maxHeldFramesPerSession);
    Read(kOpensPerSessionKey, 1, 64, limits.opensPerSession);
    return limits;
}

}  // namespace vireo::server::movie

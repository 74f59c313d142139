#include "PartLock.h"

namespace crossprocess {
namespace detail {

namespace {
thread_local int tPartLockDepth = 0;
}  // namespace

bool PartLockHeld() {
    return tPartLockDepth > 0;
}

PartLock::PartLock(std::mutex& mutex) : mLock(mutex) {
    ++tPartLockDepth;
}

PartLock::~PartLock() {
    --tPartLockDepth;
}

}  // namespace detail
}  // namespace crossprocess

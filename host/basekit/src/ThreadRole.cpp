#include "basekit/threads/ThreadRole.h"

namespace basekit {
namespace threads {

namespace {
thread_local ThreadRole tRole = ThreadRole::kOther;
}

ThreadRole CurrentThreadRole() noexcept {
    return tRole;
}

ScopedThreadRole::ScopedThreadRole(ThreadRole role) noexcept : mPrevious(tRole) {
    tRole = role;
}

ScopedThreadRole::~ScopedThreadRole() {
    tRole = mPrevious;
}

}  // namespace threads
}  // namespace basekit

#pragma once
// Running a piece of a test as another user of this machine: a child process that gave up root
// for the user "nobody" (and its groups), so that the kernel treats it as a stranger.
#include <sys/types.h>

#include <functional>

namespace vireo::test {

// What RunAsOtherUser returns when this machine does not allow it (not root, no such user).
constexpr int kNoOtherUser = 77;

// The other user's ids; false when there is none.
bool OtherUser(uid_t& uid, gid_t& gid);

// Runs `work` in a child process as the other user and returns its result (the child's exit
// status), or kNoOtherUser. The child has one thread: `work` should make system calls and little
// else.
int RunAsOtherUser(std::function<int()> const& work);

}  // namespace vireo::test

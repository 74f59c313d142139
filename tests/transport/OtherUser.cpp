#include "OtherUser.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace vireo::test {

bool OtherUser(uid_t& uid, gid_t& gid) {
    passwd const* nobody = ::getpwnam("nobody");
    if (nobody == nullptr || nobody->pw_uid == ::geteuid()) {
        return false;
    }
    uid = nobody->pw_uid;
    gid = nobody->pw_gid;
    return true;
}

int RunAsOtherUser(std::function<int()> const& work) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (::geteuid() != 0 || !OtherUser(uid, gid)) {
        return kNoOtherUser;
    }
    pid_t const child = ::fork();
    if (child < 0) {
        return kNoOtherUser;
    }
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ||
            ::geteuid() != uid) {
            ::_exit(kNoOtherUser);
        }
        ::_exit(work());
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace vireo::test

#include "OneShotReadiness.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace basetransport {
namespace detail {

OneShotReadiness::OneShotReadiness(boost::asio::io_context& io, int fd, std::uint32_t events)
    : mFD(fd), mEvents(events), mSet(io) {
    int const set = ::epoll_create1(EPOLL_CLOEXEC);
    if (set < 0) {
        return;
    }
    // Added disarmed: nothing is reported before the first ArmAndWait.
    epoll_event event{};
    event.events = EPOLLONESHOT;
    if (::epoll_ctl(set, EPOLL_CTL_ADD, fd, &event) != 0) {
        ::close(set);
        return;
    }
    boost::system::error_code ec;
    mSet.assign(set, ec);
    if (ec) {
        ::close(set);
        return;
    }
    mSetFD = set;
}

bool OneShotReadiness::Arm() {
    epoll_event event{};
    event.events = mEvents | EPOLLONESHOT;
    return ::epoll_ctl(mSetFD, EPOLL_CTL_MOD, mFD, &event) == 0;
}

void OneShotReadiness::Taken() {
    mWaiting = false;
    // The report stays in the set until read here; reading it leaves the descriptor disarmed
    // (one-shot) and the set quiet for the event loop.
    epoll_event event{};
    while (::epoll_wait(mSetFD, &event, 1, 0) < 0 && errno == EINTR) {
    }
}

void OneShotReadiness::Disarm() {
    epoll_event event{};
    event.events = EPOLLONESHOT;
    (void)::epoll_ctl(mSetFD, EPOLL_CTL_MOD, mFD, &event);
}

void OneShotReadiness::Cancel() {
    boost::system::error_code ignored;
    mSet.cancel(ignored);
}

}  // namespace detail
}  // namespace basetransport

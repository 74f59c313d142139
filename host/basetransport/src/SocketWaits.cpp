#include "SocketWaits.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace basetransport {
namespace detail {

SocketWaits::SocketWaits(boost::asio::io_context& io, int fd, Mode mode)
    : mIo(io), mFD(fd), mMode(mode) {
    if (mode == Mode::kDirect) {
        auto descriptor = std::make_unique<boost::asio::posix::stream_descriptor>(io);
        boost::system::error_code ec;
        descriptor->assign(fd, ec);
        if (!ec) {
            mWaits[kRead].descriptor = std::move(descriptor);
            mOpen = true;
        }
        return;
    }
    // The write set is made at the first wait for room, which few sessions ever need.
    mOpen = MakeSet(kRead);
}

SocketWaits::~SocketWaits() {
    // The event loop lets go of the sets and of the socket before the socket is closed: its
    // number may be reused at once. For kDirect the descriptor object closes the socket itself.
    bool const closedWithDescriptor = mMode == Mode::kDirect && mOpen;
    for (Wait& wait : mWaits) {
        wait.descriptor.reset();
    }
    if (!closedWithDescriptor) {
        ::close(mFD);
    }
}

bool SocketWaits::MakeSet(Direction direction) {
    int const set = ::epoll_create1(EPOLL_CLOEXEC);
    if (set < 0) {
        return false;
    }
    // Added disarmed: nothing is reported before the first ArmAndWait.
    epoll_event event{};
    event.events = EPOLLONESHOT;
    if (::epoll_ctl(set, EPOLL_CTL_ADD, mFD, &event) != 0) {
        int const error = errno;
        ::close(set);
        errno = error;
        return false;
    }
    auto descriptor = std::make_unique<boost::asio::posix::stream_descriptor>(mIo);
    boost::system::error_code ec;
    descriptor->assign(set, ec);
    if (ec) {
        ::close(set);
        errno = ec.value();
        return false;
    }
    mWaits[direction].descriptor = std::move(descriptor);
    mWaits[direction].setFD = set;
    return true;
}

bool SocketWaits::Arm(Direction direction) {
    if (mWaits[direction].setFD < 0 && !MakeSet(direction)) {
        return false;
    }
    epoll_event event{};
    event.events = (direction == kRead ? EPOLLIN : EPOLLOUT) | EPOLLONESHOT;
    return ::epoll_ctl(mWaits[direction].setFD, EPOLL_CTL_MOD, mFD, &event) == 0;
}

void SocketWaits::Taken(Direction direction) {
    Wait& wait = mWaits[direction];
    wait.pending = false;
    if (wait.setFD < 0) {
        return;
    }
    // The report stays in the set until read here; reading it leaves the socket disarmed
    // (one-shot) and the set quiet for the event loop.
    epoll_event event{};
    while (::epoll_wait(wait.setFD, &event, 1, 0) < 0 && errno == EINTR) {
    }
}

void SocketWaits::Disarm() {
    int const set = mWaits[kRead].setFD;
    if (set < 0) {
        return;
    }
    epoll_event event{};
    event.events = EPOLLONESHOT;
    (void)::epoll_ctl(set, EPOLL_CTL_MOD, mFD, &event);
}

void SocketWaits::Cancel() {
    for (Wait& wait : mWaits) {
        if (wait.descriptor) {
            boost::system::error_code ignored;
            wait.descriptor->cancel(ignored);
        }
    }
}

}  // namespace detail
}  // namespace basetransport

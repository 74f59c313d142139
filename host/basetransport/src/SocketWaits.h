#pragma once
// Waiting in the event loop for a session's socket to become readable or writable.
//
// Two ways, chosen per session:
// - kOneShot: each direction sits alone in a small epoll set registered with EPOLLONESHOT, and
//   the event loop watches that set. Once a report is taken, or after Disarm(), the socket is
//   out of the event loop's sight until it is armed again, so readiness that another thread
//   takes care of (a caller reading its own answer from the socket) wakes no event-loop thread.
//   Arming and taking a report cost a system call each. For sessions whose callers may read.
// - kDirect: the socket itself is in the event loop's own set (edge-triggered), with no system
//   call to arm or to take a report; every readiness wakes the event loop, also one that a
//   leading caller takes (whose wake-up then finds nothing to do). For sessions nobody leads.
#include <array>
#include <cstdint>
#include <memory>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/system/error_code.hpp>

namespace basetransport {
namespace detail {

class SocketWaits {
  public:
    enum class Mode { kOneShot, kDirect };
    enum Direction { kRead = 0, kWrite = 1 };

    // Owns the socket `fd` from here on, also when the waits cannot be set up.
    SocketWaits(boost::asio::io_context& io, int fd, Mode mode);
    ~SocketWaits();  // closes the socket, after the event loop has let go of it
    SocketWaits(SocketWaits const&) = delete;
    SocketWaits& operator=(SocketWaits const&) = delete;

    // False when the waits could not be set up; nothing else may be called then.
    bool IsOpen() const { return mOpen; }

    // The calls below are not thread-safe against each other except Disarm: the owner makes
    // them under one lock.

    // Arms the direction for one report and starts a wait in the event loop unless one is
    // pending for it. `handler(error_code)` runs on an event-loop thread once the socket is
    // ready that way (or hung up), or soon after Cancel(); it must call Taken(direction) under
    // the owner's lock before anything else. False (errno set) when it could not be armed.
    template <typename Handler>
    bool ArmAndWait(Direction direction, Handler&& handler) {
        Wait& wait = mWaits[direction];
        if (mMode == Mode::kOneShot && !Arm(direction)) {
            return false;
        }
        if (!wait.pending) {
            wait.pending = true;
            auto& descriptor = mMode == Mode::kDirect ? mWaits[kRead].descriptor : wait.descriptor;
            descriptor->async_wait(mMode == Mode::kDirect && direction == kWrite
                                       ? boost::asio::posix::stream_descriptor::wait_write
                                       : boost::asio::posix::stream_descriptor::wait_read,
                                   std::forward<Handler>(handler));
        }
        return true;
    }
    // Takes the report, if any, and notes that no wait is pending any more for the direction.
    void Taken(Direction direction);
    // Takes the socket's readability out of the event loop's sight until the next ArmAndWait
    // for reading (kOneShot; nothing for kDirect). A pending wait stays pending. Safe from any
    // thread.
    void Disarm();
    // Ends the pending waits: their handlers run soon with an error.
    void Cancel();

  private:
    struct Wait {
        std::unique_ptr<boost::asio::posix::stream_descriptor> descriptor;
        int setFD = -1;  // kOneShot: the epoll set's descriptor (owned by `descriptor`)
        bool pending = false;
    };
    // Makes the epoll set of a direction (kOneShot), with the socket in it disarmed.
    bool MakeSet(Direction direction);
    bool Arm(Direction direction);

    boost::asio::io_context& mIo;
    int const mFD;
    Mode const mMode;
    bool mOpen = false;
    std::array<Wait, 2> mWaits;
};

}  // namespace detail
}  // namespace basetransport

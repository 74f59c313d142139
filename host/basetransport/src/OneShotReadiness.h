#pragma once
// Waiting in the event loop for one kind of readiness of a descriptor, one report per arming.
//
// The descriptor is not in the event loop's own epoll set: it sits alone in a small epoll set
// registered with EPOLLONESHOT, and the event loop watches that set. Once a report is taken, or
// after Disarm(), the descriptor is out of the event loop's sight until it is armed again, so
// readiness that another thread takes care of (a caller reading its own answer from the socket)
// wakes no event-loop thread.
#include <cstdint>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/system/error_code.hpp>

namespace basetransport {
namespace detail {

class OneShotReadiness {
  public:
    // `events`: EPOLLIN or EPOLLOUT (a hang-up or an error is reported either way). The
    // descriptor stays owned by the caller and must outlive this object's waits.
    OneShotReadiness(boost::asio::io_context& io, int fd, std::uint32_t events);
    OneShotReadiness(OneShotReadiness const&) = delete;
    OneShotReadiness& operator=(OneShotReadiness const&) = delete;

    // False when the set could not be made; nothing else may be called then.
    bool IsOpen() const { return mSetFD >= 0; }

    // The calls below are not thread-safe against each other except Disarm: the owner makes
    // them under one lock.

    // Arms the descriptor for one report and starts a wait in the event loop unless one is
    // pending. `handler(error_code)` runs on an event-loop thread once the descriptor is ready,
    // or soon after Cancel(); it must call Taken() under the owner's lock before anything else.
    // False (errno set) when the descriptor could not be armed.
    template <typename Handler>
    bool ArmAndWait(Handler&& handler) {
        if (!Arm()) {
            return false;
        }
        if (!mWaiting) {
            mWaiting = true;
            mSet.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                            std::forward<Handler>(handler));
        }
        return true;
    }
    // Takes the report the set holds, if any, and notes that no wait is pending any more.
    void Taken();
    // Takes the descriptor out of the event loop's sight until the next ArmAndWait. A pending
    // wait stays pending. Safe from any thread.
    void Disarm();
    // Ends a pending wait: its handler runs soon with an error.
    void Cancel();

  private:
    bool Arm();

    int const mFD;
    std::uint32_t const mEvents;
    boost::asio::posix::stream_descriptor mSet;  // owns the set's descriptor
    int mSetFD = -1;
    bool mWaiting = false;
};

}  // namespace detail
}  // namespace basetransport

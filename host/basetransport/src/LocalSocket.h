#pragma once
// Unix domain sockets in the user's private folder (LocalFolder.h): each listener is the file
// "<port>.sock" there, so that host-and-port addresses keep their meaning on this machine while
// the folder's mode keeps other users out.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace basetransport {
namespace detail {

using Clock = std::chrono::steady_clock;

// Who is at the other end of a connected socket, as the kernel recorded it when the peer
// connected (a client) or started listening (a server).
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
};
bool ReadPeerCredentials(int fd, PeerCredentials& out);

// A listening socket (non-blocking, close-on-exec) bound as `port` in `folder`; with port 0 a
// free port is chosen. Listeners left behind by processes that have gone are removed first.
struct BoundListener {
    int fd = -1;
    std::uint16_t port = 0;
    std::string path;
    ino_t inode = 0;  // of the socket file, to remove only our own when done
    std::string error;
};
BoundListener BindListener(std::string const& folder, std::uint16_t port);
// Removes the listener's file if it is still the one bound (and closes nothing).
void RemoveListenerFile(std::string const& path, ino_t inode);

// Connects to the listener at `path` (blocking until the deadline at most). Returns a connected
// socket in non-blocking mode (close-on-exec), or -1 with `error`.
int ConnectListener(std::string const& path, Clock::time_point deadline, std::string& error);

enum class ProbeResult { Listening, Absent, Unknown };
// Whether something listens at `path`, without waiting: Listening with the listener's
// credentials, Absent when the file is missing or nobody listens on it.
ProbeResult ProbeListener(std::string const& path, PeerCredentials* listener);

// Removes the listener files of `folder` that nobody listens on any more (and any file of that
// form that another user put there). Serialised with other processes doing the same.
void RemoveStaleListeners(std::string const& folder);

}  // namespace detail
}  // namespace basetransport

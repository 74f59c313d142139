#pragma once
// The calling user's private folder: a directory of mode 0700, owned by the user, that holds the
// transport's listening sockets and hostlink's server registry. Other users can neither connect
// to a socket in it nor read anything in it.
//
// Where it is:
//   1. $CORVIDHOST_REGISTRY_DIR when set: used as it is or refused (it must be a real directory
//      owned by the user and not writable by group or others; it is created with mode 0700 when
//      missing).
//   2. Otherwise $XDG_RUNTIME_DIR/corvidhost when XDG_RUNTIME_DIR is set, else
//      <home>/.corvidhost (home: $HOME, or the user's home from the password database). A folder
//      of that name that is not the user's own (made in advance by another user, a symlink, a
//      file) is moved aside to "<name>.foreign-<random>" when the parent directory belongs to the
//      user, and a fresh folder is made; one with a wrong mode is set to 0700. So nobody else can
//      lock the user out by creating the folder first.
#include <cstdint>
#include <string>

namespace basetransport {

// The private folder (created or repaired as above), or empty with a reason in `error`.
std::string PrivateFolder(std::string& error);
std::string PrivateFolder();

// Checks that `dir` can hold secrets: a real directory (not a symlink) owned by this user and not
// writable by group or others. Creates it with mode 0700 when it does not exist (its parent must).
// Changes nothing else. False with a message otherwise.
bool CheckPrivateFolder(std::string const& dir, std::string& error);

// The file of the socket that listens as `port` in `folder`.
std::string ListenerPath(std::string const& folder, std::uint16_t port);

// Whether something listens as `port` in `folder`, found without waiting (the listener sees a
// connection that closes at once). Listening gives the listener's process id, from the kernel,
// in `pid`; Absent means that no listener of this user is there; Unknown, that it could not be
// asked (its queue is full, for example).
enum class ListenerState { Listening, Absent, Unknown };
ListenerState ProbeListener(std::string const& folder, std::uint16_t port, std::int64_t& pid);

}  // namespace basetransport

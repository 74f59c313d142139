// Another user of this machine, where the private folder is opened to it: the server turns it
// away before any handshake. (That the folder keeps it out is shown with the real server, in
// tests/hostlink.)
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "OtherUser.h"
#include "TestSupport.h"
#include "basetransport/LocalFolder.h"

namespace vireo::test::transport {
namespace {

sockaddr_un AddressOf(std::string const& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// Restores the folder's and the listener's modes when the test ends.
class OpenedUp {
  public:
    OpenedUp(std::string folder, std::string listener)
        : mFolder(std::move(folder)), mListener(std::move(listener)) {
        ::chmod(mFolder.c_str(), 0711);
        ::chmod(mListener.c_str(), 0777);
    }
    ~OpenedUp() {
        ::chmod(mListener.c_str(), 0600);
        ::chmod(mFolder.c_str(), 0700);
    }

  private:
    std::string const mFolder;
    std::string const mListener;
};

// With the folder and the listener opened to everybody, the server itself closes another
// user's connections at once, unanswered even when they bring the right token, and they take
// none of the handshake slots: well over the cap of silent ones leave this user's clients free.
TEST(TransportOtherUser, IsTurnedAwayBeforeAnyHandshake) {
    Loopback loop;
    // A slot taken by a silent connection would stay taken for the whole test.
    loop.serverTransport->SetHandshakeTimeout(Bound(Milliseconds(60000)));
    std::string const listener = ListenerFile(loop.port);
    OpenedUp opened(basetransport::PrivateFolder(), listener);
    sockaddr_un const address = AddressOf(listener);
    std::string const greeting = Hello(loop.token, basetransport::kProtocolVersion);
    timeval const patience{static_cast<time_t>(Bound(Milliseconds(20000)).count() / 1000), 0};
    constexpr int kSilent = 2 * basetransport::SocketTransport::kMaxPendingHandshakes;

    int const result = RunAsOtherUser([&] {
        static int fds[kSilent + 1];
        for (int& fd : fds) {
            fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            if (::connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof address) != 0) {
                return 1;
            }
        }
        // The last one greets properly, with the right token.
        if (::send(fds[kSilent], greeting.data(), greeting.size(), MSG_NOSIGNAL) < 0 &&
            errno != EPIPE) {
            return 2;
        }
        for (int fd : fds) {
            char byte;
            ssize_t const n = ::read(fd, &byte, 1);
            if (n > 0) {
                return 3;  // answered
            }
            if (n < 0 && errno != ECONNRESET) {
                return 4;  // left open (the wait timed out)
            }
        }
        return 0;
    });
    if (result == kNoOtherUser) {
        GTEST_SKIP() << "this machine does not let a test run as another user";
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(loop.SessionCount(), 0u);

    auto const start = Clock::now();
    basemarshal::RPCClient client(loop.Connect(), u"test");
    EXPECT_EQ(Call(client, "Echo", basekit::serialization::VariantArray())->results, 1);
    EXPECT_LT(Clock::now() - start, Bound(Milliseconds(2000)));
}

}  // namespace
}  // namespace vireo::test::transport

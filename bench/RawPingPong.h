#pragma once
// The reference of bench_library_roundtrip: a raw ping-pong with a child process that echoes,
// over the same kind of socket as the library's sessions (a Unix domain socket), with answers
// received on the calling thread or handed to it from a receiving thread.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/scope_exit.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SystemBench.h"
#include "basekit/threads/SyncPoint.h"

namespace vireo::bench {

inline bool SendAll(int fd, char const* data, std::size_t size) {
    while (size > 0) {
        ssize_t const n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

inline bool ReceiveAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        ssize_t const n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The echoing child's main: prints the path it listens at (in a private temporary directory),
// accepts one connection, reads the request and answer sizes, then answers each request of that
// many bytes with an answer of the other size, until the peer closes.
inline int RunEcho() {
    char directory[] = "/tmp/vireo-bench-echo-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        return 1;
    }
    std::string const path = std::string(directory) + "/echo.sock";
    int const listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0) {
        ::rmdir(directory);
        return 1;
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    int const fd = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    ::unlink(path.c_str());
    ::rmdir(directory);
    if (fd < 0) {
        return 1;
    }
    std::uint64_t sizes[2];
    if (!ReceiveAll(fd, reinterpret_cast<char*>(sizes), sizeof sizes) || sizes[0] > (1u << 20) ||
        sizes[1] > (1u << 20)) {
        return 1;
    }
    std::vector<char> request(sizes[0]);
    std::vector<char> answer(sizes[1], 'x');
    while (ReceiveAll(fd, request.data(), request.size()) &&
           SendAll(fd, answer.data(), answer.size())) {
    }
    ::close(fd);
    return 0;
}

// Processor usage of the receiving threads that have ended; each adds its own as it ends, since
// a thread that has ended can no longer be read.
inline std::atomic<std::uint64_t>& EndedReceiverNanoseconds() {
    static std::atomic<std::uint64_t> value{0};
    return value;
}
inline std::atomic<std::uint64_t>& EndedReceiverRuns() {
    static std::atomic<std::uint64_t> value{0};
    return value;
}
inline Usage EndedReceiversUsage() {
    return {EndedReceiverNanoseconds().load(), EndedReceiverRuns().load()};
}

// A child process running RunEcho() (started by running this program again with `echoFlag`),
// and the connection to it.
class RawPeer {
  public:
    enum class HandOff { Rendezvous, Lean };

    ~RawPeer() { Stop(); }

    // Call before any thread exists (it forks).
    bool Start(char const* self, char const* echoFlag) {
        int fromChild[2];
        if (::pipe(fromChild) != 0) {
            return false;
        }
        mChild = ::fork();
        if (mChild == 0) {
            ::dup2(fromChild[1], 1);
            ::close(fromChild[0]);
            ::execl("/proc/self/exe", self, echoFlag, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fromChild[1]);
        FILE* childOut = ::fdopen(fromChild[0], "r");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        bool const read =
            childOut != nullptr &&
            std::fgets(address.sun_path, sizeof address.sun_path, childOut) != nullptr;
        if (childOut != nullptr) {
            std::fclose(childOut);
        }
        if (mChild < 0 || !read) {
            return false;
        }
        address.sun_path[std::strcspn(address.sun_path, "\n")] = '\0';
        mFD = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return ::connect(mFD, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

    pid_t Child() const { return mChild; }

    bool SetSizes(std::uint64_t request, std::uint64_t answer) {
        mOut.assign(request, 'x');
        mIn.resize(answer);
        std::uint64_t const sizes[2] = {request, answer};
        return SendAll(mFD, reinterpret_cast<char const*>(sizes), sizeof sizes);
    }

    // Microseconds per round trip over `count` round trips; negative on failure.
    double Round(int count) {
        auto const start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            if (!SendAll(mFD, mOut.data(), mOut.size()) ||
                !ReceiveAll(mFD, mIn.data(), mIn.size())) {
                return -1;
            }
        }
        return Microseconds(start) / count;
    }

    // As Round, but each answer is received on a second thread, which hands it to the waiting
    // caller as the library hands an answer from its transport thread to its caller: through a
    // basekit SyncPoint made per call (Rendezvous), or through a condition variable signalled
    // after its mutex is released (Lean). Shows what the hand-off itself costs.
    double RoundWithHandOff(int count, HandOff kind) {
        std::atomic<basekit::threads::SyncPoint*> meeting{nullptr};
        std::atomic<bool> failed{false};
        std::mutex mutex;
        std::condition_variable answered;
        int received = 0;  // guarded by mutex
        std::thread receiver([&] {
            BOOST_SCOPE_EXIT_ALL() {
                Usage const used = ReadThreadUsage("/proc/thread-self/schedstat");
                EndedReceiverNanoseconds() += used.nanoseconds;
                EndedReceiverRuns() += used.runs;
            };
            // Every call the caller makes is answered, also a failed one: the caller stops
            // after it, and so does this thread.
            for (int i = 0; i < count; ++i) {
                bool const ok = ReceiveAll(mFD, mIn.data(), mIn.size());
                if (!ok) {
                    failed.store(true);
                }
                if (kind == HandOff::Rendezvous) {
                    meeting.load()->Wait();  // published by the caller before it sent
                } else {
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        ++received;
                    }
                    answered.notify_one();
                }
                if (!ok) {
                    return;
                }
            }
        });
        // A failed send ends the receiver's read (shutdown), so that it answers this call too.
        auto send = [&] {
            if (!SendAll(mFD, mOut.data(), mOut.size())) {
                failed.store(true);
                ::shutdown(mFD, SHUT_RDWR);
            }
        };
        auto const start = std::chrono::steady_clock::now();
        for (int i = 0; i < count && !failed.load(); ++i) {
            if (kind == HandOff::Rendezvous) {
                basekit::threads::SyncPoint meet(2);
                meeting.store(&meet);
                send();
                meet.Wait();
            } else {
                send();
                std::unique_lock<std::mutex> lock(mutex);
                answered.wait(lock, [&] { return received > i; });
            }
        }
        double const elapsed = Microseconds(start) / count;
        receiver.join();
        return failed.load() ? -1 : elapsed;
    }

    // Closes the connection (the child then ends) and reaps the child.
    void Stop() {
        if (mFD >= 0) {
            ::close(mFD);
            mFD = -1;
        }
        if (mChild > 0) {
            int status = 0;
            ::waitpid(mChild, &status, 0);
            mChild = -1;
        }
    }

  private:
    static double Microseconds(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count();
    }

    pid_t mChild = -1;
    int mFD = -1;
    std::vector<char> mOut;
    std::vector<char> mIn;
};

}  // namespace vireo::bench

#pragma once
// A gate that threads pass while it is open and wait at while it is closed.
#include <condition_variable>
#include <mutex>

namespace basekit {
namespace threads {

class Gate {
public:
    explicit Gate(bool open);
    ~Gate();
    Gate(Gate const&) = delete;
    Gate& operator=(Gate const&) = delete;

    void Open();
    void Close();
    bool IsOpen() const;
    // Returns when the gate is open (true) or after timeoutMs milliseconds (false); a negative
    // time-out waits without limit, 0 only looks.
    bool PassThrough(int timeoutMs);

private:
    mutable std::mutex mMutex;
    std::condition_variable mOpened;
    std::condition_variable mLeft;
    bool mOpen;
    unsigned mInside = 0;
};

}  // namespace threads
}  // namespace basekit

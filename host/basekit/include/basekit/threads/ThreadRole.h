#pragma once
// What a thread is for, so that rules such as "a blocking call is never made on a thread that
// delivers answers" are checked, not only written down.
//
// The libraries that own threads mark them for their lifetime with a ScopedThreadRole: the
// transport's workers (which run RPC answers and errors) and the shared-data layer's threads
// (which run data notifications). Every other thread is kOther.
namespace basekit {
namespace threads {

enum class ThreadRole {
    kOther,       // callers' threads and every thread no library marked
    kDelivery,    // runs RPC answers, errors, session handlers (transport workers)
    kSharedData,  // runs data notifications and their start actions
};

// The role of the calling thread.
ThreadRole CurrentThreadRole() noexcept;

// True on a thread that runs handlers: a call that blocks until a handler has run would wait
// for itself (or for a thread it stops) there.
inline bool IsHandlerThread() noexcept {
    return CurrentThreadRole() != ThreadRole::kOther;
}

// Gives the calling thread `role` until destroyed, then restores the role it had.
class ScopedThreadRole {
  public:
    explicit ScopedThreadRole(ThreadRole role) noexcept;
    ~ScopedThreadRole();
    ScopedThreadRole(ScopedThreadRole const&) = delete;
    ScopedThreadRole& operator=(ScopedThreadRole const&) = delete;

  private:
    ThreadRole mPrevious;
};

}  // namespace threads
}  // namespace basekit

#pragma once
// The object model shared by every class of the host libraries and the library: answering queries
// by interface identifier, reference counting of private (heap) objects, and the process-wide
// shared objects that are built on first use and destroyed with their last reference.
//
// Queries: a class answers QueryInterfaceNoRef for an ordered list of identifiers (its own class
// identifier, its interface's, its base implementation class's, then OrbUnknown's); each gives the
// same object pointer. AnswerQuery does this from the list; AnswerQueryWithRef adds the reference
// that QueryInterface hands out.
//
// Private objects: PrivateImplementation<T, Base> gives T an unsigned 32-bit atomic count that
// starts at 0; the release that brings it back to 0 deletes the object.
//
// Shared objects: SharedObject<T> keeps, per class T,
//  - a signed 32-bit atomic state counter, kAbsent (-10000000) while no object exists, otherwise
//    the number of references plus the number of Get calls under way;
//  - a process-wide recursive lock, made on first use and installed by compare-and-swap (a thread
//    that loses the race destroys the lock it made); it is never destroyed;
//  - static storage for the object.
// Get: add 1 to the counter; if the result is negative (no object), take the lock and, if the
// counter is still negative, build the object in the storage and add 10000000; release the lock;
// add the reference of the returned holder; subtract the 1 added first. Because that 1 is added
// before the object is looked at, an object that a concurrent Get can see is never destroyed.
// Release: subtract 1; when that leaves 0, take the lock and, only if the counter can be changed
// from 0 to kAbsent in one compare-and-swap, run the destructor and clear the storage; release the
// lock. A later Get builds a new object.
// The destructor of T runs with T's lock held. It may release shared objects of OTHER classes
// (each class has its own lock), but must not use SharedObject<T> of its own class, and no thread
// may wait for a thread that is inside SharedObject<T>::Get while holding T's lock in a cycle of
// classes (for example A's destructor releasing B while B's destructor releases A).
//
// SharedImplementation<T, Base> is a CRTP base that routes T's AddRef/Release to SharedObject<T>.
// Both CRTP bases answer queries from T::kInterfaceIds, a sequence of Guid values in query order.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "Orb/InterfaceRef.h"
#include "Orb/OrbUnknown.h"
#include "basekit/threads/RecursiveMutex.h"
#include "basekit/utility/Guid.h"

namespace Orb {

// ---- Queries ------------------------------------------------------------------------------------

// 0 and *out = `self` when `id` is one of `ids`; otherwise Orb::kUnknownInterface and *out = null.
// Adds no reference.
template <class Self>
std::int32_t AnswerQuery(Self* self, basekit::utility::Guid const& id, OrbUnknown** out,
                         std::initializer_list<basekit::utility::Guid const*> ids) {
    if (out == nullptr) {
        return Orb::kUnknownInterface;
    }
    for (basekit::utility::Guid const* candidate : ids) {
        if (candidate != nullptr && *candidate == id) {
            *out = static_cast<OrbUnknown*>(self);
            return 0;
        }
    }
    *out = nullptr;
    return Orb::kUnknownInterface;
}

// As AnswerQuery over a sequence of Guid values (an array or std::array).
template <class Self, class Ids>
std::int32_t AnswerQueryFrom(Self* self, basekit::utility::Guid const& id, OrbUnknown** out,
                             Ids const& ids) {
    if (out == nullptr) {
        return Orb::kUnknownInterface;
    }
    for (basekit::utility::Guid const& candidate : ids) {
        if (candidate == id) {
            *out = static_cast<OrbUnknown*>(self);
            return 0;
        }
    }
    *out = nullptr;
    return Orb::kUnknownInterface;
}

// QueryInterface from the object's own QueryInterfaceNoRef: on success adds one reference to the
// object returned.
template <class Self>
std::int32_t AnswerQueryWithRef(Self* self, basekit::utility::Guid const& id, OrbUnknown** out) {
    std::int32_t const result = self->QueryInterfaceNoRef(id, out);
    if (result >= 0 && out != nullptr && *out != nullptr) {
        (*out)->AddRef();
    }
    return result;
}

// ---- Shared objects -----------------------------------------------------------------------------

template <class T>
class SharedObject {
  public:
    static constexpr std::int32_t kAbsent = -10000000;

    // The shared object, built if none exists, with one reference for the holder.
    static InterfaceRef<T> Get() {
        std::atomic<std::int32_t>& state = State();
        if (state.fetch_add(1) + 1 < 0) {
            std::lock_guard<basekit::threads::RecursiveMutex> lock(Lock());
            if (state.load() < 0) {
                try {
                    ::new (static_cast<void*>(&Storage())) T();
                } catch (...) {
                    state.fetch_sub(1);
                    throw;
                }
                state.fetch_add(-kAbsent);
            }
        }
        InterfaceRef<T> holder(Object());
        state.fetch_sub(1);
        return holder;
    }

    static void AddRef() { State().fetch_add(1); }

    static void Release() {
        std::atomic<std::int32_t>& state = State();
        if (state.fetch_sub(1) - 1 != 0) {
            return;
        }
        std::lock_guard<basekit::threads::RecursiveMutex> lock(Lock());
        std::int32_t expected = 0;
        if (state.compare_exchange_strong(expected, kAbsent)) {
            Object()->~T();
            std::memset(static_cast<void*>(&Storage()), 0, sizeof(StorageType));
        }
    }

    // True while an object exists (or is being built or destroyed). For diagnostics and tests.
    static bool Exists() { return State().load() >= 0; }
    // The raw state counter. For diagnostics and tests.
    static std::int32_t GetState() { return State().load(); }

  private:
    using StorageType = std::aligned_storage_t<sizeof(T), alignof(T)>;

    // Function-local statics of constant-initialised types: ready before any dynamic
    // initialisation, so a shared object may be used from static constructors too.
    static std::atomic<std::int32_t>& State() {
        static std::atomic<std::int32_t> state{kAbsent};
        return state;
    }
    static StorageType& Storage() {
        static StorageType storage;
        return storage;
    }
    static T* Object() { return std::launder(reinterpret_cast<T*>(&Storage())); }

    static basekit::threads::RecursiveMutex& Lock() {
        static std::atomic<basekit::threads::RecursiveMutex*> installed{nullptr};
        basekit::threads::RecursiveMutex* lock = installed.load(std::memory_order_acquire);
        if (lock == nullptr) {
            auto* mine = new basekit::threads::RecursiveMutex;
            if (installed.compare_exchange_strong(lock, mine, std::memory_order_acq_rel,
                                                  std::memory_order_acquire)) {
                lock = mine;
            } else {
                delete mine;  // another thread installed its lock first; `lock` holds it
            }
        }
        return *lock;
    }
};

// CRTP base of a shared class T implementing Base (an interface or a base implementation class).
// T must be default-constructible by SharedObject<T> and define kInterfaceIds.
template <class T, class Base>
class SharedImplementation : public Base {
  public:
    using Base::Base;

    void AddRef() override { SharedObject<T>::AddRef(); }
    void Release() override { SharedObject<T>::Release(); }
    std::int32_t QueryInterfaceNoRef(basekit::utility::Guid const& id, OrbUnknown** out) override {
        return AnswerQueryFrom(static_cast<T*>(this), id, out, T::kInterfaceIds);
    }
    std::int32_t QueryInterface(basekit::utility::Guid const& id, OrbUnknown** out) override {
        return AnswerQueryWithRef(this, id, out);
    }

    static InterfaceRef<T> Get() { return SharedObject<T>::Get(); }
};

// ---- Private objects ----------------------------------------------------------------------------

// CRTP base of a private class T implementing Base: made on the heap with Make, deleted by the
// release that brings its count back to 0. T must define kInterfaceIds.
template <class T, class Base>
class PrivateImplementation : public Base {
  public:
    using Base::Base;

    void AddRef() override { mRefCount.fetch_add(1, std::memory_order_relaxed); }
    void Release() override {
        if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete static_cast<T*>(this);
        }
    }
    std::int32_t QueryInterfaceNoRef(basekit::utility::Guid const& id, OrbUnknown** out) override {
        return AnswerQueryFrom(static_cast<T*>(this), id, out, T::kInterfaceIds);
    }
    std::int32_t QueryInterface(basekit::utility::Guid const& id, OrbUnknown** out) override {
        return AnswerQueryWithRef(this, id, out);
    }

    // A new object with the holder's reference.
    template <class... Args>
    static InterfaceRef<T> Make(Args&&... args) {
        return InterfaceRef<T>(new T(std::forward<Args>(args)...));
    }

  private:
    std::atomic<std::uint32_t> mRefCount{0};
};

}  // namespace Orb

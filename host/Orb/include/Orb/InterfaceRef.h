#pragma once
// InterfaceRef<T, I>: holder of one reference to an object of class or interface T reached through
// interface I. Copying adds a reference; destruction or reset releases it. Converting a holder to
// another type asks the object's QueryInterfaceNoRef for the target's identifier (T::kIID) and
// moves the reference into the new holder (a copy-conversion adds one); a failed query gives an
// empty holder and no reference is gained or lost. Using an empty holder throws
// Orb::NullInterfaceException.
#include <type_traits>
#include <utility>

#include "Orb/Exception.h"
#include "Orb/OrbUnknown.h"

template <class T, class I = T>
class InterfaceRef {
public:
    using element_type = T;

    InterfaceRef() noexcept = default;
    InterfaceRef(std::nullptr_t) noexcept {}
    // Takes a new reference on `object`.
    explicit InterfaceRef(T* object) : mObject(object) {
        if (mObject) {
            AsUnknown(mObject)->AddRef();
        }
    }
    InterfaceRef(InterfaceRef const& other) : InterfaceRef(other.mObject) {}
    InterfaceRef(InterfaceRef&& other) noexcept : mObject(other.mObject) { other.mObject = nullptr; }

    // Conversion from a holder of another type (through QueryInterfaceNoRef).
    template <class U, class J, class = std::enable_if_t<!std::is_same<T, U>::value>>
    InterfaceRef(InterfaceRef<U, J> const& other) {
        T* found = Query<U, J>(other.get());
        if (found) {
            AsUnknown(found)->AddRef();
            mObject = found;
        }
    }
    template <class U, class J, class = std::enable_if_t<!std::is_same<T, U>::value>>
    InterfaceRef(InterfaceRef<U, J>&& other) {
        T* found = Query<U, J>(other.get());
        if (found) {
            mObject = found;
            other.Detach();
        }
    }

    ~InterfaceRef() { reset(); }

    InterfaceRef& operator=(InterfaceRef other) noexcept {
        std::swap(mObject, other.mObject);
        return *this;
    }

    // Takes over a reference the caller already owns (no AddRef).
    static InterfaceRef Adopt(T* object) noexcept {
        InterfaceRef ref;
        ref.mObject = object;
        return ref;
    }
    void Attach(T* object) noexcept {
        reset();
        mObject = object;
    }
    // Gives up the reference without releasing it.
    T* Detach() noexcept {
        T* object = mObject;
        mObject = nullptr;
        return object;
    }

    void reset() noexcept {
        if (mObject) {
            T* object = mObject;
            mObject = nullptr;
            AsUnknown(object)->Release();
        }
    }

    T* get() const noexcept { return mObject; }
    T* operator->() const {
        if (!mObject) {
            throw Orb::NullInterfaceException();
        }
        return mObject;
    }
    T& operator*() const { return *operator->(); }
    explicit operator bool() const noexcept { return mObject != nullptr; }
    bool IsEmpty() const noexcept { return mObject == nullptr; }

    friend bool operator==(InterfaceRef const& a, InterfaceRef const& b) noexcept {
        return a.mObject == b.mObject;
    }
    friend bool operator!=(InterfaceRef const& a, InterfaceRef const& b) noexcept {
        return a.mObject != b.mObject;
    }

private:
    // The OrbUnknown of `object`, reached through interface J when U derives from it, so that a
    // class implementing several interfaces (each with its own OrbUnknown base) is unambiguous.
    template <class U, class J>
    static OrbUnknown* ToUnknown(U* object) noexcept {
        if constexpr (std::is_base_of<J, U>::value) {
            return static_cast<OrbUnknown*>(static_cast<J*>(object));
        } else {
            return static_cast<OrbUnknown*>(object);
        }
    }
    static OrbUnknown* AsUnknown(T* object) noexcept { return ToUnknown<T, I>(object); }

    template <class U, class J>
    static T* Query(U* source) {
        if (!source) {
            return nullptr;
        }
        OrbUnknown* out = nullptr;
        if (ToUnknown<U, J>(source)->QueryInterfaceNoRef(T::kIID, &out) < 0 || !out) {
            return nullptr;
        }
        if constexpr (std::is_base_of<I, T>::value) {
            return static_cast<T*>(static_cast<I*>(out));
        } else {
            return static_cast<T*>(out);
        }
    }

    T* mObject = nullptr;
};

#pragma once
// A move-only owner of one operating-system handle. Traits give the handle type, its invalid
// value and how to release it, so every HANDLE, HKEY, SOCKET or descriptor is released on
// every path out of the scope that owns it.

#include <utility>

template <class Traits> class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
    explicit UniqueHandle(Handle h) noexcept : handle_(h) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Take()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            Reset(other.Take());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }

    bool IsValid() const noexcept { return handle_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }
    Handle Get() const noexcept { return handle_; }

    // Gives up ownership without releasing.
    Handle Take() noexcept { return std::exchange(handle_, Traits::Invalid()); }

    void Reset(Handle h = Traits::Invalid()) noexcept {
        Handle old = std::exchange(handle_, h);
        if (old != Traits::Invalid())
            Traits::Close(old);
    }

private:
    Handle handle_;
};

// One owner for a handle of any kind, so that every path out of a function
// releases what it holds. The traits of a handle kind say what its handle
// type is, which value holds nothing, and how a held one is released:
//
//   struct CurlTraits {
//       using Handle = CURL*;
//       static constexpr Handle Empty() { return nullptr; }
//       static void Release(Handle h) { curl_easy_cleanup(h); }
//   };
//   using CurlHandle = Korvel::KHandle<CurlTraits>;
//
// A pointer released by a plain function needs no traits of its own:
// KHandle<KPointerTraits<CURL, &curl_easy_cleanup>>. Descriptors (-1 empty)
// and registry keys fit the same way.
#pragma once

#include <utility>

namespace Korvel {

template <typename Traits>
class KHandle {
public:
    using Handle = typename Traits::Handle;

    KHandle() noexcept = default;
    explicit KHandle(Handle handle) noexcept : m_handle(handle) {}
    ~KHandle() { reset(); }

    KHandle(const KHandle&) = delete;
    KHandle& operator=(const KHandle&) = delete;
    KHandle(KHandle&& other) noexcept : m_handle(other.release()) {}
    KHandle& operator=(KHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Handle get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != Traits::Empty(); }

    // Releases the held handle, if any, and takes `handle`.
    void reset(Handle handle = Traits::Empty()) noexcept {
        const Handle old = std::exchange(m_handle, handle);
        if (old != Traits::Empty()) Traits::Release(old);
    }
    // Gives the handle up without releasing it.
    Handle release() noexcept { return std::exchange(m_handle, Traits::Empty()); }
    // For a function that returns a new handle through a pointer
    // (RegOpenKeyEx, pipe): releases the held one and lends the slot.
    Handle* out() noexcept {
        reset();
        return &m_handle;
    }

private:
    Handle m_handle = Traits::Empty();
};

// Traits of a pointer released by one function.
template <typename T, auto Release_>
struct KPointerTraits {
    using Handle = T*;
    static constexpr Handle Empty() noexcept { return nullptr; }
    static void Release(Handle handle) noexcept { Release_(handle); }
};

}  // namespace Korvel

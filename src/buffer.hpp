// Memory for payloads and messages, which can be tens of megabytes. Pure: no Python, no sockets.
#pragma once

#include <cstddef>
#include <new>

namespace engine::buffer {

// Blocks of at least this size are mapped on their own and advised onto transparent huge pages.
inline constexpr std::size_t large_block = std::size_t(4) << 20;

// A large block comes from its own mapping, aligned to 2 MiB and advised for huge pages: filling a fresh
// 40 MB buffer then takes some twenty page faults instead of ten thousand, and on a virtual machine those
// faults cost more than the copy itself. The last large block let go stays mapped (one block, no more) and
// is handed out again for a block of the same length: calls that move the same large message again and
// again (a result array dropped before the next call) then receive into memory already faulted in, which
// halves the time of a 40 MB get_ohlc. Smaller blocks come from operator new. Throws std::bad_alloc.
void* allocate(std::size_t bytes);
void deallocate(void* p, std::size_t bytes) noexcept;

// A standard allocator over the two functions above. Elements are default-initialised, so a buffer of n
// bytes is not zeroed first only to be overwritten by the payload.
template <class T>
struct allocator {
    using value_type = T;

    allocator() noexcept = default;
    template <class U>
    allocator(const allocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(buffer::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { buffer::deallocate(p, n * sizeof(T)); }

    template <class U>
    void construct(U* p) noexcept(noexcept(::new(static_cast<void*>(p)) U)) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
    }

    template <class U>
    bool operator==(const allocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace engine::buffer

#include "buffer.hpp"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace engine::buffer {
namespace {

constexpr std::size_t huge_page = std::size_t(2) << 20;
constexpr std::size_t small_page = 4096;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// The last large block let go, kept for the next allocation of its length, which it stores in its first
// bytes while it waits. A single slot taken and filled by exchange, so it needs no lock (and survives fork).
std::atomic<void*> spare{nullptr};

std::size_t length_of(void* block) noexcept {
    std::size_t length;
    std::memcpy(&length, block, sizeof length);
    return length;
}

}  // namespace

void* allocate(std::size_t bytes) {
    if (bytes < large_block) return ::operator new(bytes);
    // The mapping covers the block to its last small page only, so the tail short of a whole huge page
    // stays on small pages and no memory is spent beyond the block.
    const std::size_t length = round_up(bytes, small_page);
    if (length < bytes || length > SIZE_MAX - huge_page) throw std::bad_alloc();
    if (void* kept = spare.exchange(nullptr)) {
        if (length_of(kept) == length) return kept;
        // Not this length: it waits on, unless another block took the slot meanwhile.
        if (void* other = spare.exchange(kept)) ::munmap(other, length_of(other));
    }
    // Map one huge page more than needed and trim both ends, which leaves the block 2 MiB-aligned.
    void* raw = ::mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(start, huge_page);
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::size_t tail = (start + length + huge_page) - (aligned + length);
    if (tail) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    void* block = reinterpret_cast<void*>(aligned);
    ::madvise(block, length, MADV_HUGEPAGE);  // advice only: without huge pages the block works the same
    return block;
}

void deallocate(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    if (bytes < large_block) {
        ::operator delete(p);
        return;
    }
    const std::size_t length = round_up(bytes, small_page);
    std::memcpy(p, &length, sizeof length);
    if (void* older = spare.exchange(p)) ::munmap(older, length_of(older));
}

}  // namespace engine::buffer

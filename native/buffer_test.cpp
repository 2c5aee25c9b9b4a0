// The payload allocator of src/buffer.hpp: large blocks are mappings of their own, 2 MiB-aligned, exactly
// as long as the block (rounded to a page) and fully usable; the last one let go is kept, one at most, and
// handed out again for the same length.
#include "buffer.hpp"

#include "check.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using native_test::failures;


constexpr std::size_t page = 4096;
constexpr std::size_t huge = std::size_t(2) << 20;

// Whether every page of [p, p + n) is mapped: mincore fails with ENOMEM on an unmapped page.
bool mapped(const void* p, std::size_t n) {
    std::vector<unsigned char> v((n + page - 1) / page);
    return ::mincore(const_cast<void*>(p), n, v.data()) == 0;
}

// The total length of this process's mappings, from /proc/self/maps.
std::size_t mapped_total() {
    std::ifstream maps("/proc/self/maps");
    std::size_t total = 0;
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = 0, end = 0;
        char dash = 0;
        std::istringstream in(line);
        in >> std::hex >> start >> dash >> end;
        total += end - start;
    }
    return total;
}

void large_block(std::size_t bytes) {
    (void)mapped_total();  // once first, so its own buffers are in place before the count that matters
    const std::size_t before = mapped_total();
    auto* p = static_cast<unsigned char*>(engine::buffer::allocate(bytes));
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    CHECK(at % huge == 0);
    const std::size_t length = (bytes + page - 1) / page * page;
    CHECK(mapped(p, length));
    // The spare huge page mapped for alignment is trimmed off again: the process grew by the block alone.
    CHECK(mapped_total() - before == length);
    std::memset(p, 0xA5, bytes);
    CHECK(p[0] == 0xA5 && p[bytes - 1] == 0xA5);
    engine::buffer::deallocate(p, bytes);
    CHECK(mapped(p, length));  // kept as the spare block
}

// The spare block: the same memory, as it was left, for the same length; another length leaves it waiting;
// a newer block let go takes its place and the older one is unmapped.
void spare_block() {
    const std::size_t a = 40'000'024, b = engine::buffer::large_block;
    const std::size_t length_a = (a + page - 1) / page * page, length_b = b;
    auto* p = static_cast<unsigned char*>(engine::buffer::allocate(a));
    std::memset(p, 0xA5, a);
    engine::buffer::deallocate(p, a);
    const std::size_t with_spare = mapped_total();
    auto* q = static_cast<unsigned char*>(engine::buffer::allocate(a));
    CHECK(q == p && q[8] == 0xA5 && q[a - 1] == 0xA5);
    CHECK(mapped_total() == with_spare);
    auto* r = static_cast<unsigned char*>(engine::buffer::allocate(b));
    CHECK(r != q && mapped_total() == with_spare + length_b);
    engine::buffer::deallocate(q, a);
    engine::buffer::deallocate(r, b);
    CHECK(!mapped(q, length_a) && mapped(r, length_b));
    auto* s = static_cast<unsigned char*>(engine::buffer::allocate(a));
    CHECK(s != r && mapped(r, length_b));
    engine::buffer::deallocate(s, a);
    CHECK(!mapped(r, length_b) && mapped(s, length_a));
    CHECK(mapped_total() == with_spare);
}

void small_block(std::size_t bytes) {
    auto* p = static_cast<unsigned char*>(engine::buffer::allocate(bytes));
    CHECK(p != nullptr);
    std::memset(p, 0x5A, bytes);
    CHECK(p[bytes - 1] == 0x5A);
    engine::buffer::deallocate(p, bytes);
}

// Bytes of a default-initialising vector read back what was written, across both kinds of block.
void vector_round_trip(std::size_t n) {
    std::vector<std::uint8_t, engine::buffer::allocator<std::uint8_t>> v(n);
    for (std::size_t i = 0; i < n; i += 4099) v[i] = std::uint8_t(i * 7);
    bool same = true;
    for (std::size_t i = 0; i < n; i += 4099) same = same && v[i] == std::uint8_t(i * 7);
    CHECK(same);
    v.resize(n + engine::buffer::large_block);  // a reallocation that moves a small block into a large one
    for (std::size_t i = 0; i < n; i += 4099) same = same && v[i] == std::uint8_t(i * 7);
    CHECK(same);
}

}  // namespace

int main() {
    for (std::size_t bytes : {std::size_t(1), std::size_t(4096), engine::buffer::large_block - 1}) small_block(bytes);
    for (std::size_t bytes : {engine::buffer::large_block, engine::buffer::large_block + 1, huge * 3,
                              std::size_t(40'000'024)}) {
        large_block(bytes);
    }
    for (std::size_t n : {std::size_t(100), std::size_t(40'000'024)}) vector_round_trip(n);
    spare_block();
    if (failures) {
        std::fprintf(stderr, "buffer_test: %d check(s) failed\n", failures.load());
        return 1;
    }
    std::puts("buffer_test: all cases passed");
    return 0;
}

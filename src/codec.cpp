#include "codec.hpp"

#include "le.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace engine::codec {
namespace {

// Elements travel as raw little-endian bytes, so on a little-endian host a copy is all it takes.
static_assert(std::endian::native == std::endian::little, "the payload codecs assume a little-endian host");
static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559);

// Expected lengths are computed in 128 bits: 8 * rows * cols with both counts at 2^32 - 1 needs 68.
__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t max_count = std::numeric_limits<std::uint32_t>::max();

using le::load_u32;
using le::store_u32;

// memcpy, which reads and writes at any alignment; a zero-length copy may come with null pointers.
void copy_bytes(void* dst, const void* src, std::size_t n) noexcept {
    if (n) std::memcpy(dst, src, n);
}

#if defined(__SSE2__)
// Payloads of this size and more are written around the cache: they are larger than the cache would keep
// anyway, and the stores then need not read each destination line first. Encoding 40 MB went from 6.5 to
// 4.4 ms here, into a fresh block as into a reused one. (The C library's memcpy streams only beyond a
// threshold it derives from the cache size, which a virtual machine may report as hundreds of megabytes.)
// Not for decoding: there the destination is an array whose pages the kernel has just zeroed, so they are
// in the cache already, and streaming past it made a 40 MB decode slower (12.9 to 16.7 ms).
constexpr std::size_t streaming_copy = std::size_t(4) << 20;

void stream_bytes(std::uint8_t* d, const std::uint8_t* s, std::size_t n) noexcept {
    const std::size_t head = (16 - reinterpret_cast<std::uintptr_t>(d) % 16) % 16;  // d aligned for the stores
    std::memcpy(d, s, head);
    d += head;
    s += head;
    n -= head;
    for (; n >= 64; n -= 64, d += 64, s += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(d), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 48), e);
    }
    _mm_sfence();  // the streamed stores are seen before anything written after the copy
    std::memcpy(d, s, n);
}
#endif

// copy_bytes into a payload being encoded.
void write_payload(std::uint8_t* dst, const void* src, std::size_t n) noexcept {
#if defined(__SSE2__)
    if (n >= streaming_copy) {
        stream_bytes(dst, static_cast<const std::uint8_t*>(src), n);
        return;
    }
#endif
    copy_bytes(dst, src, n);
}

std::string decimal(u128 v) {
    char digits[40];
    char* end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = char('0' + int(v % 10));
        v /= 10;
    } while (v);
    return std::string(p, end);
}

CodecError length_mismatch(const char* name, u128 expected, std::size_t len) {
    return CodecError{std::string(name) + " length mismatch: expected " + decimal(expected) + ", got " +
                      std::to_string(len)};
}

CodecError too_many(const char* name, const char* what) {
    return CodecError{std::string(name) + " cannot hold more than 4294967295 " + what};
}

// The output buffer at its final size: `headroom` free bytes, then `payload_len` bytes of payload.
Result<Bytes> allocate(const char* name, std::size_t headroom, u128 payload_len) {
    const u128 total = u128(headroom) + payload_len;
    if (total > Bytes().max_size()) {
        return CodecError{std::string(name) + " payload of " + decimal(payload_len) + " bytes is too large"};
    }
    return Bytes(std::size_t(total));
}

}  // namespace

Result<VecF64View> decode_vec_f64(ByteSpan payload) {
    if (payload.size() < 4) return CodecError{"VecF64 payload too short"};
    const std::uint32_t n = load_u32(payload.data());
    const u128 expected = 4 + u128(8) * n;
    if (expected != payload.size()) return length_mismatch("VecF64", expected, payload.size());
    return VecF64View{n, payload.subspan(4)};
}

Result<MatF64View> decode_mat_f64(ByteSpan payload) {
    if (payload.size() < 8) return CodecError{"MatF64 payload too short"};
    const std::uint32_t rows = load_u32(payload.data());
    const std::uint32_t cols = load_u32(payload.data() + 4);
    const u128 expected = 8 + u128(8) * rows * cols;
    if (expected != payload.size()) return length_mismatch("MatF64", expected, payload.size());
    return MatF64View{rows, cols, payload.subspan(8)};
}

Result<CloseStepView> decode_close_step(ByteSpan payload) {
    if (payload.size() < 4) return CodecError{"CloseStep payload too short"};
    const std::uint32_t n = load_u32(payload.data());
    const u128 expected = 4 + u128(16) * n;
    if (expected != payload.size()) return length_mismatch("CloseStep", expected, payload.size());
    // The length check bounds every offset below by the payload's size.
    const std::size_t w = std::size_t(4) * n;
    return CloseStepView{n, payload.subspan(4, w), payload.subspan(4 + w, w), payload.subspan(4 + 2 * w)};
}

Result<VecMatF64View> decode_vec_mat_f64(ByteSpan payload) {
    if (payload.size() < 4) return CodecError{"VecMatF64 payload too short"};
    const std::uint32_t n = load_u32(payload.data());
    const u128 header_end = 12 + u128(8) * n;
    if (payload.size() < header_end) return CodecError{"VecMatF64 missing matrix header"};
    // From here on 12 + 8n fits in the payload's size, so the offsets below cannot overflow.
    const std::size_t vec_end = 4 + std::size_t(8) * n;
    const std::uint32_t rows = load_u32(payload.data() + vec_end);
    const std::uint32_t cols = load_u32(payload.data() + vec_end + 4);
    const u128 expected = header_end + u128(8) * rows * cols;
    if (expected != payload.size()) return length_mismatch("VecMatF64", expected, payload.size());
    return VecMatF64View{VecF64View{n, payload.subspan(4, vec_end - 4)},
                         MatF64View{rows, cols, payload.subspan(vec_end + 8)}};
}

void load_f64(ByteSpan src, double* dst) noexcept { copy_bytes(dst, src.data(), src.size() / 8 * 8); }

void load_i32(ByteSpan src, std::int32_t* dst) noexcept { copy_bytes(dst, src.data(), src.size() / 4 * 4); }

Result<Bytes> encode_vec_f64(std::span<const double> values, std::size_t headroom) {
    const std::size_t n = values.size();
    if (n > max_count) return too_many("VecF64", "elements");
    Result<Bytes> out = allocate("VecF64", headroom, 4 + u128(8) * n);
    if (!out) return out;
    std::uint8_t* p = out.value().data() + headroom;
    store_u32(p, std::uint32_t(n));
    write_payload(p + 4, values.data(), 8 * n);
    return out;
}

Result<Bytes> encode_mat_f64(std::size_t rows, std::size_t cols, const double* data, std::ptrdiff_t row_stride,
                             std::ptrdiff_t col_stride, std::size_t headroom) {
    if (rows > max_count) return too_many("MatF64", "rows");
    if (cols > max_count) return too_many("MatF64", "columns");
    Result<Bytes> out = allocate("MatF64", headroom, 8 + u128(8) * rows * cols);
    if (!out) return out;
    std::uint8_t* p = out.value().data() + headroom;
    store_u32(p, std::uint32_t(rows));
    store_u32(p + 4, std::uint32_t(cols));
    p += 8;
    if (rows == 0 || cols == 0) return out;
    // Elements are read through bytes: the array behind `data` need not be aligned for double.
    const auto* base = reinterpret_cast<const std::uint8_t*>(data);
    if (col_stride == 1 && (rows == 1 || row_stride == std::ptrdiff_t(cols))) {
        write_payload(p, base, 8 * rows * cols);
        return out;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c, p += 8) {
            const std::ptrdiff_t at = std::ptrdiff_t(r) * row_stride + std::ptrdiff_t(c) * col_stride;
            std::memcpy(p, base + 8 * at, 8);
        }
    }
    return out;
}

Result<Bytes> encode_close_step(std::span<const std::int32_t> flags, std::span<const std::int32_t> actions,
                                std::span<const double> ratios, std::size_t headroom) {
    const std::size_t n = flags.size();
    if (n > max_count) return too_many("CloseStep", "elements");
    Result<Bytes> out = allocate("CloseStep", headroom, 4 + u128(16) * n);
    if (!out) return out;
    std::uint8_t* p = out.value().data() + headroom;
    store_u32(p, std::uint32_t(n));
    write_payload(p + 4, flags.data(), 4 * n);
    write_payload(p + 4 + 4 * n, actions.data(), 4 * n);
    write_payload(p + 4 + 8 * n, ratios.data(), 8 * n);
    return out;
}

}  // namespace engine::codec

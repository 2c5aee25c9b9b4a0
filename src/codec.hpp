// Byte-level payload formats VecF64, MatF64, CloseStep and VecMatF64. Pure: no Python, no sockets.
#pragma once

#include "buffer.hpp"
#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace engine::codec {

// Payloads can be tens of megabytes: see buffer.hpp for where their memory comes from.
using Bytes = std::vector<std::uint8_t, buffer::allocator<std::uint8_t>>;
using ByteSpan = std::span<const std::uint8_t>;

// A decoder checks the whole layout first and then says where the elements lie inside the payload,
// so the caller can copy them once, straight into their final home (a NumPy array), or make the array
// over them where they lie.
struct VecF64View {
    std::uint32_t n;
    ByteSpan elements;  // 8 * n bytes of little-endian doubles
};
struct MatF64View {
    std::uint32_t rows;
    std::uint32_t cols;
    ByteSpan elements;  // 8 * rows * cols bytes, row-major
};
struct CloseStepView {
    std::uint32_t n;
    ByteSpan flags;    // 4 * n bytes of little-endian i32
    ByteSpan actions;  // 4 * n bytes of little-endian i32
    ByteSpan ratios;   // 8 * n bytes of little-endian doubles
};
struct VecMatF64View {
    VecF64View vec;
    MatF64View mat;
};

Result<VecF64View> decode_vec_f64(ByteSpan payload);
Result<MatF64View> decode_mat_f64(ByteSpan payload);
Result<CloseStepView> decode_close_step(ByteSpan payload);
Result<VecMatF64View> decode_vec_mat_f64(ByteSpan payload);

// Copies little-endian elements (any alignment) into native storage: src.size() / 8 or / 4 of them.
void load_f64(ByteSpan src, double* dst) noexcept;
void load_i32(ByteSpan src, std::int32_t* dst) noexcept;

// Encoders build their buffer once at its final size. `headroom` bytes are left in front of the payload
// so a caller can put a frame header there without another allocation or copy. Counts that do not fit
// in 32 bits are refused with a CodecError.
Result<Bytes> encode_vec_f64(std::span<const double> values, std::size_t headroom = 0);
// Element (r, c) is read at data[r * row_stride + c * col_stride] (strides in elements), so both C- and
// F-ordered matrices are written row-major.
Result<Bytes> encode_mat_f64(std::size_t rows, std::size_t cols, const double* data, std::ptrdiff_t row_stride,
                             std::ptrdiff_t col_stride, std::size_t headroom = 0);
// The three spans must have equal lengths; the caller checks that.
Result<Bytes> encode_close_step(std::span<const std::int32_t> flags, std::span<const std::int32_t> actions,
                                std::span<const double> ratios, std::size_t headroom = 0);

}  // namespace engine::codec

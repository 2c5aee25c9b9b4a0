// MatF64: the expected length is computed exactly (rows * cols may pass 2^64), a well-formed payload
// decodes, and encoding it back, from row-major storage or from a column-major copy, gives the same bytes.
#include "check.hpp"
#include "codec.hpp"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Bytes in(data, size);
    auto r = engine::codec::decode_mat_f64(in);
    if (size < 8) {
        fuzz::expect_codec_failure(r, "MatF64 payload too short");
        return 0;
    }
    const std::uint32_t rows = fuzz::u32_at(in, 0), cols = fuzz::u32_at(in, 4);
    const fuzz::u128 expected = 8 + fuzz::u128(8) * rows * cols;
    if (expected != size) {
        fuzz::expect_codec_failure(r, "MatF64 length mismatch: expected " + fuzz::digits(expected) + ", got " +
                                          std::to_string(size));
        return 0;
    }
    FUZZ_CHECK(r.ok(), "refused a well-formed payload: " + fuzz::message_of(r));
    const auto& m = r.value();
    FUZZ_CHECK(m.rows == rows && m.cols == cols, "counts differ");
    const std::size_t count = std::size_t(rows) * cols;
    FUZZ_CHECK(m.elements.data() == data + 8 && m.elements.size() == 8 * count, "elements misplaced");

    std::vector<double> row_major(count);
    engine::codec::load_f64(m.elements, row_major.data());
    auto c_order = engine::codec::encode_mat_f64(rows, cols, row_major.data(), cols, 1, 16);
    FUZZ_CHECK(c_order.ok(), "encoder refused decoded values");
    FUZZ_CHECK(fuzz::same_bytes(fuzz::Bytes(c_order.value()).subspan(16), in), "row-major round trip differs");

    // The same matrix stored column by column goes through the strided path and must give the same bytes.
    std::vector<double> col_major(count);
    // (rows may be 2^32 - 1 when cols is 0: no element, nothing to move.)
    for (std::size_t i = 0; count != 0 && i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) col_major[j * rows + i] = row_major[i * cols + j];
    auto f_order = engine::codec::encode_mat_f64(rows, cols, col_major.data(), 1, std::ptrdiff_t(rows));
    FUZZ_CHECK(f_order.ok(), "encoder refused column-major values");
    FUZZ_CHECK(fuzz::same_bytes(f_order.value(), in), "column-major round trip differs");
    return 0;
}

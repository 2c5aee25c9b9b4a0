// VecMatF64: a VecF64 directly followed by a MatF64. The vector part may be cut short, the matrix header
// may be missing, the total may overflow 64 bits; each case has its one message, and a well-formed payload
// is the two encodings put together.
#include "check.hpp"
#include "codec.hpp"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Bytes in(data, size);
    auto r = engine::codec::decode_vec_mat_f64(in);
    if (size < 4) {
        fuzz::expect_codec_failure(r, "VecMatF64 payload too short");
        return 0;
    }
    const std::uint32_t n = fuzz::u32_at(in, 0);
    const fuzz::u128 header_end = 12 + fuzz::u128(8) * n;
    if (size < header_end) {
        fuzz::expect_codec_failure(r, "VecMatF64 missing matrix header");
        return 0;
    }
    const std::size_t vec_end = 4 + std::size_t(8) * n;
    const std::uint32_t rows = fuzz::u32_at(in, vec_end), cols = fuzz::u32_at(in, vec_end + 4);
    const fuzz::u128 expected = header_end + fuzz::u128(8) * rows * cols;
    if (expected != size) {
        fuzz::expect_codec_failure(r, "VecMatF64 length mismatch: expected " + fuzz::digits(expected) +
                                          ", got " + std::to_string(size));
        return 0;
    }
    FUZZ_CHECK(r.ok(), "refused a well-formed payload: " + fuzz::message_of(r));
    const auto& vm = r.value();
    FUZZ_CHECK(vm.vec.n == n && vm.vec.elements.data() == data + 4 && vm.vec.elements.size() == 8 * std::size_t(n),
               "vector misplaced");
    FUZZ_CHECK(vm.mat.rows == rows && vm.mat.cols == cols, "matrix counts differ");
    const std::size_t count = std::size_t(rows) * cols;
    FUZZ_CHECK(vm.mat.elements.data() == data + vec_end + 8 && vm.mat.elements.size() == 8 * count,
               "matrix misplaced");

    std::vector<double> vec(n), mat(count);
    engine::codec::load_f64(vm.vec.elements, vec.data());
    engine::codec::load_f64(vm.mat.elements, mat.data());
    auto v = engine::codec::encode_vec_f64(vec);
    auto m = engine::codec::encode_mat_f64(rows, cols, mat.data(), cols, 1);
    FUZZ_CHECK(v.ok() && m.ok(), "encoder refused decoded values");
    FUZZ_CHECK(fuzz::same_bytes(v.value(), in.first(vec_end)), "vector round trip differs");
    FUZZ_CHECK(fuzz::same_bytes(m.value(), in.subspan(vec_end)), "matrix round trip differs");
    return 0;
}

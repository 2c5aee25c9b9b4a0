// VecF64: any byte string either decodes to exactly its n doubles or fails with the one right message;
// a decoded payload encodes back to the same bytes.
#include "check.hpp"
#include "codec.hpp"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Bytes in(data, size);
    auto r = engine::codec::decode_vec_f64(in);
    if (size < 4) {
        fuzz::expect_codec_failure(r, "VecF64 payload too short");
        return 0;
    }
    const std::uint32_t n = fuzz::u32_at(in, 0);
    const fuzz::u128 expected = 4 + fuzz::u128(8) * n;
    if (expected != size) {
        fuzz::expect_codec_failure(r, "VecF64 length mismatch: expected " + fuzz::digits(expected) + ", got " +
                                          std::to_string(size));
        return 0;
    }
    FUZZ_CHECK(r.ok(), "refused a well-formed payload: " + fuzz::message_of(r));
    const auto& v = r.value();
    FUZZ_CHECK(v.n == n, "n differs");
    FUZZ_CHECK(v.elements.data() == data + 4 && v.elements.size() == std::size_t(8) * n, "elements misplaced");

    std::vector<double> values(n);
    engine::codec::load_f64(v.elements, values.data());
    auto again = engine::codec::encode_vec_f64(values, 16);
    FUZZ_CHECK(again.ok(), "encoder refused decoded values");
    const auto& out = again.value();
    FUZZ_CHECK(out.size() == 16 + size, "encoded size differs");
    FUZZ_CHECK(fuzz::same_bytes(fuzz::Bytes(out).subspan(16), in), "round trip changed the bytes");
    return 0;
}

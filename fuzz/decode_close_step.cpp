// CloseStep: flags, actions and ratios are three consecutive blocks; a well-formed payload decodes into
// them and encodes back to the same bytes, anything else fails with the one right message.
#include "check.hpp"
#include "codec.hpp"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Bytes in(data, size);
    auto r = engine::codec::decode_close_step(in);
    if (size < 4) {
        fuzz::expect_codec_failure(r, "CloseStep payload too short");
        return 0;
    }
    const std::uint32_t n = fuzz::u32_at(in, 0);
    const fuzz::u128 expected = 4 + fuzz::u128(16) * n;
    if (expected != size) {
        fuzz::expect_codec_failure(r, "CloseStep length mismatch: expected " + fuzz::digits(expected) +
                                          ", got " + std::to_string(size));
        return 0;
    }
    FUZZ_CHECK(r.ok(), "refused a well-formed payload: " + fuzz::message_of(r));
    const auto& c = r.value();
    FUZZ_CHECK(c.n == n, "n differs");
    FUZZ_CHECK(c.flags.data() == data + 4 && c.flags.size() == std::size_t(4) * n, "flags misplaced");
    FUZZ_CHECK(c.actions.data() == data + 4 + 4 * std::size_t(n) && c.actions.size() == std::size_t(4) * n,
               "actions misplaced");
    FUZZ_CHECK(c.ratios.data() == data + 4 + 8 * std::size_t(n) && c.ratios.size() == std::size_t(8) * n,
               "ratios misplaced");

    std::vector<std::int32_t> flags(n), actions(n);
    std::vector<double> ratios(n);
    engine::codec::load_i32(c.flags, flags.data());
    engine::codec::load_i32(c.actions, actions.data());
    engine::codec::load_f64(c.ratios, ratios.data());
    auto again = engine::codec::encode_close_step(flags, actions, ratios, 3);
    FUZZ_CHECK(again.ok(), "encoder refused decoded values");
    FUZZ_CHECK(fuzz::same_bytes(fuzz::Bytes(again.value()).subspan(3), in), "round trip changed the bytes");
    return 0;
}

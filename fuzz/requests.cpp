// The request builders: whatever the arguments, reset_episode is its 5 bytes, and place_order and place_ticket
// are VecF64 payloads of 13 and 9 values, each value checked bit for bit against the layout written out here
// again, after the headroom left for the frame header.
#include "check.hpp"
#include "codec.hpp"
#include "requests.hpp"

#include <cstring>
#include <optional>
#include <vector>

namespace {

// Reads the fuzzer's bytes as arguments, zeros once they run out.
class Reader {
public:
    explicit Reader(fuzz::Bytes in) : in_(in) {}
    std::uint8_t byte() { return at_ < in_.size() ? in_[at_++] : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t(byte()) << (8 * i);
        return v;
    }
    double f64() {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= std::uint64_t(byte()) << (8 * i);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    std::optional<double> maybe(bool present) {
        const double v = f64();
        return present ? std::optional<double>(v) : std::nullopt;
    }

private:
    fuzz::Bytes in_;
    std::size_t at_ = 0;
};

std::uint64_t bits_of(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// An order's exit level, value * 100 - 1 as two roundings: the volatile product cannot be fused into the
// difference.
double order_level(const std::optional<double>& v) {
    if (!v) return 0.0;
    volatile double product = *v * 100.0;
    return product - 1.0;
}

double ticket_level(const std::optional<double>& v) { return v ? *v - 1.0 : 0.0; }

// The payload after `headroom` decodes as a VecF64 of exactly `want`, bit for bit (NaNs included).
void expect_values(const engine::Result<engine::codec::Bytes>& built, std::size_t headroom,
                   const std::vector<double>& want) {
    FUZZ_CHECK(built.ok(), "builder refused: " + fuzz::message_of(built));
    const auto& bytes = built.value();
    FUZZ_CHECK(bytes.size() == headroom + 4 + 8 * want.size(), "size " + std::to_string(bytes.size()));
    auto decoded = engine::codec::decode_vec_f64(fuzz::Bytes(bytes).subspan(headroom));
    FUZZ_CHECK(decoded.ok() && decoded.value().n == want.size(), "not a VecF64 of " + std::to_string(want.size()));
    std::vector<double> got(want.size());
    engine::codec::load_f64(decoded.value().elements, got.data());
    for (std::size_t i = 0; i < want.size(); ++i) {
        FUZZ_CHECK(bits_of(got[i]) == bits_of(want[i]), "value " + std::to_string(i) + " differs");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader r(fuzz::Bytes(data, size));
    const std::uint8_t choice = r.byte();
    const std::uint8_t bits = r.byte();
    const std::size_t headroom = r.byte() % 32;
    const auto flag = [bits](int i) { return (bits >> i & 1) != 0; };
    switch (choice % 3) {
    case 0: {
        const std::uint32_t index = r.u32();
        const auto bytes = engine::requests::reset_episode(index, flag(0), headroom);
        FUZZ_CHECK(bytes.size() == headroom + 5, "reset_episode size");
        FUZZ_CHECK(fuzz::u32_at(bytes, headroom) == index, "episode index differs");
        FUZZ_CHECK(bytes[headroom + 4] == (flag(0) ? 1 : 0), "episode type differs");
        break;
    }
    case 1: {
        engine::requests::Order o;
        o.buy = flag(0);
        o.limit = flag(1);
        o.price = r.f64();
        o.units = std::int32_t(r.u32());
        o.take_profit = r.maybe(flag(2));
        o.stop_loss = r.maybe(flag(3));
        o.trailing_stop = r.maybe(flag(4));
        o.time_limit = r.maybe(flag(5));
        const auto given = [](const std::optional<double>& v) { return v ? 1.0 : -1.0; };
        expect_values(engine::requests::place_order(o, headroom), headroom,
                      {1.0, o.price, given(o.take_profit), given(o.stop_loss), given(o.trailing_stop),
                       given(o.time_limit), o.buy ? 1.0 : -1.0, o.limit ? 1.0 : -1.0, double(o.units),
                       order_level(o.take_profit), order_level(o.stop_loss), order_level(o.trailing_stop),
                       o.time_limit.value_or(0.0)});
        break;
    }
    default: {
        engine::requests::Ticket t;
        t.buy = flag(0);
        t.units = std::int32_t(r.u32());
        t.take_profit = r.maybe(flag(2));
        t.stop_loss = r.maybe(flag(3));
        t.trailing_stop = r.maybe(flag(4));
        const auto given = [](const std::optional<double>& v) { return v ? 1.0 : 0.0; };
        expect_values(engine::requests::place_ticket(t, headroom), headroom,
                      {1.0, given(t.take_profit), given(t.stop_loss), given(t.trailing_stop), t.buy ? 1.0 : 0.0,
                       double(t.units), ticket_level(t.take_profit), ticket_level(t.stop_loss),
                       ticket_level(t.trailing_stop)});
        break;
    }
    }
    return 0;
}

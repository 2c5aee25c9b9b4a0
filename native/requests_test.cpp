// The request payloads built by the pure core and the PingReply, against fixed bytes written out by hand
// (hex, spaces for reading only). The exit level 0.01 is 0.01 * 100 - 1 with two roundings: exactly 0; a fused
// multiply-add would give 2.08e-17 instead.
#include "frame.hpp"
#include "requests.hpp"

#include "check.hpp"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

using engine::codec::Bytes;
using native_test::failures;

std::string hex(const Bytes& b) {
    std::string out;
    char two[3];
    for (std::uint8_t v : b) {
        std::snprintf(two, sizeof two, "%02x", v);
        out += two;
    }
    return out;
}

std::string without_spaces(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != ' ') out += c;
    return out;
}

struct Case {
    const char* name;
    Bytes built;
    std::string_view want;
};

Bytes value_of(engine::Result<Bytes> r) {
    CHECK(r.ok());
    return r.ok() ? std::move(r).value() : Bytes{};
}

std::vector<Case> cases() {
    using engine::requests::Order;
    using engine::requests::Ticket;
    return {
        {"reset_episode(3, test)", engine::requests::reset_episode(3, true), "03000000 01"},
        {"reset_episode(2^32 - 1, train) after 16 bytes of headroom",
         engine::requests::reset_episode(4294967295u, false, 16),
         "00000000000000000000000000000000 ffffffff 00"},
        {"place_order buy limit 1.25 x 100",
         value_of(engine::requests::place_order(Order{true, true, 1.25, 100, {}, {}, {}, {}})),
         "0d000000 000000000000f03f 000000000000f43f 000000000000f0bf 000000000000f0bf 000000000000f0bf "
         "000000000000f0bf 000000000000f03f 000000000000f03f 0000000000005940 0000000000000000 0000000000000000 "
         "0000000000000000 0000000000000000"},
        {"place_order sell stop 0.5 x 3, take_profit 0.01, stop_loss 2.5, trailing_stop 0, time_limit 7",
         value_of(engine::requests::place_order(Order{false, false, 0.5, 3, 0.01, 2.5, 0.0, 7.0})),
         "0d000000 000000000000f03f 000000000000e03f 000000000000f03f 000000000000f03f 000000000000f03f "
         "000000000000f03f 000000000000f0bf 000000000000f0bf 0000000000000840 0000000000000000 0000000000206f40 "
         "000000000000f0bf 0000000000001c40"},
        {"place_ticket sell 5", value_of(engine::requests::place_ticket(Ticket{false, 5, {}, {}, {}})),
         "09000000 000000000000f03f 0000000000000000 0000000000000000 0000000000000000 0000000000000000 "
         "0000000000001440 0000000000000000 0000000000000000 0000000000000000"},
        {"place_ticket buy 2, take_profit 1.5, stop_loss 0",
         value_of(engine::requests::place_ticket(Ticket{true, 2, 1.5, 0.0, {}})),
         "09000000 000000000000f03f 000000000000f03f 000000000000f03f 0000000000000000 000000000000f03f "
         "0000000000000040 000000000000e03f 000000000000f0bf 0000000000000000"},
        {"PingReply to a PeerPing of seq 99, fnId 7, payload probe",
         engine::frame::ping_reply(engine::frame::Header{1, 4, 99, 7, 5},
                                   engine::codec::ByteSpan(reinterpret_cast<const std::uint8_t*>("probe"), 5)),
         "01 05 0000 63000000 0700 0000 05000000 70726f6265"},
    };
}

}  // namespace

int main() {
    int checked = 0;
    for (const Case& c : cases()) {
        ++checked;
        const std::string got = hex(c.built), want = without_spaces(c.want);
        if (got != want) {
            std::fprintf(stderr, "%s:\n  got  %s\n  want %s\n", c.name, got.c_str(), want.c_str());
            ++failures;
        }
    }
    std::printf("requests_test: %d cases, %d failed\n", checked, failures.load());
    return failures == 0 ? 0 : 1;
}

// The checks every incoming binary message passes: too short, declared payload length, version, in that
// order and with their exact texts; a message that passes has its header read back field by field, and its
// PingReply is the message itself with kind 5 and both reserved fields zeroed.
#include "check.hpp"
#include "frame.hpp"

#include <array>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Bytes in(data, size);
    auto r = engine::frame::check_incoming(in);
    std::string want;
    if (size < 16) {
        want = "frame too short: " + std::to_string(size) + " < 16";
    } else if (const std::uint64_t declared = fuzz::u32_at(in, 12); 16 + declared != size) {
        want = "payload length mismatch: expected " + std::to_string(16 + declared) + ", got " + std::to_string(size);
    } else if (data[0] != 1) {
        want = "protocol version mismatch: got " + std::to_string(data[0]) + ", expected 1";
    }
    if (!want.empty()) {
        FUZZ_CHECK(!r.ok(), "accepted a message it must refuse with: " + want);
        FUZZ_CHECK(std::holds_alternative<engine::TransportError>(r.error()), "wrong error kind");
        const auto& t = std::get<engine::TransportError>(r.error());
        FUZZ_CHECK(t.message == want, "got '" + t.message + "', want '" + want + "'");
        FUZZ_CHECK(!t.seq && !t.fn_id, "a header check fills in seq or fnId itself");
        return 0;
    }
    FUZZ_CHECK(r.ok(), "refused a well-formed message: " + fuzz::message_of(r));
    const auto h = r.value();
    FUZZ_CHECK(h.version == 1 && h.kind == data[1], "version or kind differs");
    FUZZ_CHECK(h.seq == fuzz::u32_at(in, 4) && h.fn_id == fuzz::u16_at(in, 8), "seq or fnId differs");
    FUZZ_CHECK(h.payload_len == size - 16, "payload length differs");

    // Written back, the header equals the message's first 16 bytes with both reserved fields zeroed.
    std::array<std::uint8_t, 16> out{};
    engine::frame::encode_header(out, h);
    std::array<std::uint8_t, 16> expected{};
    std::copy(data, data + 16, expected.begin());
    expected[2] = expected[3] = expected[10] = expected[11] = 0;
    FUZZ_CHECK(out == expected, "header does not encode back");

    const auto reply = engine::frame::ping_reply(h, in.subspan(16));
    std::vector<std::uint8_t> patched(data, data + size);
    patched[1] = 5;
    patched[2] = patched[3] = patched[10] = patched[11] = 0;
    FUZZ_CHECK(fuzz::same_bytes(reply, patched), "PingReply differs from the PeerPing with its kind and reserved "
                                                 "fields rewritten");
    return 0;
}

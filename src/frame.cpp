#include "frame.hpp"

#include "le.hpp"

#include <cstring>

namespace engine::frame {
namespace {

using le::load_u16;
using le::load_u32;
using le::store_u16;
using le::store_u32;

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is invalid there.
// Follows the Unicode "maximal subpart" practice: an invalid sequence is replaced as far as it was
// a valid prefix, so callers advance by `bad` bytes on failure.
std::size_t utf8_sequence(codec::ByteSpan s, std::size_t i, std::size_t& bad) noexcept {
    const std::uint8_t b0 = s[i];
    bad = 1;
    if (b0 < 0x80) return 1;
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        if (i + k >= s.size()) return 0;
        const std::uint8_t b = s[i + k];
        const std::uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) return 0;
        bad = k + 1;
    }
    return len;
}

}  // namespace

void encode_header(std::span<std::uint8_t, header_size> out, const Header& h) noexcept {
    std::uint8_t* p = out.data();
    p[0] = h.version;
    p[1] = h.kind;
    store_u16(p + 2, 0);
    store_u32(p + 4, h.seq);
    store_u16(p + 8, h.fn_id);
    store_u16(p + 10, 0);
    store_u32(p + 12, h.payload_len);
}

Header decode_header(std::span<const std::uint8_t, header_size> in) noexcept {
    const std::uint8_t* p = in.data();
    return Header{p[0], p[1], load_u32(p + 4), load_u16(p + 8), load_u32(p + 12)};
}

codec::Bytes ping_reply(const Header& ping, codec::ByteSpan payload) {
    codec::Bytes reply(header_size + payload.size());
    encode_header(std::span<std::uint8_t, header_size>(reply.data(), header_size),
                  Header{protocol_version, std::uint8_t(Kind::PingReply), ping.seq, ping.fn_id,
                         std::uint32_t(payload.size())});
    if (!payload.empty()) std::memcpy(reply.data() + header_size, payload.data(), payload.size());
    return reply;
}

Result<Header> check_incoming(codec::ByteSpan message) {
    if (message.size() < header_size) {
        return TransportError{{}, {}, "frame too short: " + std::to_string(message.size()) + " < 16"};
    }
    const Header h = decode_header(message.first<header_size>());
    const std::uint64_t expected = std::uint64_t(header_size) + h.payload_len;
    if (expected != message.size()) {
        return TransportError{{}, {}, "payload length mismatch: expected " + std::to_string(expected) +
                                          ", got " + std::to_string(message.size())};
    }
    if (h.version != protocol_version) {
        return TransportError{{}, {}, "protocol version mismatch: got " + std::to_string(h.version) +
                                          ", expected 1"};
    }
    return h;
}

ErrorPayload decode_error_payload(codec::ByteSpan payload) {
    ErrorPayload out;
    if (payload.size() < 8) return out;
    out.err = load_u16(payload.data());
    out.sub = load_u16(payload.data() + 2);
    const std::uint64_t n = load_u32(payload.data() + 4);
    if (8 + n <= payload.size()) out.message = utf8_lossy(payload.subspan(8, std::size_t(n)));
    return out;
}

std::string utf8_lossy(codec::ByteSpan bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t bad;
        if (const std::size_t len = utf8_sequence(bytes, i, bad)) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), len);
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            i += bad;
        }
    }
    return out;
}

bool utf8_valid(codec::ByteSpan bytes) noexcept {
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t bad;
        const std::size_t len = utf8_sequence(bytes, i, bad);
        if (!len) return false;
        i += len;
    }
    return true;
}

}  // namespace engine::frame

// The 16-byte RPC frame header and the error payload. Pure: no Python, no sockets.
#pragma once

#include "codec.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace engine::frame {

inline constexpr std::size_t header_size = 16;
inline constexpr std::uint8_t protocol_version = 1;

enum class Kind : std::uint8_t { Request = 1, Response = 2, ErrorResponse = 3, PeerPing = 4, PingReply = 5 };

// The remote functions behind the commands, by the number a request carries in its fnId field.
enum class FnId : std::uint16_t {
    StepNext = 2,
    GetTicketList = 10,
    GetSnapshot = 12,
    GetOhlc = 15,
    PlaceOrder = 20,
    PlaceTicket = 21,
    FetchEvents = 30,
    ClosePositions = 31,
    EndSession = 40,
    InitCandles = 100,
    ResetEpisode = 101,
    GetRlConfig = 102,
    GetSyncPolicy = 120,
    StepAndSync = 130,
};

struct Header {
    std::uint8_t version = protocol_version;
    std::uint8_t kind = 0;
    std::uint32_t seq = 0;
    std::uint16_t fn_id = 0;
    std::uint32_t payload_len = 0;
};

// Reserved fields are written as zero and never read.
void encode_header(std::span<std::uint8_t, header_size> out, const Header& h) noexcept;
Header decode_header(std::span<const std::uint8_t, header_size> in) noexcept;

// The answer to a PeerPing with header `ping`: the same seq, fnId and payload under a PingReply header.
codec::Bytes ping_reply(const Header& ping, codec::ByteSpan payload);

// The checks every incoming binary message passes before its kind is looked at: long enough for a
// header, declared payload length consistent, protocol version 1. Failures carry the transport text.
Result<Header> check_incoming(codec::ByteSpan message);

struct ErrorPayload {
    std::uint16_t err = 0;
    std::uint16_t sub = 0;
    std::string message;
};

// Lenient by design: a short payload gives zeros, a message running past the end gives an empty text,
// invalid UTF-8 is replaced by U+FFFD.
ErrorPayload decode_error_payload(codec::ByteSpan payload);

// UTF-8 with every maximal invalid subsequence replaced by U+FFFD.
std::string utf8_lossy(codec::ByteSpan bytes);

// Whether `bytes` is entirely valid UTF-8.
bool utf8_valid(codec::ByteSpan bytes) noexcept;

}  // namespace engine::frame

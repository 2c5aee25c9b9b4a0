// Shared by the fuzz targets: a failed property prints what was expected and aborts, which libFuzzer
// reports as a crash and saves the input that caused it.
#pragma once

#include "error.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace fuzz {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] inline void fail(const char* what, const std::string& detail, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property failed: %s\n  %s\n", file, line, what, detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(cond, detail)                                               \
    do {                                                                       \
        if (!(cond)) ::fuzz::fail(#cond, (detail), __FILE__, __LINE__);        \
    } while (0)

inline std::uint32_t u32_at(Bytes b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

inline std::uint16_t u16_at(Bytes b, std::size_t at) { return std::uint16_t(b[at] | b[at + 1] << 8); }

__extension__ typedef unsigned __int128 u128;

// Decimal digits of a 128-bit count, written here independently of the code under test.
inline std::string digits(u128 v) {
    std::string s;
    do {
        s.insert(s.begin(), char('0' + int(v % 10)));
        v /= 10;
    } while (v != 0);
    return s;
}

// The message of a failed Result, whatever its kind.
template <class R>
std::string message_of(const R& r) {
    const auto& e = r.error();
    if (auto* c = std::get_if<engine::CodecError>(&e)) return "codec: " + c->message;
    if (auto* t = std::get_if<engine::TransportError>(&e)) return "transport: " + t->message;
    return "rpc: " + std::get<engine::RpcError>(e).message;
}

// The codec message a decoder must fail with, or the empty text when it must succeed.
template <class R>
void expect_codec_failure(const R& r, const std::string& want) {
    FUZZ_CHECK(!r.ok(), "decoder accepted a payload it must refuse with: " + want);
    FUZZ_CHECK(std::holds_alternative<engine::CodecError>(r.error()), "wrong error kind: " + message_of(r));
    FUZZ_CHECK(message_of(r) == "codec: " + want, "got '" + message_of(r) + "', want 'codec: " + want + "'");
}

inline bool same_bytes(Bytes a, Bytes b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace fuzz

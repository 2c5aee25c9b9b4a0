// Little-endian loads and stores at any alignment: every multi-byte field on the wire is little-endian.
#pragma once

#include <cstdint>

namespace engine::le {

inline std::uint16_t load_u16(const std::uint8_t* p) noexcept { return std::uint16_t(p[0] | (p[1] << 8)); }

inline std::uint32_t load_u32(const std::uint8_t* p) noexcept {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

inline void store_u16(std::uint8_t* p, std::uint16_t v) noexcept {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}

inline void store_u32(std::uint8_t* p, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}

}  // namespace engine::le

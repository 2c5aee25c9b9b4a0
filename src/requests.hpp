// The request payloads of the commands that take arguments, built from checked values. Pure: no Python, no
// sockets. Each builder leaves `headroom` bytes in front of the payload for the frame header.
#pragma once

#include "codec.hpp"
#include "error.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace engine::requests {

// reset_episode: u32 episode index, then u8 episode type (1 test, 0 train).
codec::Bytes reset_episode(std::uint32_t index, bool test, std::size_t headroom = 0);

// The arguments of place_order, checked by the caller: a finite price, units > 0, exit levels finite and >= 0.
struct Order {
    bool buy = true;
    bool limit = true;  // else a stop order
    double price = 0.0;
    std::int32_t units = 0;
    std::optional<double> take_profit, stop_loss, trailing_stop, time_limit;
};

// The 13 values of a place_order request: a leading 1, the price, one flag per optional argument (1 given,
// -1 absent), side and type (1 or -1), the units, then each exit level as value * 100 - 1 (two roundings, never
// a fused multiply-add; 0 when absent) and the time limit (0 when absent).
std::array<double, 13> order_values(const Order& order) noexcept;

// place_order: a VecF64 of order_values.
Result<codec::Bytes> place_order(const Order& order, std::size_t headroom = 0);

// The arguments of place_ticket, checked by the caller: units > 0, exit levels finite and >= 0.
struct Ticket {
    bool buy = true;
    std::int32_t units = 0;
    std::optional<double> take_profit, stop_loss, trailing_stop;
};

// The 9 values of a place_ticket request: a leading 1, one flag per exit level (1 given, 0 absent), the side
// (1 buy, 0 sell), the units, then each exit level as value - 1 (0 when absent).
std::array<double, 9> ticket_values(const Ticket& ticket) noexcept;

// place_ticket: a VecF64 of ticket_values.
Result<codec::Bytes> place_ticket(const Ticket& ticket, std::size_t headroom = 0);

}  // namespace engine::requests

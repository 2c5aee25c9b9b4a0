// Built without floating-point contraction (see CMakeLists.txt): an exit level is a product rounded, then a
// difference rounded, on every machine, as the peer computes it back.
#include "requests.hpp"

#include "le.hpp"

namespace engine::requests {

codec::Bytes reset_episode(std::uint32_t index, bool test, std::size_t headroom) {
    codec::Bytes out(headroom + 5);
    le::store_u32(out.data() + headroom, index);
    out[headroom + 4] = test ? 1 : 0;
    return out;
}

std::array<double, 13> order_values(const Order& o) noexcept {
    const auto flag = [](const std::optional<double>& v) { return v ? 1.0 : -1.0; };
    const auto level = [](const std::optional<double>& v) { return v ? *v * 100.0 - 1.0 : 0.0; };
    return {1.0,
            o.price,
            flag(o.take_profit),
            flag(o.stop_loss),
            flag(o.trailing_stop),
            flag(o.time_limit),
            o.buy ? 1.0 : -1.0,
            o.limit ? 1.0 : -1.0,
            double(o.units),
            level(o.take_profit),
            level(o.stop_loss),
            level(o.trailing_stop),
            o.time_limit ? *o.time_limit : 0.0};
}

Result<codec::Bytes> place_order(const Order& order, std::size_t headroom) {
    const std::array<double, 13> values = order_values(order);
    return codec::encode_vec_f64(values, headroom);
}

std::array<double, 9> ticket_values(const Ticket& t) noexcept {
    const auto flag = [](const std::optional<double>& v) { return v ? 1.0 : 0.0; };
    const auto level = [](const std::optional<double>& v) { return v ? *v - 1.0 : 0.0; };
    return {1.0,
            flag(t.take_profit),
            flag(t.stop_loss),
            flag(t.trailing_stop),
            t.buy ? 1.0 : 0.0,
            double(t.units),
            level(t.take_profit),
            level(t.stop_loss),
            level(t.trailing_stop)};
}

Result<codec::Bytes> place_ticket(const Ticket& ticket, std::size_t headroom) {
    const std::array<double, 9> values = ticket_values(ticket);
    return codec::encode_vec_f64(values, headroom);
}

}  // namespace engine::requests

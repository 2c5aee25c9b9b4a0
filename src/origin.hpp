// Which browser origins may open the engine's WebSocket. Pure: no Python, no sockets.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

// Origins of the hosted trading UI, besides the loopback ones that are always allowed.
inline constexpr std::array<std::string_view, 2> hosted_ui_origins = {
    "https://ui.tradesim.example",
    "https://app.tradesim.example.io",
};

// The Origin header as the check sees it: empty when absent or when it holds anything but tabs and
// visible ASCII, with every trailing '/' removed.
std::string trimmed_origin(std::optional<std::string_view> header);

// An empty origin (no header) is let in. Otherwise the origin must start with an allowed one and go on,
// if at all, with a port or a path: "http://localhost:5173" is in, "http://localhost.example.net" is not.
bool origin_allowed(std::string_view trimmed);

}  // namespace engine

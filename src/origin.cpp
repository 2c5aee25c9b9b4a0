#include "origin.hpp"

namespace engine {

std::string trimmed_origin(std::optional<std::string_view> header) {
    if (!header) return {};
    for (const char c : *header) {
        const auto b = static_cast<unsigned char>(c);
        if (b != '\t' && (b < 0x20 || b > 0x7E)) return {};
    }
    std::string_view v = *header;
    while (!v.empty() && v.back() == '/') v.remove_suffix(1);
    return std::string(v);
}

bool origin_allowed(std::string_view trimmed) {
    static constexpr std::array<std::string_view, 4> loopback = {
        "http://127.0.0.1", "http://localhost", "https://127.0.0.1", "https://localhost"};
    if (trimmed.empty()) return true;
    const auto matches = [trimmed](std::string_view prefix) {
        if (!trimmed.starts_with(prefix)) return false;
        const std::string_view rest = trimmed.substr(prefix.size());
        return rest.empty() || rest.front() == ':' || rest.front() == '/';
    };
    for (auto p : loopback)
        if (matches(p)) return true;
    for (auto p : hosted_ui_origins)
        if (matches(p)) return true;
    return false;
}

}  // namespace engine

// The origin check. The first input byte says whether an Origin header is present; the rest is its value.
// The decision is compared with one reached differently: take the scheme and the host out of the origin
// (the host ends at the first ':' or '/') and look the pair up among the allowed ones.
#include "check.hpp"
#include "origin.hpp"

#include <array>
#include <optional>

namespace {

std::string expected_trim(std::optional<std::string_view> header) {
    if (!header) return {};
    for (const unsigned char c : *header)
        if (c != '\t' && (c < 0x20 || c > 0x7E)) return {};
    std::string s(*header);
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

bool expected_allowed(std::string_view origin) {
    if (origin.empty()) return true;
    const auto sep = origin.find("://");
    if (sep == std::string_view::npos) return false;
    const std::string_view host_on = origin.substr(sep + 3);
    const std::string_view site = origin.substr(0, sep + 3 + std::min(host_on.find_first_of(":/"), host_on.size()));
    static constexpr std::array<std::string_view, 4> loopback = {"http://127.0.0.1", "http://localhost",
                                                                 "https://127.0.0.1", "https://localhost"};
    for (auto s : loopback)
        if (site == s) return true;
    for (auto s : engine::hosted_ui_origins)
        if (site == s) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::optional<std::string_view> header;
    if (data[0] & 1) header = std::string_view(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::string trimmed = engine::trimmed_origin(header);
    const std::string want = expected_trim(header);
    FUZZ_CHECK(trimmed == want, "trimmed '" + trimmed + "', want '" + want + "'");
    FUZZ_CHECK(trimmed.empty() || trimmed.back() != '/', "a trailing '/' survived");

    const bool allowed = engine::origin_allowed(trimmed);
    FUZZ_CHECK(allowed == expected_allowed(trimmed), std::string(allowed ? "let in" : "refused") + " '" + trimmed + "'");
    // Whatever the header said, the check never looks at anything but the trimmed text.
    FUZZ_CHECK(!allowed || trimmed.empty() || trimmed.starts_with("http://") || trimmed.starts_with("https://"),
               "let in a non-http origin: '" + trimmed + "'");
    return 0;
}

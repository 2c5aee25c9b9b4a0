// The ErrorResponse payload decoder is lenient: short payloads give zeros, an overlong declared message
// gives an empty text, bytes after the message are ignored, and invalid UTF-8 becomes U+FFFD. The text is
// checked against a UTF-8 decoder written here from the WHATWG Encoding standard's algorithm, which
// replaces every maximal invalid subpart by one U+FFFD.
#include "check.hpp"
#include "frame.hpp"

#include <deque>

namespace {

void put_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

std::string whatwg_utf8_decode(fuzz::Bytes bytes) {
    std::string out;
    std::uint32_t cp = 0;
    int needed = 0, seen = 0;
    std::uint8_t lower = 0x80, upper = 0xBF;
    std::deque<std::uint8_t> stream(bytes.begin(), bytes.end());
    while (!stream.empty()) {
        const std::uint8_t b = stream.front();
        stream.pop_front();
        if (needed == 0) {
            if (b <= 0x7F) {
                out += char(b);
            } else if (b >= 0xC2 && b <= 0xDF) {
                needed = 1;
                cp = b & 0x1F;
            } else if (b >= 0xE0 && b <= 0xEF) {
                if (b == 0xE0) lower = 0xA0;
                if (b == 0xED) upper = 0x9F;
                needed = 2;
                cp = b & 0xF;
            } else if (b >= 0xF0 && b <= 0xF4) {
                if (b == 0xF0) lower = 0x90;
                if (b == 0xF4) upper = 0x8F;
                needed = 3;
                cp = b & 0x7;
            } else {
                put_utf8(out, 0xFFFD);
            }
            continue;
        }
        if (b < lower || b > upper) {
            cp = 0;
            needed = seen = 0;
            lower = 0x80;
            upper = 0xBF;
            stream.push_front(b);  // the byte starts over
            put_utf8(out, 0xFFFD);
            continue;
        }
        lower = 0x80;
        upper = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        if (++seen != needed) continue;
        put_utf8(out, cp);
        cp = 0;
        needed = seen = 0;
    }
    if (needed != 0) put_utf8(out, 0xFFFD);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Bytes in(data, size);
    const engine::frame::ErrorPayload e = engine::frame::decode_error_payload(in);
    if (size < 8) {
        FUZZ_CHECK(e.err == 0 && e.sub == 0 && e.message.empty(), "a short payload must give zeros");
        return 0;
    }
    FUZZ_CHECK(e.err == fuzz::u16_at(in, 0) && e.sub == fuzz::u16_at(in, 2), "err or sub differs");
    const std::uint64_t n = fuzz::u32_at(in, 4);
    if (8 + n > size) {
        FUZZ_CHECK(e.message.empty(), "a message running past the end must give the empty text");
        return 0;
    }
    const fuzz::Bytes text = in.subspan(8, std::size_t(n));
    const std::string want = whatwg_utf8_decode(text);
    FUZZ_CHECK(e.message == want, "decoded text differs from the reference decoder");

    const fuzz::Bytes got(reinterpret_cast<const std::uint8_t*>(e.message.data()), e.message.size());
    FUZZ_CHECK(engine::frame::utf8_valid(got), "the decoded text is not valid UTF-8");
    const bool valid = want == std::string(reinterpret_cast<const char*>(text.data()), text.size());
    FUZZ_CHECK(engine::frame::utf8_valid(text) == valid, "utf8_valid disagrees with the reference decoder");
    return 0;
}

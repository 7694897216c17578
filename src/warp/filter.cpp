#include "filter.hpp"

#include <cstdio>

namespace trelvane {

std::optional<Filter> parse_filter(std::string_view name) {
    if (name == "bilinear") return Filter::Bilinear;
    if (name == "lanczos3") return Filter::Lanczos3;
    return std::nullopt;
}

std::string unknown_filter_message(std::string_view name) {
    return "unknown filter " + quoted_literal(name) + ", expected \"bilinear\" or \"lanczos3\"";
}

namespace {

// Decodes the code point starting at s[i] and advances i past it.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    const std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (i + len > s.size()) return static_cast<char32_t>(byte(i++));  // truncated: take the byte
    char32_t cp = len == 1 ? lead : lead & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (byte(i + k) & 0x3F);
    i += len;
    return cp;
}

// Controls, separators other than the plain space, format characters that
// render as nothing, and non-characters are written as escapes.
bool is_printable(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
    if (cp == 0xA0 || cp == 0xAD || cp == 0x1680 || cp == 0x180E) return false;
    if ((cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F)) return false;
    if ((cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 || cp == 0xFEFF) return false;
    if ((cp >= 0xFFF9 && cp <= 0xFFFB) || (cp & 0xFFFE) == 0xFFFE) return false;
    if (cp >= 0xE000 && cp <= 0xF8FF) return false;  // private use
    return cp <= 0x10FFFF;
}

}  // namespace

std::string quoted_literal(std::string_view name) {
    std::string out = "\"";
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t start = i;
        const char32_t cp = next_code_point(name, i);
        switch (cp) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (is_printable(cp)) {
                    out.append(name.substr(start, i - start));
                } else {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
                    out += buf;
                }
        }
    }
    return out + "\"";
}

}  // namespace trelvane

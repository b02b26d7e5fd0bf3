#include "ext/bridge/backend_env.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ext/capi/calls.hpp"

namespace velnor::ext {
namespace {

// Decodes the code point starting at `s[i]` of already validated UTF-8.
char32_t decode(std::string_view s, std::size_t& i) noexcept {
    const auto b0 = static_cast<unsigned char>(s[i]);
    const std::size_t len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    return cp;
}

// Whether a non-ASCII code point is shown as itself: printable, and not a
// combining mark that would attach to the quote or escape before it.
bool shown_as_is(char32_t cp) {
    Ref ch = checked(PyUnicode_FromOrdinal(static_cast<int>(cp)));
    Ref printable = call_method(ch.get(), names().isprintable);
    if (printable.get() != Py_True) return false;
    Ref unicodedata = import("unicodedata");
    Ref category = call(attr(unicodedata.get(), "category").get(), {ch.get()});
    return PyUnicode_CompareWithASCIIString(category.get(), "Mn") != 0 &&
           PyUnicode_CompareWithASCIIString(category.get(), "Me") != 0;
}

}  // namespace

bool is_utf8(std::string_view s) noexcept {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        std::size_t len = 0;
        char32_t min = 0;
        if (b0 < 0x80) {
            ++i;
            continue;
        } else if ((b0 & 0xE0) == 0xC0) {
            len = 2, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4, min = 0x10000;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        std::size_t j = i;
        const char32_t cp = decode(s, j);
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i = j;
    }
    return true;
}

std::string quote_backend_value(std::string_view s) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t start = i;
        const char32_t cp = decode(s, i);
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        const bool plain = cp < 0x80 ? (cp >= 0x20 && cp < 0x7F) : shown_as_is(cp);
        if (plain) {
            out.append(s.substr(start, i - start));
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        }
    }
    out += '"';
    return out;
}

void check_backend_env() {
    // getenv gives the raw bytes; a value that is not UTF-8 counts as unset.
    const char* raw = std::getenv("VELNOR_BACKEND");
    if (!raw) return;
    const std::string_view value(raw);
    if (!is_utf8(value) || value == "compio") return;
    raise(PyExc_ValueError, "unknown VELNOR_BACKEND: " + quote_backend_value(value));
}

}  // namespace velnor::ext

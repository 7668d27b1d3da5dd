// Conversions between the record's fixed UTF-16 fields and UTF-8 strings.
#include <cstring>

#include "settings/settings.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one code point starting at text[i] and advances i; malformed
// input gives U+FFFD and skips one byte.
char32_t nextCodePoint(std::string_view text, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length;
    char32_t c;
    char32_t minimum;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + length > text.size()) {
        ++i;
        return kReplacement;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return kReplacement;
    }
    i += length;
    return c;
}

}  // namespace

std::string fieldToUtf8(const char16_t* field, size_t capacity) {
    std::string out;
    for (size_t i = 0; i < capacity && field[i] != 0; ++i) {
        const char16_t unit = field[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < capacity && field[i + 1] >= 0xDC00 &&
            field[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (field[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            appendUtf8(out, kReplacement);  // a lone surrogate
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

void utf8ToField(char16_t* field, size_t capacity, std::string_view text) {
    if (capacity == 0) return;
    size_t used = 0;
    size_t i = 0;
    // Leave room for the NUL; a pair is never split at the end.
    while (i < text.size()) {
        const char32_t c = nextCodePoint(text, i);
        if (c >= 0x10000) {
            if (used + 2 > capacity - 1) break;
            field[used++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            field[used++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            if (used + 1 > capacity - 1) break;
            field[used++] = static_cast<char16_t>(c);
        }
    }
    // The rest of the field is cleared so no earlier, longer value lingers.
    std::memset(field + used, 0, (capacity - used) * sizeof(char16_t));
}

// Sizes, cuts and decoding of stored output streams.
#include "output.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include <string>

namespace {

// JSON bytes of the character at p; *step receives the input bytes it covers.
size_t char_json_size(const unsigned char *p, size_t n, size_t *step) {
    size_t len = utf8_sequence_length(p, n);
    if (len == 0) {
        *step = 1;
        return 3; // U+FFFD
    }
    *step = len;
    if (len > 1)
        return len;
    switch (p[0]) {
    case '"': case '\\': case '\b': case '\f': case '\n': case '\r': case '\t':
        return 2;
    default:
        return p[0] < 0x20 ? 6 : 1;
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The four hex digits at p as a number, or -1.
long hex4(const char *p) {
    long v = 0;
    for (int i = 0; i < 4; i++) {
        int d = hex_value(p[i]);
        if (d < 0)
            return -1;
        v = v * 16 + d;
    }
    return v;
}

size_t put_utf8(unsigned long cp, char *out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Decodes the escape after a backslash at text[*i]; false when malformed.
bool decode_escape(const char *text, size_t len, size_t *i, char *out, size_t *o) {
    char c = text[*i];
    static const char plain_from[] = "\"\\/bfnrt";
    static const char plain_to[] = "\"\\/\b\f\n\r\t";
    for (int k = 0; plain_from[k] != '\0'; k++)
        if (c == plain_from[k]) {
            out[(*o)++] = plain_to[k];
            ++*i;
            return true;
        }
    if (c != 'u' || *i + 5 > len)
        return false;
    long cp = hex4(text + *i + 1);
    *i += 5;
    if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF))
        return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (*i + 6 > len || text[*i] != '\\' || text[*i + 1] != 'u')
            return false;
        long low = hex4(text + *i + 2);
        if (low < 0xDC00 || low > 0xDFFF)
            return false;
        *i += 6;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    *o += put_utf8(static_cast<unsigned long>(cp), out + *o);
    return true;
}

} // namespace

size_t json_plain_ascii_prefix(const char *data, size_t len) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    // A word holds a zero byte when (w - ones) & ~w & highs is not 0.
    auto has_zero = [](uint64_t w) { return ((w - ones) & ~w & highs) != 0; };
    size_t i = 0;
#ifdef __SSE2__
    // Sixteen bytes at a time: this scan is most of the cost of writing a
    // large output as JSON, and it runs several times per output. A signed
    // compare below 0x20 also catches every byte from 0x80 up.
    const __m128i space = _mm_set1_epi8(0x20), quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    while (len - i >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i));
        __m128i stop = _mm_or_si128(_mm_cmplt_epi8(v, space),
                                    _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
        if (mask != 0)
            return i + static_cast<size_t>(__builtin_ctz(mask));
        i += 16;
    }
#endif
    uint64_t w;
    while (len - i >= sizeof w) {
        memcpy(&w, data + i, sizeof w);
        // Below 0x20 (with no high bit), '"', '\\', or non-ASCII.
        if (((w - ones * 0x20) & ~w & highs) != 0 || has_zero(w ^ (ones * '"')) ||
            has_zero(w ^ (ones * '\\')) || (w & highs) != 0)
            break;
        i += sizeof w;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    while (i < len && p[i] >= 0x20 && p[i] < 0x80 && p[i] != '"' && p[i] != '\\')
        i++;
    return i;
}

size_t output_json_size(const char *data, size_t len) {
    size_t total = 2;
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    for (size_t i = 0, step = 0; i < len; i += step)
        total += char_json_size(p + i, len - i, &step);
    return total;
}

size_t output_fit_prefix(const char *data, size_t len, size_t limit) {
    if (limit < 2)
        return 0;
    size_t room = limit - 2;
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    size_t i = 0;
    while (i < len) {
        // Printable ASCII, most of any output, takes one byte each.
        size_t plain = json_plain_ascii_prefix(data + i, std::min(len - i, room));
        room -= plain;
        i += plain;
        if (i == len || room == 0)
            break;
        size_t step = 0;
        size_t size = char_json_size(p + i, len - i, &step);
        if (size > room)
            break;
        room -= size;
        i += step;
    }
    return i;
}

char *output_json_unescape(const char *text, size_t len, size_t *out_len, size_t *consumed) {
    if (len < 2 || text[0] != '"')
        return nullptr;
    // Decoding never grows the text.
    auto *out = static_cast<char *>(malloc(len));
    if (out == nullptr)
        return nullptr;
    size_t i = 1, o = 0;
    while (i < len && text[i] != '"') {
        if (text[i] != '\\') {
            out[o++] = text[i++];
            continue;
        }
        ++i;
        if (i >= len || !decode_escape(text, len, &i, out, &o)) {
            free(out);
            return nullptr;
        }
    }
    if (i >= len) {
        free(out);
        return nullptr;
    }
    out[o] = '\0';
    *out_len = o;
    *consumed = i + 1;
    return out;
}

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0.
size_t utf8_sequence_length(const unsigned char *p, size_t n) {
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t len;
    unsigned min;
    unsigned cp;
    if ((c & 0xE0) == 0xC0) {
        len = 2, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;
    }
    if (len > n)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not valid.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

namespace {

// Length of the longest valid UTF-8 prefix of data; ASCII is checked eight
// bytes at a time.
size_t utf8_valid_prefix(const unsigned char *p, size_t len) {
    size_t i = 0;
    while (i < len) {
        uint64_t word;
        if (len - i >= sizeof word) {
            memcpy(&word, p + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += sizeof word;
                continue;
            }
        }
        size_t n = utf8_sequence_length(p + i, len - i);
        if (n == 0)
            return i;
        i += n;
    }
    return i;
}

} // namespace

json_t *json_string_lossy(const char *data, size_t len) {
    if (data == nullptr)
        return json_string("");
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    // Most output is valid UTF-8 already: checked here (faster than the
    // library's check) and copied once.
    size_t valid = utf8_valid_prefix(p, len);
    if (valid == len)
        return json_stringn_nocheck(data, len);
    static constexpr char replacement[] = "\xEF\xBF\xBD"; // U+FFFD
    std::string text;
    text.reserve(len);
    text.append(data, valid);
    size_t i = valid;
    while (i < len) {
        size_t n = utf8_sequence_length(p + i, len - i);
        if (n == 0) {
            text.append(replacement, 3);
            i++;
        } else {
            text.append(data + i, n);
            i += n;
        }
    }
    return json_stringn(text.data(), text.size());
}

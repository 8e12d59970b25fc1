#include "escape.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Length (2 to 4) and code point of the well-formed UTF-8 sequence that
// starts at s[i]; 0 when there is none.
size_t utf8_sequence(const unsigned char *s, size_t len, size_t i, uint32_t *cp) {
    unsigned char c = s[i];
    size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
    if (n == 0 || i + n > len)
        return 0;
    uint32_t v = c & (0x7f >> n);
    for (size_t k = 1; k < n; ++k) {
        if ((s[i + k] & 0xc0) != 0x80)
            return 0;
        v = (v << 6) | (s[i + k] & 0x3f);
    }
    // Overlong forms, surrogates and values past Unicode are no UTF-8.
    static constexpr uint32_t min_for[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < min_for[n] || (v >= 0xd800 && v <= 0xdfff) || v > 0x10ffff)
        return 0;
    *cp = v;
    return n;
}

// Code points a terminal acts on: C1 controls, the line and paragraph
// separators and the direction embeddings, overrides and isolates.
bool escaped_code_point(uint32_t cp) {
    return (cp >= 0x80 && cp <= 0x9f) || (cp >= 0x2028 && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

// Appends the text of the character at s[i] to out, escaped when needed;
// returns the bytes it took.
size_t append_escaped_char(const unsigned char *s, size_t len, size_t i, std::string *out) {
    unsigned char c = s[i];
    char piece[12];
    if (c < 0x80) {
        if (c == '\n')
            out->append("\\n");
        else if (c == '\r')
            out->append("\\r");
        else if (c == '\t')
            out->append("\\t");
        else if (c < 0x20 || c == 0x7f) {
            snprintf(piece, sizeof piece, "\\x%02x", c);
            out->append(piece);
        } else
            out->push_back(static_cast<char>(c));
        return 1;
    }
    uint32_t cp = 0;
    size_t n = utf8_sequence(s, len, i, &cp);
    if (n == 0) {
        snprintf(piece, sizeof piece, "\\x%02x", c);
        out->append(piece);
        return 1;
    }
    if (escaped_code_point(cp)) {
        snprintf(piece, sizeof piece, "\\u%04x", static_cast<unsigned>(cp));
        out->append(piece);
    } else {
        out->append(reinterpret_cast<const char *>(s + i), n);
    }
    return n;
}

} // namespace

std::string escape_outside_text(const char *text, size_t len) {
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; i < len;)
        i += append_escaped_char(s, len, i, &out);
    return out;
}

size_t escape_log_message(const char *msg, char *out, size_t outsz) {
    static constexpr char ellipsis[] = "...";
    if (outsz == 0)
        return 0;
    size_t len = strlen(msg);
    bool final_newline = len > 0 && msg[len - 1] == '\n';
    if (final_newline)
        --len;
    // Room kept for the final newline and the NUL.
    size_t limit = outsz - 1 - (final_newline ? 1 : 0);
    std::string text;
    size_t fits = 0; // the longest prefix, cut between escapes, that leaves room for "..."
    const auto *s = reinterpret_cast<const unsigned char *>(msg);
    for (size_t i = 0; i < len;) {
        i += append_escaped_char(s, len, i, &text);
        if (text.size() + sizeof ellipsis - 1 <= limit)
            fits = text.size();
        if (text.size() > limit)
            break;
    }
    if (text.size() > limit) {
        text.resize(fits);
        if (fits + sizeof ellipsis - 1 <= limit)
            text += ellipsis;
    }
    if (final_newline)
        text += '\n';
    memcpy(out, text.c_str(), text.size() + 1);
    return text.size();
}

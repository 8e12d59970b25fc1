// Command output as it is stored: each stream becomes a JSON string, whose
// size is bounded. These helpers measure, cut and decode that form without
// building it.
#pragma once

#include <cstddef>

#include <jansson.h>

// Bytes the JSON string of data takes, quotes included: each byte that is
// not part of valid UTF-8 becomes U+FFFD, and escapes are those the JSON
// library writes (\" \\ \b \f \n \r \t, \u00XX for other control bytes).
size_t output_json_size(const char *data, size_t len);

// Length of the longest prefix of data that ends on a character boundary
// and whose JSON string takes at most limit bytes.
size_t output_fit_prefix(const char *data, size_t len, size_t limit);

// Decodes the JSON string that starts at text (its opening quote), as the
// JSON library writes it, into a new malloc'd buffer (NUL added) of
// *out_len bytes; *consumed receives the bytes of text read, closing quote
// included. None when the text is not such a string or memory runs out.
char *output_json_unescape(const char *text, size_t len, size_t *out_len, size_t *consumed);

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0: the
// JSON library's rules (no overlong forms, surrogates or values past
// U+10FFFF).
size_t utf8_sequence_length(const unsigned char *p, size_t n);

// Bytes at the start of data (at most len) that are printable ASCII other
// than '"' and '\\': copied as they are into a JSON string. Checked eight
// bytes at a time.
size_t json_plain_ascii_prefix(const char *data, size_t len);

// New JSON string holding every byte of data (NUL bytes included), with each
// byte that is not part of valid UTF-8 replaced by U+FFFD; "" for none.
json_t *json_string_lossy(const char *data, size_t len);

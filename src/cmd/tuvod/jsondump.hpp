// JSON text exactly as the JSON library writes it, made faster for large
// strings: the library escapes a string one character at a time through
// its UTF-8 decoder, which makes a command's output of tens of megabytes
// cost a good part of a second per copy written (execution log, answer,
// row). Here strings are escaped in bulk and the text is handed on in large
// pieces; structure, separators, indentation and numbers are the library's.
#pragma once

#include <cstddef>

#include <jansson.h>

// As json_dump_callback(value, callback, data, flags): the same bytes in
// the same order (in fewer, larger pieces). Flags beyond JSON_COMPACT,
// JSON_INDENT and JSON_ENCODE_ANY are left to the library. 0 or -1.
int json_dump_fast(const json_t *value, json_dump_callback_t callback, void *data, size_t flags);

// As json_dumpb: the length of the text (which is written only when it
// fits size), 0 on failure.
size_t json_dumpb_fast(const json_t *value, char *buffer, size_t size, size_t flags);

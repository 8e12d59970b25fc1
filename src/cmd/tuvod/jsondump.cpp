// See jsondump.hpp. The layout rules are the JSON library's: containers
// open, each member on its own line at depth times the indent when an
// indent is set, ", " / ": " between items and keys without JSON_COMPACT,
// "," / ":" with it, "[]" and "{}" when empty, members in the object's own
// order. Strings escape '"', '\\', \b \f \n \r \t by name and other bytes
// below 0x20 as \u00XX (upper-case hex); everything else, valid UTF-8
// included, is copied. A string that is not valid UTF-8 fails the dump, as
// it does in the library.
#include "jsondump.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "output.hpp"

namespace {

constexpr size_t SUPPORTED_FLAGS = JSON_COMPACT | JSON_INDENT(0x1F) | JSON_ENCODE_ANY;

// Writes the text either straight into a caller's buffer (counting what
// does not fit, so that a first pass with no buffer only measures), or
// through a staging buffer to a callback, handed on when the staging buffer
// is full. The direct form copies each byte once: a large output's text is
// tens of megabytes, and a staging copy or a measuring copy of it cost as
// much as the escaping.
class piece_writer {
  public:
    piece_writer(char *buffer, size_t size) : dest_(buffer), room_(size) {}
    piece_writer(json_dump_callback_t callback, void *data)
        : callback_(callback), data_(data), staging_(new (std::nothrow) char[STAGING]) {
        if (!staging_)
            ok_ = false;
        dest_ = staging_.get();
        room_ = staging_ ? STAGING : 0;
    }
    ~piece_writer() = default;
    piece_writer(const piece_writer &) = delete;
    piece_writer &operator=(const piece_writer &) = delete;

    void put(const char *text, size_t len) {
        if (staging_ && len > room_ - used_) {
            flush();
            if (len > room_) {
                pass(text, len);
                return;
            }
        }
        if (len != 0 && len <= room_ - std::min(used_, room_))
            memcpy(dest_ + used_, text, len);
        used_ += len;
    }
    void put(char c) { put(&c, 1); }
    // Hands on what is staged; false once the receiver refused a piece.
    bool flush() {
        if (staging_ && used_ > 0)
            pass(dest_, used_);
        if (staging_)
            used_ = 0;
        return ok_;
    }
    void fail() { ok_ = false; }
    bool ok() const { return ok_; }
    // In the direct form: the length of the whole text, written or not.
    size_t written() const { return used_; }

  private:
    static constexpr size_t STAGING = 64 * 1024;

    void pass(const char *text, size_t len) {
        if (ok_ && callback_(text, len, data_) != 0)
            ok_ = false;
    }

    json_dump_callback_t callback_ = nullptr;
    void *data_ = nullptr;
    std::unique_ptr<char[]> staging_;
    char *dest_ = nullptr;
    size_t room_ = 0;
    size_t used_ = 0;
    bool ok_ = true;
};

void put_escape(piece_writer &w, unsigned char c) {
    switch (c) {
    case '"': w.put("\\\"", 2); return;
    case '\\': w.put("\\\\", 2); return;
    case '\b': w.put("\\b", 2); return;
    case '\f': w.put("\\f", 2); return;
    case '\n': w.put("\\n", 2); return;
    case '\r': w.put("\\r", 2); return;
    case '\t': w.put("\\t", 2); return;
    default: {
        char seq[8];
        snprintf(seq, sizeof seq, "\\u%04X", static_cast<unsigned>(c));
        w.put(seq, 6);
    }
    }
}

void put_string(piece_writer &w, const char *text, size_t len) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    w.put('"');
    size_t i = 0;
    while (i < len) {
        size_t run = i;
        for (;;) {
            run += json_plain_ascii_prefix(text + run, len - run);
            if (run == len || p[run] < 0x80)
                break;
            size_t n = utf8_sequence_length(p + run, len - run);
            if (n == 0) {
                w.fail();
                return;
            }
            run += n;
        }
        w.put(text + i, run - i);
        if (run == len)
            break;
        put_escape(w, p[run]);
        i = run + 1;
    }
    w.put('"');
}

void put_indent(piece_writer &w, size_t flags, int depth, bool space) {
    size_t indent = JSON_INDENT(0x1F) & flags;
    if (indent > 0) {
        w.put('\n');
        for (size_t n = indent * static_cast<size_t>(depth); n > 0; n--)
            w.put(' ');
    } else if (space && (flags & JSON_COMPACT) == 0) {
        w.put(' ');
    }
}

// Numbers are rare and small: written by the library itself.
void put_number(piece_writer &w, const json_t *value) {
    char text[64];
    size_t n = json_dumpb(value, text, sizeof text, JSON_ENCODE_ANY);
    if (n == 0 || n > sizeof text)
        w.fail();
    else
        w.put(text, n);
}

void put_value(piece_writer &w, const json_t *value, size_t flags, int depth);

void put_array(piece_writer &w, const json_t *array, size_t flags, int depth) {
    size_t n = json_array_size(array);
    if (n == 0) {
        w.put("[]", 2);
        return;
    }
    w.put('[');
    put_indent(w, flags, depth + 1, false);
    for (size_t i = 0; i < n && w.ok(); i++) {
        put_value(w, json_array_get(array, i), flags, depth + 1);
        if (i + 1 < n) {
            w.put(',');
            put_indent(w, flags, depth + 1, true);
        } else {
            put_indent(w, flags, depth, false);
        }
    }
    w.put(']');
}

void put_object(piece_writer &w, const json_t *object, size_t flags, int depth) {
    void *it = json_object_iter(const_cast<json_t *>(object));
    if (it == nullptr) {
        w.put("{}", 2);
        return;
    }
    const bool compact = (flags & JSON_COMPACT) != 0;
    w.put('{');
    put_indent(w, flags, depth + 1, false);
    while (it != nullptr && w.ok()) {
        put_string(w, json_object_iter_key(it), json_object_iter_key_len(it));
        w.put(compact ? ":" : ": ", compact ? 1 : 2);
        put_value(w, json_object_iter_value(it), flags, depth + 1);
        it = json_object_iter_next(const_cast<json_t *>(object), it);
        if (it != nullptr) {
            w.put(',');
            put_indent(w, flags, depth + 1, true);
        } else {
            put_indent(w, flags, depth, false);
        }
    }
    w.put('}');
}

void put_value(piece_writer &w, const json_t *value, size_t flags, int depth) {
    switch (json_typeof(value)) {
    case JSON_OBJECT: put_object(w, value, flags, depth); return;
    case JSON_ARRAY: put_array(w, value, flags, depth); return;
    case JSON_STRING: put_string(w, json_string_value(value), json_string_length(value)); return;
    case JSON_INTEGER:
    case JSON_REAL: put_number(w, value); return;
    case JSON_TRUE: w.put("true", 4); return;
    case JSON_FALSE: w.put("false", 5); return;
    case JSON_NULL: w.put("null", 4); return;
    }
    w.fail();
}
bool dumpable(const json_t *value, size_t flags) {
    return value != nullptr && ((flags & JSON_ENCODE_ANY) != 0 || json_is_array(value) || json_is_object(value));
}

} // namespace

int json_dump_fast(const json_t *value, json_dump_callback_t callback, void *data, size_t flags) {
    if ((flags & ~SUPPORTED_FLAGS) != 0)
        return json_dump_callback(value, callback, data, flags);
    if (!dumpable(value, flags))
        return -1;
    piece_writer w(callback, data);
    put_value(w, value, flags, 0);
    return w.ok() && w.flush() ? 0 : -1;
}

size_t json_dumpb_fast(const json_t *value, char *buffer, size_t size, size_t flags) {
    if ((flags & ~SUPPORTED_FLAGS) != 0)
        return json_dumpb(value, buffer, size, flags);
    if (!dumpable(value, flags))
        return 0;
    piece_writer w(buffer, size);
    put_value(w, value, flags, 0);
    return w.ok() ? w.written() : 0;
}

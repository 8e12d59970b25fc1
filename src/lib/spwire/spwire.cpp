#include "spwire.hpp"

#include <algorithm>
#include <cstring>

namespace spwire {

namespace {
// A body grows in steps of at most this much as its bytes arrive.
constexpr size_t GROW_STEP = 64 * 1024;
} // namespace

header make_header(uint16_t proto) {
    return {0, 'S', 'P', 0, static_cast<uint8_t>(proto >> 8), static_cast<uint8_t>(proto & 0xff), 0, 0};
}

bool header_is(std::span<const uint8_t, HEADER_SIZE> h, uint16_t proto) {
    header want = make_header(proto);
    return std::equal(h.begin(), h.end(), want.begin());
}

void put_u64(uint8_t *out, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8)
        out[i] = static_cast<uint8_t>(v & 0xff);
}

uint64_t get_u64(const uint8_t *in) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | in[i];
    return v;
}

void put_u32(uint8_t *out, uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8)
        out[i] = static_cast<uint8_t>(v & 0xff);
}

uint32_t get_u32(const uint8_t *in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
}

bool length_allowed(uint64_t len, int64_t max) {
    return max < 0 || len <= static_cast<uint64_t>(max);
}

std::optional<size_t> backtrace_size(std::string_view msg) {
    const auto *p = reinterpret_cast<const uint8_t *>(msg.data());
    for (size_t w = 0; w < MAX_BACKTRACE_WORDS && (w + 1) * 4 <= msg.size(); ++w) {
        if ((p[w * 4] & 0x80) != 0)
            return (w + 1) * 4;
    }
    return std::nullopt;
}

std::string frame(std::string_view first, std::string_view second) {
    std::string out(LENGTH_SIZE, '\0');
    out.reserve(LENGTH_SIZE + first.size() + second.size());
    put_u64(reinterpret_cast<uint8_t *>(out.data()), first.size() + second.size());
    out.append(first);
    out.append(second);
    return out;
}

reader::step reader::fill_fixed(std::span<const uint8_t> in, size_t want) {
    size_t n = std::min(want - fixed_have_, in.size());
    std::memcpy(fixed_.data() + fixed_have_, in.data(), n);
    fixed_have_ += n;
    return {event::need_more, n};
}

reader::step reader::feed(std::span<const uint8_t> in) {
    switch (phase_) {
    case phase::peer_header: {
        step s = fill_fixed(in, HEADER_SIZE);
        if (fixed_have_ < HEADER_SIZE)
            return s;
        fixed_have_ = 0;
        if (!header_is(std::span<const uint8_t, HEADER_SIZE>(fixed_.data(), HEADER_SIZE), peer_proto_)) {
            phase_ = phase::failed;
            return {event::bad_header, s.used};
        }
        phase_ = phase::length;
        return {event::header_ok, s.used};
    }
    case phase::length: {
        step s = fill_fixed(in, LENGTH_SIZE);
        if (fixed_have_ < LENGTH_SIZE)
            return s;
        fixed_have_ = 0;
        len_ = get_u64(fixed_.data());
        if (!length_allowed(len_, max_)) {
            phase_ = phase::failed;
            return {event::too_large, s.used};
        }
        phase_ = phase::held;
        return {event::length, s.used};
    }
    case phase::body: {
        size_t n = static_cast<size_t>(std::min<uint64_t>(len_ - body_.size(), in.size()));
        if (body_.capacity() < body_.size() + n)
            body_.reserve(body_.size() + std::max<size_t>(n, std::min<uint64_t>(GROW_STEP, len_ - body_.size())));
        body_.append(reinterpret_cast<const char *>(in.data()), n);
        if (body_.size() < len_)
            return {event::need_more, n};
        phase_ = phase::ready;
        return {event::message, n};
    }
    case phase::held:
        return {event::length, 0};
    case phase::ready:
        return {event::message, 0};
    case phase::failed:
        break;
    }
    return {event::bad_header, 0};
}

void reader::accept_length() {
    if (phase_ != phase::held)
        return;
    body_.clear();
    phase_ = len_ == 0 ? phase::ready : phase::body;
}

std::string reader::take() {
    std::string out;
    if (phase_ == phase::ready) {
        out.swap(body_);
        phase_ = phase::length;
    }
    return out;
}

std::string frame_request(uint32_t id, std::string_view body) {
    char word[4];
    put_u32(reinterpret_cast<uint8_t *>(word), id);
    return frame(std::string_view(word, 4), body);
}

std::optional<std::string_view> reply_body(std::string_view msg, uint32_t id) {
    if (msg.size() < 4 || get_u32(reinterpret_cast<const uint8_t *>(msg.data())) != id)
        return std::nullopt;
    return msg.substr(4);
}

} // namespace spwire

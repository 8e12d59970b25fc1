// The scalability-protocol request/reply wire over TCP, as the daemon and
// tuvoctl speak it with existing peers.
//
// A connection starts with an 8-byte header from each side: "\0SP\0", the
// sender's protocol (big-endian 16 bit: 0x0030 for REQ, 0x0031 for REP) and
// two zero bytes. Then each message is a 64-bit big-endian length followed by
// that many bytes. A request's bytes start with its backtrace: 4-byte words
// up to and including the first with its top bit set (a REQ peer sends one,
// its request id; devices in between push one word each). The reply carries
// the same backtrace in front of its body, which is how the peer matches
// replies to requests; replies may go out in any order.
//
// Everything here is pure: no I/O, and no allocation beyond the message being
// read, which grows only as its bytes arrive (a claimed length reserves
// nothing).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace spwire {

constexpr uint16_t PROTO_REQ = 0x0030;
constexpr uint16_t PROTO_REP = 0x0031;
constexpr size_t HEADER_SIZE = 8;
constexpr size_t LENGTH_SIZE = 8;
// Devices push one word per hop; more than this many words without an end
// marker is not a backtrace.
constexpr size_t MAX_BACKTRACE_WORDS = 15;
// No size limit on messages.
constexpr int64_t UNLIMITED = -1;

using header = std::array<uint8_t, HEADER_SIZE>;

header make_header(uint16_t proto);
// True when h is exactly the header a peer of protocol proto sends.
bool header_is(std::span<const uint8_t, HEADER_SIZE> h, uint16_t proto);

void put_u64(uint8_t *out, uint64_t v);
uint64_t get_u64(const uint8_t *in);
void put_u32(uint8_t *out, uint32_t v);
uint32_t get_u32(const uint8_t *in);

// True when a message of len bytes is allowed under max (UNLIMITED or >= 0).
bool length_allowed(uint64_t len, int64_t max);

// The size of the backtrace that starts msg (a multiple of 4, at least 4), or
// nothing when msg holds no complete one within MAX_BACKTRACE_WORDS.
std::optional<size_t> backtrace_size(std::string_view msg);

// One framed message: length, then the parts in order.
std::string frame(std::string_view first, std::string_view second = {});

// Incremental reader of one connection's incoming bytes: the peer's header,
// then messages. feed() consumes bytes up to the next event and says which;
// the caller acts on it and feeds the rest. After LENGTH the body is read
// only once the caller has called accept_length(), so a caller can hold a
// message at its length until it has room for it.
class reader {
  public:
    enum class event {
        need_more,  // every byte given was consumed; feed more
        header_ok,  // the peer's header matched
        bad_header, // the peer's header did not match: close the connection
        length,     // a message length was read (length()); accept_length() to go on
        too_large,  // the length exceeds the maximum: close the connection
        message,    // a whole message is ready (take())
    };
    struct step {
        event ev;
        size_t used; // bytes consumed from the input
    };

    // peer_proto: the protocol the peer must announce; max: largest message
    // (UNLIMITED or >= 0).
    reader(uint16_t peer_proto, int64_t max) : peer_proto_(peer_proto), max_(max) {}

    step feed(std::span<const uint8_t> in);
    uint64_t length() const { return len_; }
    void accept_length();
    // The complete message; the reader then waits for the next length.
    std::string take();
    // Bytes of the message being read so far (for accounting).
    size_t buffered() const { return body_.size(); }

  private:
    enum class phase { peer_header, length, held, body, ready, failed };
    step fill_fixed(std::span<const uint8_t> in, size_t want);

    uint16_t peer_proto_;
    int64_t max_;
    phase phase_ = phase::peer_header;
    std::array<uint8_t, 8> fixed_{};
    size_t fixed_have_ = 0;
    uint64_t len_ = 0;
    std::string body_;
};

// Request ids of a REQ peer: the top bit set over a 31-bit counter.
class request_ids {
  public:
    explicit request_ids(uint32_t seed) : next_(seed & 0x7fffffffu) {}
    uint32_t next() {
        uint32_t id = next_ | 0x80000000u;
        next_ = (next_ + 1) & 0x7fffffffu;
        return id;
    }

  private:
    uint32_t next_;
};

// A REQ peer's framed request: id, then body.
std::string frame_request(uint32_t id, std::string_view body);
// The body of a reply message when it answers request id; nothing for a reply
// to another request or a message too short to be one.
std::optional<std::string_view> reply_body(std::string_view msg, uint32_t id);

} // namespace spwire

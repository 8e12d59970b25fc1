// A peer's bytes as the daemon reads them: the wire header, then framed
// messages, fed in chunks whose sizes the input chooses, under a message
// limit the input chooses. Every message that comes out must be whole, within
// the limit, and no larger in memory than what was sent; a backtrace found in
// it must lie inside it.
#include <cstdint>
#include <string>

#include "fuzz_env.hpp"
#include "spwire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    // First byte: the limit (a power of two up to 64 KiB, or none); second:
    // the chunk size.
    int64_t max = data[0] >= 17 ? spwire::UNLIMITED : int64_t{1} << data[0];
    size_t chunk = data[1] == 0 ? 1 : data[1];
    std::span<const uint8_t> input(data + 2, size - 2);

    spwire::reader rd(spwire::PROTO_REQ, max);
    size_t fed = 0;
    bool done = false;
    while (!done && fed < input.size()) {
        std::span<const uint8_t> in = input.subspan(fed, std::min(chunk, input.size() - fed));
        fed += in.size();
        while (!done) {
            auto st = rd.feed(in);
            fuzz::check(st.used <= in.size(), "consumes only what it is given");
            in = in.subspan(st.used);
            fuzz::check(rd.buffered() <= input.size(), "buffers no more than was sent");
            switch (st.ev) {
            case spwire::reader::event::need_more:
                fuzz::check(in.empty(), "asks for more only when all is consumed");
                break;
            case spwire::reader::event::length:
                fuzz::check(spwire::length_allowed(rd.length(), max), "held lengths are allowed");
                rd.accept_length();
                continue;
            case spwire::reader::event::message: {
                std::string msg = rd.take();
                fuzz::check(spwire::length_allowed(msg.size(), max), "messages are within the limit");
                if (auto bt = spwire::backtrace_size(msg))
                    fuzz::check(*bt <= msg.size() && *bt % 4 == 0 && *bt >= 4, "backtrace within the message");
                continue;
            }
            case spwire::reader::event::header_ok:
                continue;
            case spwire::reader::event::bad_header:
            case spwire::reader::event::too_large:
                done = true;
                continue;
            }
            break;
        }
    }
    return 0;
}

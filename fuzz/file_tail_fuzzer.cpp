// The tail of a file of arbitrary bytes. The first input byte is the number
// of lines wanted; the rest is the file. The result is compared with a
// plain forward reading of the same bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_env.hpp"
#include "handles.hpp"
#include "stats.hpp"
#include "utils.hpp"

namespace {

// The last n non-empty lines, oldest first; a line that is not valid text
// counts but is left out.
json_ptr expected_tail(const char *text, size_t size, size_t n) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i == size || text[i] == '\n') {
            if (i > start)
                lines.emplace_back(text + start, i - start);
            start = i + 1;
        }
    }
    size_t first = lines.size() > n ? lines.size() - n : 0;
    json_ptr tail(json_array());
    for (size_t i = first; i < lines.size(); i++) {
        json_t *line = json_stringn(lines[i].data(), lines[i].size());
        if (line != nullptr)
            json_array_append_new(tail.get(), line);
    }
    return tail;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quiet_logging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    static const std::string path = fuzz::scratch_dir() + "/tail.log";
    const size_t n_lines = data[0];
    fuzz::write_file(path, data + 1, size - 1);
    json_ptr tail(file_tail_json(path.c_str(), n_lines));
    json_ptr expected = expected_tail(reinterpret_cast<const char *>(data + 1), size - 1, n_lines);
    fuzz::check(json_equal(tail.get(), expected.get()), "tail matches the file's last lines");
    return 0;
}

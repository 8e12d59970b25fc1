// The floor: what running a script costs with no daemon in between. The
// benchmark forks, execs the script with stdin on /dev/null, reads standard
// output and standard error to the end through pipes and reaps the child,
// the least any runner that collects output must do.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct direct_run {
    bool ok = false;     // started, both pipes read to EOF, reaped
    int exit_status = -1; // the exit code, or -1 when the child did not exit normally
    size_t stdout_bytes = 0;
    std::string stdout_text; // the first keep_bytes of standard output
};

// Runs argv[0] with argv; keeps at most keep_bytes of its standard output.
direct_run run_direct(const std::vector<std::string> &argv, size_t keep_bytes = 4096);

} // namespace bench

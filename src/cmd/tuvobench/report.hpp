// The printed result: one table row per figure with every round and the
// median, then one summary line per figure with its target.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct row {
    std::string label;
    std::string unit;
    std::vector<double> rounds;
};

void print_table(const std::vector<row> &rows);

// "label: text (target ...) met/missed"; met < 0 prints no verdict.
void print_summary(const std::string &label, const std::string &text, const std::string &target,
                   int met);

} // namespace bench

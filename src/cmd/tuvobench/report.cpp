#include "report.hpp"

#include <cstdio>

#include "stats.hpp"

namespace bench {

void print_table(const std::vector<row> &rows) {
    size_t rounds = 0;
    for (const auto &r : rows)
        rounds = std::max(rounds, r.rounds.size());
    std::printf("\n%-40s %-6s", "figure", "unit");
    for (size_t i = 0; i < rounds; i++)
        std::printf(" %9s%zu", "round ", i + 1);
    std::printf(" %10s\n", "median");
    for (const auto &r : rows) {
        std::printf("%-40s %-6s", r.label.c_str(), r.unit.c_str());
        for (size_t i = 0; i < rounds; i++) {
            if (i < r.rounds.size())
                std::printf(" %10.3f", r.rounds[i]);
            else
                std::printf(" %10s", "");
        }
        std::printf(" %10.3f\n", median(r.rounds));
    }
    std::printf("\n");
}

void print_summary(const std::string &label, const std::string &text, const std::string &target,
                   int met) {
    std::printf("%-28s %s", (label + ":").c_str(), text.c_str());
    if (!target.empty())
        std::printf("  [target %s: %s]", target.c_str(), met < 0 ? "n/a" : met ? "met" : "MISSED");
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace bench

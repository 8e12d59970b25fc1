// Request argument vectors and their redaction: what a command line is
// made of, and what of it no log, record or listing may show.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <jansson.h>

// New NULL-terminated argument vector of copies of a JSON array's strings, or none.
char **argv_from_json_array(json_t *argv_js);
void free_argv(char **argv);
// New JSON array of the vector's strings, masked by redact; or none.
json_t *redacted_argv_json(char **argv, int redact);
// Writes the command description of props_js["argv"] into buf; returns buf or "...".
const char *cmd_desc_for_exec_req(json_t *props_js, int redact_argv, char *buf, size_t bufsz);

// The texts of the secret arguments of a command line (empty ones left
// out): what no listing of the command's processes may show.
std::vector<std::string> secret_args(const char *const *argv, int redact);
// text with every occurrence of a secret replaced by "********".
std::string mask_secrets(const std::string &text, const std::vector<std::string> &secrets);
// A copy of a request (or of its "args") for tracing: "authority" replaced
// by "********" and the elements of the "argv" array masked by redact
// (every argument after the first when redact is -1). New reference, or none.
json_t *request_for_trace(const json_t *req_js, int redact);

struct argv_deleter {
    void operator()(char **argv) const noexcept { free_argv(argv); }
};
using argv_ptr = std::unique_ptr<char *, argv_deleter>;

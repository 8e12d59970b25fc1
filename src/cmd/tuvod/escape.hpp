// Escaping text from outside (a client, a script, a file name) before it
// reaches a log or a terminal. A leaf: the log, the daemon's modules and
// tuvoctl all use it.
#pragma once

#include <cstddef>
#include <string>

// Writes msg to out with every control character escaped (\n, \r, \t,
// \xHH), except a final newline, which stays: text from outside (a client,
// a script, a file name) cannot start a log line of its own. So are the
// C1 controls and the line, paragraph and direction controls of Unicode
// (\uHHHH) and bytes that are no UTF-8 (\xHH): a terminal showing the log
// acts on none of them. Cut with "..." to fit outsz; returns the length
// written.
size_t escape_log_message(const char *msg, char *out, size_t outsz);
// The same escaping for the whole of len bytes, newlines included, without
// a length cap: for clients printing text that others chose.
std::string escape_outside_text(const char *text, size_t len);

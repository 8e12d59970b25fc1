// Appends of several threads to one synchronously written file sharing one
// write, and so one disk sync.
//
// The execution log is opened for synchronous writes: every write waits
// for the disk. A thread that hands in its text while another thread is
// writing waits; when that write is over, one waiting thread writes every
// text handed in meanwhile with one writev. Each text stays whole and in
// one piece of the file (the file is opened for appending), each caller
// returns only once its text is durable or the write failed, and texts
// are written in the order they were handed in.
#pragma once

#include <pthread.h>

#include <cstdio>
#include <string>

// Appends text to *file (guarded by file_mutex, which the writing thread
// holds for the write); false when there is no file or the write failed.
bool group_append(pthread_mutex_t *file_mutex, FILE *const *file, const std::string &text);

// Since start: writes begun, writes that carried more than one text, and
// the texts those carried; and the texts waiting now (for tests and figures).
struct group_append_stats {
    unsigned long long begun = 0;
    unsigned long long shared_writes = 0;
    unsigned long long shared_texts = 0;
    size_t waiting = 0;
};
group_append_stats group_append_counts();

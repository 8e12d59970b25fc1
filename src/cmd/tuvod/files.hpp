// File-mode narrowing: a primitive that neither logs nor follows a final
// link; its callers say what happened in their own words.
#pragma once

#include <sys/types.h>

// Takes away every permission bit of the regular file behind fd that max
// does not hold. 1 when narrowed (*before receives the old mode), 0 when
// there was nothing to do (not a regular file, or narrow enough), -1 on
// failure with errno set.
int narrow_fd_mode(int fd, mode_t max, mode_t *before);
// The same for a path whose final link is not followed; 0 when missing.
int narrow_file_mode(const char *path, mode_t max, mode_t *before);

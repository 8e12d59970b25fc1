// What clients see of the daemon's outcomes: error numbers, state names and
// error severities. A leaf: the daemon, tuvoctl and the fuzz targets include
// it, and it includes nothing of theirs.
#pragma once

// Error codes as clients see them: the appliance's errno numbering, which
// differs from Linux for ETIMEDOUT (145 there, 110 here) and ECANCELED (47
// there, 125 here).
enum tuvod_wire_errno : int {
    TUVOD_EPERM = 1,
    TUVOD_ENOENT = 2,
    TUVOD_EIO = 5,
    TUVOD_EAGAIN = 11,
    TUVOD_ENOMEM = 12,
    TUVOD_EINVAL = 22,
    TUVOD_ECANCELED = 47,
    TUVOD_ETIMEDOUT = 145,
};

// Outcome of a command; stored by name in the database and sent to clients.
enum tuvod_exec_state_t : int {
    TUVOD_EXEC_COMPLETE = 0,
    TUVOD_EXEC_RUNNING = 1,
    TUVOD_EXEC_LOST = 2,
    TUVOD_EXEC_ARCHIVED = 3,
    TUVOD_EXEC_CMD_INVALID = 4,
    TUVOD_EXEC_SCRIPT_INVALID = 5,
    TUVOD_EXEC_FAILED = 6,
    TUVOD_EXEC_TIMEDOUT = 7,
    TUVOD_EXEC_ABNORMAL_EXIT = 8,
    TUVOD_EXEC_DIED = 9,
    TUVOD_EXEC_WONTDIE = 10,
};

enum tuvod_error_severity_t : int {
    TUVOD_ERROR_SEVERITY_NOTICE = 0,
    TUVOD_ERROR_SEVERITY_WARNING = 1,
    TUVOD_ERROR_SEVERITY_ERROR = 2,
};

// The state's name as stored and sent ("UNKNOWN" out of range).
const char *tuvod_exec_res_str(tuvod_exec_state_t exec_res);

// The local system's text for a wire error code.
const char *wire_strerror(int error_code);

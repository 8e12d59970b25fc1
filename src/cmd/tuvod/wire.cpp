#include "wire.hpp"

#include <cerrno>
#include <cstring>

const char *tuvod_exec_res_str(tuvod_exec_state_t exec_res) {
    // "ABNORMAL_EXOIT" is the stored and sent name; clients match on it.
    static constexpr const char *names[] = {
        "COMPLETE", "RUNNING", "LOST",    "ARCHIVED",       "INVALID_CMD", "INVALID_SCRIPT",
        "FAILED",   "TIMEDOUT", "ABNORMAL_EXOIT", "DIED", "WONTDIE",
    };
    auto index = static_cast<unsigned>(exec_res);
    return index < sizeof names / sizeof names[0] ? names[index] : "UNKNOWN";
}

const char *wire_strerror(int error_code) {
    // Codes numbered differently from the local errno get their own text;
    // the others coincide.
    switch (error_code) {
    case TUVOD_ETIMEDOUT:
        return strerror(ETIMEDOUT);
    case TUVOD_ECANCELED:
        return strerror(ECANCELED);
    default:
        return strerror(error_code);
    }
}

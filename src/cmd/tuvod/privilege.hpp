// The members of a script configuration that confine its runs: the user
// and groups, the capabilities kept, no-new-privileges, the environment,
// the working directory, the umask and how secret arguments are passed.
// Reading and checking them from the file, and describing them for logs
// and tools. Names are resolved by the confine module, at each run.
#pragma once

#include <string>

#include <jansson.h>

#include "handles.hpp"
#include "state.hpp"

// Takes the optional confinement members out of script_js (so that the
// strict check of the remaining members is unchanged) into *out. False
// after logging "Malformed script in <path>: ..." when any is malformed.
bool take_privilege_members(json_t *script_js, const char *path, tuvod_privilege_t *out);

// A capability's number from its name ("CAP_NET_ADMIN"); -1 for none.
int capability_number(const char *name);
// A capability's name; "CAP_<n>" for one this build does not name.
std::string capability_name(int n);

// One line for logs and tools: "runs as nobody:nogroup, capabilities
// CAP_NET_ADMIN, no new privileges, umask 0022, ..." Only what differs
// from a plain run is named; an unconfined script gives "".
std::string privilege_summary(const tuvod_privilege_t &p);

// The members as the configuration file spells them (a new object; empty
// when none differs from the defaults).
json_ptr privilege_members_json(const tuvod_privilege_t &p);

#include "caller.hpp"

namespace {

const std::string no_caller;
thread_local const std::string *current_caller = &no_caller;

} // namespace

const std::string &tuvod_current_caller() { return *current_caller; }

bool tuvod_caller_is_tls(const std::string &caller) { return caller.rfind("tls:", 0) == 0; }

caller_scope::caller_scope(const std::string &caller) : saved_(current_caller) { current_caller = &caller; }

caller_scope::~caller_scope() { current_caller = saved_; }

namespace {

constexpr const char local_prefix[] = "local:uid=";
constexpr const char local_root[] = "local:uid=0";

bool is_local(const std::string &caller) { return caller.rfind(local_prefix, 0) == 0; }

} // namespace

bool tuvod_caller_keeps_records(const std::string &owner) {
    return tuvod_caller_is_tls(owner) || (is_local(owner) && owner != local_root);
}

record_scope tuvod_record_scope_of(const std::string &caller) {
    if (caller == local_root)
        return record_scope::every;
    // An unidentified local user ("local:uid=unknown") sees only what it
    // started itself, which is nothing another user started.
    if (tuvod_caller_keeps_records(caller))
        return record_scope::own;
    return record_scope::shared;
}

bool tuvod_caller_may_see(const std::string &caller, const std::string &owner) {
    switch (tuvod_record_scope_of(caller)) {
    case record_scope::every:
        return true;
    case record_scope::own:
        return owner == caller;
    case record_scope::shared:
        break;
    }
    return !tuvod_caller_keeps_records(owner);
}

#include "caller.hpp"

namespace {

const std::string no_caller;
thread_local const std::string *current_caller = &no_caller;

} // namespace

const std::string &tuvod_current_caller() { return *current_caller; }

bool tuvod_caller_is_tls(const std::string &caller) { return caller.rfind("tls:", 0) == 0; }

caller_scope::caller_scope(const std::string &caller) : saved_(current_caller) { current_caller = &caller; }

caller_scope::~caller_scope() { current_caller = saved_; }

// Who sent a request. The daemon derives the identity from the connection,
// never from the request: "tls:<certificate CN>", "tcp:<peer address>" or
// "legacy:uid=<n>". The worker (or the legacy gateway) puts the identity in
// scope for the thread that handles the request. A leaf: it knows the
// identity's text, not where it comes from.
#pragma once

#include <string>

// The identity in scope on this thread; empty when none is.
const std::string &tuvod_current_caller();

// True when the identity came from a verified client certificate.
bool tuvod_caller_is_tls(const std::string &caller);

// Puts an identity in scope on this thread for the object's lifetime.
class caller_scope {
  public:
    explicit caller_scope(const std::string &caller);
    ~caller_scope();
    caller_scope(const caller_scope &) = delete;
    caller_scope &operator=(const caller_scope &) = delete;

  private:
    const std::string *saved_;
};

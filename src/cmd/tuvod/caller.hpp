// Who sent a request. The daemon derives the identity from the connection,
// never from the request: "tls:<certificate CN>", "local:uid=<n>" (a
// cleartext connection from this host: the owner of its socket),
// "tcp:<peer address>" (from elsewhere) or "legacy:uid=<n>". The worker (or the legacy gateway) puts the identity in
// scope for the thread that handles the request. A leaf: it knows the
// identity's text, not where it comes from.
#pragma once

#include <string>

// The identity in scope on this thread; empty when none is.
const std::string &tuvod_current_caller();

// True when the identity came from a verified client certificate.
bool tuvod_caller_is_tls(const std::string &caller);

// Which records an identity may see (list, get, clear, cancel).
enum class record_scope {
    every,  // local root: every record, TLS ones included
    own,    // a TLS identity or a non-root local user: its own records only
    shared, // remote cleartext, legacy, none: every record no identity keeps to itself
};
record_scope tuvod_record_scope_of(const std::string &caller);
// Whether a record started by owner belongs to that identity alone (a TLS
// identity, or a local user other than root).
bool tuvod_caller_keeps_records(const std::string &owner);
// Whether caller may see a record that owner started (empty: not recorded).
bool tuvod_caller_may_see(const std::string &caller, const std::string &owner);

// Puts an identity in scope on this thread for the object's lifetime.
class caller_scope {
  public:
    explicit caller_scope(const std::string &caller);
    // The scope keeps a reference: a temporary would be gone before the scope ends.
    explicit caller_scope(std::string &&) = delete;
    ~caller_scope();
    caller_scope(const caller_scope &) = delete;
    caller_scope &operator=(const caller_scope &) = delete;

  private:
    const std::string *saved_;
};

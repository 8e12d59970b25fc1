// Starting a child that shares the daemon's memory until it execs.
//
// A full fork copies the page tables of a daemon of many threads and
// mappings, and the copy is torn down again at the child's exec; every
// page the parent writes meanwhile faults. A child made with CLONE_VM and
// CLONE_VFORK shares the address space instead and the calling thread
// sleeps until the child execs or exits, so neither copy nor tear-down
// happens. The price is what the child may do: it runs on a stack of its
// own with the calling thread's thread-local storage, so it may call only
// async-signal-safe functions that touch no state the daemon's other
// threads use (no allocation, no locks, no stdio), and it must end in an
// exec or _exit. Every signal is blocked in the calling thread while the
// child exists, so no daemon handler ever runs in the child; the child
// sets its own dispositions and mask before its exec.
#pragma once

#include <sys/types.h>

// The child's side: runs in the child and must not return (exec or _exit).
using spawn_child_fn = void (*)(void *arg) noexcept;

// clone3 with flags (CLONE_PIDFD, CLONE_INTO_CGROUP, ...) plus CLONE_VM and
// CLONE_VFORK; the child runs fn(arg). *pidfd and cgroup_fd as for clone3
// (cgroup_fd -1: none). The child's PID in the parent once the child has
// exec'd or exited, or -1 with errno. Where no such start is built for the
// processor, and in sanitized builds, a plain clone3 (a copy of the memory)
// runs fn the same way.
pid_t spawn_shared_vm(unsigned long long flags, int *pidfd, int cgroup_fd, spawn_child_fn fn,
                      void *arg) noexcept;

// A plain clone3 with flags, *pidfd and cgroup_fd as above: a copy of the
// caller's memory, returning like fork (0 in the child).
pid_t spawn_copied(unsigned long long flags, int *pidfd, int cgroup_fd) noexcept;

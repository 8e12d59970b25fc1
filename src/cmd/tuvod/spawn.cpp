// See spawn.hpp. The child needs a stack of its own (the parent's frames
// must survive it), and a child on a new stack cannot return through the C
// library's syscall(): a few instructions make the call and, in the child,
// call fn on the new stack.
#include "spawn.hpp"

#include <linux/sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// The clone3 arguments of a child that signals SIGCHLD at its end, with
// flags, its pidfd (none: nullptr) and the cgroup it is born in (-1: the
// caller's).
struct clone_args clone_args_for(unsigned long long flags, int *pidfd, int cgroup_fd) noexcept {
    struct clone_args args;
    memset(&args, 0, sizeof args);
    args.flags = flags;
    args.pidfd = reinterpret_cast<uintptr_t>(pidfd);
    args.exit_signal = SIGCHLD;
    if (cgroup_fd >= 0)
        args.cgroup = static_cast<unsigned long long>(cgroup_fd);
    return args;
}

// The child runs the confinement and the exec checks: a few kilobytes.
// One guard page below catches an overflow.
constexpr size_t CHILD_STACK_BYTES = 64 * 1024;
constexpr size_t GUARD_BYTES = 4096;

struct child_stack {
    void *base = MAP_FAILED;
    size_t len = CHILD_STACK_BYTES + GUARD_BYTES;

    child_stack() {
        base = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (base != MAP_FAILED && mprotect(base, GUARD_BYTES, PROT_NONE) != 0) {
            munmap(base, len);
            base = MAP_FAILED;
        }
    }
    ~child_stack() {
        if (base != MAP_FAILED)
            munmap(base, len);
    }
    child_stack(const child_stack &) = delete;
    child_stack &operator=(const child_stack &) = delete;
    bool ok() const { return base != MAP_FAILED; }
};

// Restores the calling thread's signal mask when the start is over.
class all_signals_blocked {
  public:
    all_signals_blocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~all_signals_blocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    all_signals_blocked(const all_signals_blocked &) = delete;
    all_signals_blocked &operator=(const all_signals_blocked &) = delete;

  private:
    sigset_t saved_;
};

// The sanitizers' runtimes keep per-thread and per-descriptor state in the
// memory a shared child would write to as if it were the starting thread:
// sanitized builds start a copied child, as before.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TUVOD_SPAWN_COPIED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TUVOD_SPAWN_COPIED 1
#endif
#endif

#if defined(__x86_64__) && !defined(TUVOD_SPAWN_COPIED)
constexpr bool SHARED_VM_BUILT = true;

// The clone3 call itself. The child starts on args->stack with the
// registers of the parent: fn and arg are kept in callee-saved registers
// the call does not touch, and the child exits with fn's return (it
// should not return at all).
long clone3_call(struct clone_args *args, spawn_child_fn fn, void *arg) noexcept {
    long ret;
    register spawn_child_fn r_fn asm("r12") = fn;
    register void *r_arg asm("r13") = arg;
    asm volatile("syscall\n\t"
                 "testq %%rax, %%rax\n\t"
                 "jnz 1f\n\t"
                 "xorl %%ebp, %%ebp\n\t"
                 "movq %%r13, %%rdi\n\t"
                 "callq *%%r12\n\t"
                 "movl $127, %%edi\n\t"
                 "movl %[exit_group], %%eax\n\t"
                 "syscall\n\t"
                 "hlt\n"
                 "1:\n\t"
                 : "=a"(ret)
                 : "0"(static_cast<long>(SYS_clone3)), "D"(args), "S"(sizeof *args), "r"(r_fn),
                   "r"(r_arg), [exit_group] "i"(SYS_exit_group)
                 : "rcx", "r11", "memory", "cc");
    return ret;
}
#else
constexpr bool SHARED_VM_BUILT = false;

long clone3_call(struct clone_args *, spawn_child_fn, void *) noexcept {
    errno = ENOSYS;
    return -1;
}
#endif

// Without the shared start: a copy of the memory, fn run in it.
pid_t spawn_copied_vm(struct clone_args *args, spawn_child_fn fn, void *arg) noexcept {
    pid_t pid = static_cast<pid_t>(syscall(SYS_clone3, args, sizeof *args));
    if (pid == 0) {
        fn(arg);
        _exit(127);
    }
    return pid;
}

} // namespace

pid_t spawn_copied(unsigned long long flags, int *pidfd, int cgroup_fd) noexcept {
    struct clone_args args = clone_args_for(flags, pidfd, cgroup_fd);
    return static_cast<pid_t>(syscall(SYS_clone3, &args, sizeof args));
}

pid_t spawn_shared_vm(unsigned long long flags, int *pidfd, int cgroup_fd, spawn_child_fn fn,
                      void *arg) noexcept {
    struct clone_args args = clone_args_for(flags, pidfd, cgroup_fd);
    all_signals_blocked blocked;
    if (!SHARED_VM_BUILT)
        return spawn_copied_vm(&args, fn, arg);
    child_stack stack;
    if (!stack.ok())
        return -1;
    args.flags |= CLONE_VM | CLONE_VFORK;
    args.stack = reinterpret_cast<uintptr_t>(stack.base) + GUARD_BYTES;
    args.stack_size = CHILD_STACK_BYTES;
    long ret = clone3_call(&args, fn, arg);
    if (ret < 0) {
        errno = static_cast<int>(-ret);
        return -1;
    }
    return static_cast<pid_t>(ret);
}

// What the seccomp test helpers share: this machine's architecture, the
// start of every filter, and the usage check of "<helper> <program> [args]".
#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#include <cstdio>

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
#error "add this machine's AUDIT_ARCH value"
#endif

// Calls of another architecture pass; then the system call number is loaded.
#define SECCOMP_THIS_ARCH_CALL                                        \
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)), \
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),             \
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),                 \
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))

inline bool HasProgram(int argc, const char* helper) {
    if (argc >= 2) return true;
    std::fprintf(stderr, "usage: %s <program> [arguments...]\n", helper);
    return false;
}

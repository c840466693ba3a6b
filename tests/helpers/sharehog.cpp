// Test helper (Linux): a parent that touches <MB> of its own memory and
// forks <children> that share those pages copy-on-write, as forking servers
// do; with "shrink" it frees them again, so that only its peak remembers.
// With "still" it forks one child by the raw system call after the rest,
// and neither side writes a page afterwards: both hold no private page, as
// any process right after a fork.
//   sharehog <MB> <children> [shrink|still]
// Prints its own process id once everything is in place (for "still", just
// before that fork), and ends with its children when its stdin closes.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void WaitForEndOfInput() {
    char c;
    while (read(0, &c, 1) > 0) {
    }
}

#if defined(__x86_64__)
// fork, then read stdin until it closes (EOF writes nothing), the parent
// reaps, both exit: registers and system calls only.
[[noreturn]] void ForkAndStayStill() {
    static char byte;
    asm volatile(
        "mov $57, %%eax\n\t"
        "syscall\n\t"
        "mov %%rax, %%r12\n"
        "1:\n\t"
        "xor %%eax, %%eax\n\t"
        "xor %%edi, %%edi\n\t"
        "mov %0, %%rsi\n\t"
        "mov $1, %%edx\n\t"
        "syscall\n\t"
        "test %%rax, %%rax\n\t"
        "jg 1b\n\t"
        "test %%r12, %%r12\n\t"
        "jle 2f\n\t"
        "mov $61, %%eax\n\t"
        "mov $-1, %%rdi\n\t"
        "xor %%esi, %%esi\n\t"
        "xor %%edx, %%edx\n\t"
        "xor %%r10d, %%r10d\n\t"
        "syscall\n"
        "2:\n\t"
        "mov $231, %%eax\n\t"
        "xor %%edi, %%edi\n\t"
        "syscall\n\t"
        :
        : "r"(&byte)
        : "rax", "rdi", "rsi", "rdx", "rcx", "r10", "r11", "r12", "memory");
    __builtin_unreachable();
}
#else
[[noreturn]] void ForkAndStayStill() {
    std::fprintf(stderr, "sharehog: \"still\" needs x86-64\n");
    _exit(2);
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const bool still = argc == 4 && std::strcmp(argv[3], "still") == 0;
    if (argc < 3 || argc > 4 || (argc == 4 && !still && std::strcmp(argv[3], "shrink") != 0)) {
        std::fprintf(stderr, "usage: sharehog <MB> <children> [shrink|still]\n");
        return 2;
    }
    const size_t bytes = static_cast<size_t>(std::strtoul(argv[1], nullptr, 10)) << 20;
    const int children = std::atoi(argv[2]);
    void* memory = bytes ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) : nullptr;
    if (memory == MAP_FAILED) {
        std::perror("sharehog: mmap");
        return 1;
    }
    for (size_t i = 0; i < bytes; i += 4096) static_cast<volatile char*>(memory)[i] = 1;
    if (argc == 4 && !still) munmap(memory, bytes);
    for (int i = 0; i < children; ++i) {
        const pid_t child = fork();
        if (child < 0) {
            std::perror("sharehog: fork");
            return 1;
        }
        if (child == 0) {
            WaitForEndOfInput();
            _exit(0);
        }
    }
    std::printf("%d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    if (still) ForkAndStayStill();
    WaitForEndOfInput();
    while (wait(nullptr) > 0) {
    }
    return 0;
}

// Test helper (Linux): a parent that touches <MB> of its own memory and
// forks <children> that share those pages copy-on-write, as forking servers
// do; with "shrink" it frees them again, so that only its peak remembers.
//   sharehog <MB> <children> [shrink]
// Prints its own process id once everything is in place, and ends with its
// children when its stdin closes.
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "shrink") != 0)) {
        std::fprintf(stderr, "usage: sharehog <MB> <children> [shrink]\n");
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
    if (argc == 4) munmap(memory, bytes);
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
    WaitForEndOfInput();
    while (wait(nullptr) > 0) {
    }
    return 0;
}

// Test helper: holds a known amount of memory until its stdin closes.
//   memhog <MB> touch    allocate and write every page (working set grows)
//   memhog <MB> reserve  allocate only (committed private memory, small working set)
//   a third argument is ignored: it tells copies apart by their command line
// Prints its own process id once the memory is in place.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Win32.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: memhog <MB> touch|reserve [label]\n");
        return 2;
    }
    const size_t bytes = static_cast<size_t>(std::strtoul(argv[1], nullptr, 10)) << 20;
    const bool touch = std::strcmp(argv[2], "touch") == 0;
    volatile char* memory = static_cast<volatile char*>(bytes ? std::malloc(bytes) : nullptr);
    if (bytes != 0 && memory == nullptr) {
        std::fprintf(stderr, "memhog: cannot allocate %s MB\n", argv[1]);
        return 1;
    }
    if (touch) {
        for (size_t i = 0; i < bytes; i += 4096) memory[i] = 1;
    }
    // Unbuffered stdin: waiting on it below allocates nothing, so the
    // figures are final once the id is out.
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    std::printf("%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    std::free(const_cast<char*>(memory));
    return 0;
}

// Test helper (Linux): a process whose main thread has exited while another
// thread holds its memory, as some daemons and runtimes leave themselves.
//   exitedleader <MB>
// The second thread touches <MB> of memory and, once the leader shows no
// memory of its own any more, prints the process id; it exits when stdin closes.
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

size_t bytes = 0;

bool LeaderHasExited(pid_t pid) {
    std::ifstream status("/proc/self/task/" + std::to_string(pid) + "/status");
    std::string line;
    bool zombie = false;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return false;
        if (line.rfind("State:\tZ", 0) == 0) zombie = true;
    }
    return zombie;
}

void* Hold(void*) {
    // mmap, not malloc: the memory stays out of leak checkers' sight.
    void* memory = bytes ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) : nullptr;
    if (memory == MAP_FAILED) {
        std::printf("cannot map the memory\n");
        std::fflush(stdout);
        std::exit(1);
    }
    for (size_t i = 0; i < bytes; i += 4096) static_cast<volatile char*>(memory)[i] = 1;
    const pid_t pid = getpid();
    for (int i = 0; i < 10000 && !LeaderHasExited(pid); ++i) usleep(1000);
    std::printf(LeaderHasExited(pid) ? "%d\n" : "leader still running\n", static_cast<int>(pid));
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: exitedleader <MB>\n");
        return 2;
    }
    bytes = static_cast<size_t>(std::strtoul(argv[1], nullptr, 10)) << 20;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, Hold, nullptr) != 0) return 1;
    pthread_exit(nullptr);
}

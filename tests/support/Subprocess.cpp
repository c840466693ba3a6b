#include "tests/support/Subprocess.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace testsupport {

namespace {

std::vector<char*> Pointers(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const std::string& a : argv) pointers.push_back(const_cast<char*>(a.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

int Status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }

// Spawn attributes that give the child SIGPIPE's default action.
struct DefaultSignals {
    posix_spawnattr_t attr;
    DefaultSignals() {
        posix_spawnattr_init(&attr);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &set);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    }
    ~DefaultSignals() { posix_spawnattr_destroy(&attr); }
};

}  // namespace

Result Run(const std::vector<std::string>& argv, Output output) {
    Result result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    if (output == Output::BrokenPipe) {
        close(out[0]);
        out[0] = -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> pointers = Pointers(argv);
    pid_t pid = -1;
    DefaultSignals signals;
    const int spawned = posix_spawn(&pid, pointers[0], &actions, &signals.attr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        ADD_FAILURE() << "spawn " << argv[0] << ": " << std::strerror(spawned);
        if (out[0] >= 0) close(out[0]);
        close(err[0]);
        return result;
    }
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = out[0] >= 0 ? 2 : 1;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    result.status = Status(raw);
    return result;
}

Child::Child(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> pointers = Pointers(argv);
    DefaultSignals signals;
    const int spawned = posix_spawn(&pid_, pointers[0], &actions, &signals.attr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (spawned != 0) {
        ADD_FAILURE() << "spawn " << argv[0] << ": " << std::strerror(spawned);
        pid_ = -1;
        return;
    }
    // The child prints its id once its memory is in place.
    std::string line;
    char c;
    while (read(stdoutFd_, &c, 1) == 1 && c != '\n') line += c;
    if (line != std::to_string(pid_)) ADD_FAILURE() << "child said \"" << line << "\", expected its pid " << pid_;
}

int Child::Stop() {
    if (pid_ < 0) return -1;
    close(stdinFd_);
    close(stdoutFd_);
    stdinFd_ = stdoutFd_ = -1;
    int raw = 0;
    waitpid(pid_, &raw, 0);
    pid_ = -1;
    return Status(raw);
}

Child::~Child() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    Stop();
}

long long StatusKilobytes(pid_t pid, const char* key, pid_t thread) {
    const std::string task = thread > 0 ? "/task/" + std::to_string(thread) : "";
    return ProcKilobytes("/proc/" + std::to_string(pid) + task + "/status", key);
}

long long ProcKilobytes(const std::string& path, const char* key) {
    std::ifstream in(path);
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::stoll(line.substr(prefix.size()));
    }
    return -1;
}

pid_t OtherThread(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (dir == nullptr) return -1;
    pid_t other = -1;
    while (const dirent* entry = readdir(dir)) {
        const long id = std::strtol(entry->d_name, nullptr, 10);
        if (id > 0 && id != pid) {
            other = static_cast<pid_t>(id);
            break;
        }
    }
    closedir(dir);
    return other;
}

int OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    int count = 0;
    while (dir != nullptr && readdir(dir) != nullptr) ++count;
    if (dir != nullptr) closedir(dir);
    return count;
}

}  // namespace testsupport

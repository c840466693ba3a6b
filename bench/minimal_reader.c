/* The practical lower bound for a check that is its own process: a static
   program that opens and reads /proc/<pid>/status once and exits. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    char path[64], buffer[4096];
    snprintf(path, sizeof path, "/proc/%s/status", argv[1]);
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 1;
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    return n > 0 ? 0 : 1;
}

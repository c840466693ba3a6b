/* The practical lower bound for a check that is its own process: a static
   program that opens and reads one /proc/<pid> file once and exits.
     minimal_reader <pid> [file]     file: status (default), smaps_rollup, ... */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    char path[96], buffer[4096];
    snprintf(path, sizeof path, "/proc/%s/%s", argv[1], argc > 2 ? argv[2] : "status");
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 1;
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    return n > 0 ? 0 : 1;
}

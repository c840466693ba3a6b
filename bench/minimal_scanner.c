/* The practical lower bound for a check that selects among all processes:
   a static program that lists /proc once and reads one file of each process
   once, only as far as one read of 4 KiB goes.
     minimal_scanner cmdline TEXT   the processes whose command line holds TEXT
     minimal_scanner status NAME    the processes named NAME, and their VmRSS
   Prints how many matched. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const int status = strcmp(argv[1], "status") == 0;
    char wanted[64];
    const size_t length = strlen(argv[2]);
    if (status) snprintf(wanted, sizeof wanted, "Name:\t%s\n", argv[2]);
    DIR* proc = opendir("/proc");
    if (proc == NULL) return 1;
    unsigned matched = 0;
    unsigned long long kilobytes = 0;
    for (struct dirent* entry; (entry = readdir(proc)) != NULL;) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        char path[64], text[4096];
        snprintf(path, sizeof path, "%s/%s", entry->d_name, argv[1]);
        const int fd = openat(dirfd(proc), path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const ssize_t n = read(fd, text, sizeof text);
        close(fd);
        if (n <= 0) continue;
        if (status) {
            if (strncmp(text, wanted, strlen(wanted)) != 0) continue;
            const char* rss = memmem(text, (size_t)n, "VmRSS:", 6);
            if (rss != NULL) kilobytes += strtoull(rss + 6, NULL, 10);
        } else if (memmem(text, (size_t)n, argv[2], length) == NULL) {
            continue;
        }
        ++matched;
    }
    closedir(proc);
    printf("%u %llu\n", matched, kilobytes);
    return 0;
}

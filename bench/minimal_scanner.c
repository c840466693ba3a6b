/* The practical lower bound for a check that selects among all processes:
   a static program that lists /proc once and reads one file of each process
   once, one read of at most 4 KiB, and looks for a text in it.
     minimal_scanner FILE TEXT   FILE: cmdline, status, ...; prints how many
                                 processes hold TEXT and, for status, the sum
                                 of their VmRSS lines in kB
   bench/run compares -a TEXT with "cmdline TEXT" and -C NAME with
   "status Name:<TAB>NAME<LF>". */
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
    const size_t length = strlen(argv[2]);
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
        if (n <= 0 || memmem(text, (size_t)n, argv[2], length) == NULL) continue;
        if (status) {
            const char* rss = memmem(text, (size_t)n, "VmRSS:", 6);
            if (rss != NULL) kilobytes += strtoull(rss + 6, NULL, 10);
        }
        ++matched;
    }
    closedir(proc);
    printf("%u %llu\n", matched, kilobytes);
    return 0;
}

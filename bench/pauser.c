/* Processes that hold almost nothing and wait: bench/run starts thousands
   of them under one name for the scans.
     pauser COUNT [WORD]   COUNT processes in a process group of their own
                           (WORD is for their command line); the first
                           prints its pid, the group's id, once all run */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const long count = argc > 1 ? strtol(argv[1], NULL, 10) : 1;
    if (setpgid(0, 0) != 0) return 1;
    for (long i = 1; i < count; ++i) {
        const pid_t child = fork();
        if (child < 0) return 1;
        if (child == 0) {
            pause();
            return 0;
        }
    }
    printf("%d\n", (int)getpid());
    fflush(stdout);
    pause();
    return 0;
}

/* A stand-in for the self-updater in the updater-launch tests: appends its
   process id and arguments to the file named by UPKEEP_STANDIN_LOG, then stays
   alive (at most 30 seconds) so that the launcher sees it running. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv) {
    const char *log = getenv("UPKEEP_STANDIN_LOG");
    if (log != NULL) {
        FILE *file = fopen(log, "a");
        if (file != NULL) {
            fprintf(file, "pid %d\n", (int)getpid());
            for (int i = 1; i < argc; i++)
                fprintf(file, "arg %s\n", argv[i]);
            fprintf(file, "end\n");
            fclose(file);
        }
    }
    for (int i = 0; i < 300; i++)
        usleep(100000);
    return 0;
}

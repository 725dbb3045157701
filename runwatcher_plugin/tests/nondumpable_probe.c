/* A process that is not dumpable, as set-id programs and some games are: it says "ready" once it
 * has made itself so, then lives until its input ends. */
#include <stdio.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(void)
{
    char c;
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        return 1;
    fputs("ready\n", stdout);
    fflush(stdout);
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}

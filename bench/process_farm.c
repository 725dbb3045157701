/*
 * bench_process_farm N: starts N idle child processes, prints "ready N" and waits until its standard
 * input ends (or SIGTERM / SIGINT); then kills every child by its pid, reaps them all, prints
 * "reaped N" and exits. Each child dies with its parent (PR_SET_PDEATHSIG), so none outlives a farm
 * that was killed outright. Used by the scan row to give the process table a known size.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kMaxChildren = 20000 };

static volatile sig_atomic_t stopRequested = 0;

static void onStop(int sig)
{
    (void)sig;
    stopRequested = 1;
}

static void reapAll(const pid_t* children, int count)
{
    for (int i = 0; i < count; ++i) {
        kill(children[i], SIGKILL);
    }
    int reaped = 0;
    for (int i = 0; i < count; ++i) {
        while (waitpid(children[i], NULL, 0) < 0 && errno == EINTR) {
        }
        ++reaped;
    }
    printf("reaped %d\n", reaped);
    fflush(stdout);
}

int main(int argc, char** argv)
{
    const int wanted = argc > 1 ? atoi(argv[1]) : 0;
    if (wanted < 1 || wanted > kMaxChildren) {
        fprintf(stderr, "usage: bench_process_farm N (1..%d)\n", kMaxChildren);
        return 2;
    }
    pid_t* children = calloc((size_t)wanted, sizeof *children);
    if (!children) {
        return 1;
    }
    struct sigaction sa = {0};
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    const pid_t parent = getpid();
    int count = 0;
    for (; count < wanted; ++count) {
        const pid_t pid = fork();
        if (pid < 0) {
            perror("bench_process_farm: fork");
            reapAll(children, count);
            return 1;
        }
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(0);  // the farm died before the line above took effect
            }
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            for (;;) {
                pause();
            }
        }
        children[count] = pid;
    }
    printf("ready %d\n", count);
    fflush(stdout);

    char buffer[256];
    while (!stopRequested) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR)) {
            break;
        }
    }
    reapAll(children, count);
    free(children);
    return 0;
}

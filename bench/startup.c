/* Times start-to-exit of two commands, run by run in alternation so that
 * both see the same machine, and prints the median of each and their ratio.
 * Usage: startup RUNS BASELINE [ARGUMENT...] -- PROGRAM [ARGUMENT...]
 * Standard output goes to /dev/null. */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static double run_once(char** argv, posix_spawn_file_actions_t* actions) {
    struct timespec start, end;
    pid_t pid;
    int status;
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (posix_spawn(&pid, argv[0], actions, NULL, argv, environ) != 0) {
        perror(argv[0]);
        exit(2);
    }
    waitpid(pid, &status, 0);
    clock_gettime(CLOCK_MONOTONIC, &end);
    return (double)(end.tv_sec - start.tv_sec) * 1e6 + (double)(end.tv_nsec - start.tv_nsec) / 1e3;
}

static int by_value(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static double median(double* times, int n) {
    qsort(times, (size_t)n, sizeof *times, by_value);
    return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}

int main(int argc, char** argv) {
    int split = 3;
    while (split < argc && strcmp(argv[split], "--") != 0) {
        ++split;
    }
    if (split + 1 >= argc || atoi(argv[1]) < 1) {
        fprintf(stderr, "usage: startup RUNS BASELINE [ARGUMENT...] -- PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    const int runs = atoi(argv[1]);
    argv[split] = NULL;
    char** baseline = argv + 2;
    char** program = argv + split + 1;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

    double* a = malloc(sizeof(double) * (size_t)runs);
    double* b = malloc(sizeof(double) * (size_t)runs);
    for (int i = 0; i < runs; ++i) {
        if (i % 2) {
            a[i] = run_once(program, &actions);
            b[i] = run_once(baseline, &actions);
        } else {
            b[i] = run_once(baseline, &actions);
            a[i] = run_once(program, &actions);
        }
    }
    const double ma = median(a, runs), mb = median(b, runs);
    printf("%d paired runs: median %.0f us against %.0f us, ratio %.3f\n", runs, ma, mb, ma / mb);
    return 0;
}

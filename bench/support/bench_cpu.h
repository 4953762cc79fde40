/*
 * bench_cpu.h - the process's processor time, for the benchmarks.
 */
#ifndef BENCH_CPU_H
#define BENCH_CPU_H

#include <sys/resource.h>

/* User plus system time of this process so far, in seconds. */
static inline double cpu_seconds(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

#endif

/*
 * rtthread.cpp - a sending thread's lock, wake-up and scheduling.
 */
#include "rtthread.h"

#include <sched.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>

void rt_init_lock(pthread_mutex_t *lock, pthread_cond_t *wake, int recursive)
{
    pthread_mutexattr_t m;
    pthread_mutexattr_init(&m);
    if (recursive)
        pthread_mutexattr_settype(&m, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setprotocol(&m, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(lock, &m);
    pthread_mutexattr_destroy(&m);
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    pthread_cond_init(wake, &a);
    pthread_condattr_destroy(&a);
}

void rt_tight_timers(void)
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
}

void rt_realtime(int on)
{
    struct sched_param sp;
    memset(&sp, 0, sizeof sp);
    sp.sched_priority = on ? 10 : 0;
    (void)pthread_setschedparam(pthread_self(), on ? SCHED_FIFO : SCHED_OTHER, &sp);
}

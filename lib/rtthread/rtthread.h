/*
 * rtthread.h - a sending thread that keeps its due times: its lock, its
 * wake-up and its scheduling.
 */
#ifndef RTTHREAD_H
#define RTTHREAD_H

#include <pthread.h>

/* lock with priority inheritance (recursive when asked), so that a thread
 * of real-time priority never waits on a window thread that holds it but
 * is not running; wake on the monotonic clock. */
void rt_init_lock(pthread_mutex_t *lock, pthread_cond_t *wake, int recursive);

/* Wake-ups of the calling thread as close to the due time as the kernel
 * gives them. */
void rt_tight_timers(void);

/* The calling thread ahead of ordinary work (on) or back among it (off),
 * where the user may have real-time priority (RLIMIT_RTPRIO); elsewhere
 * the refusal leaves the thread as it was. */
void rt_realtime(int on);

#endif /* RTTHREAD_H */

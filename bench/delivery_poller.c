/* Records when a simulated camera delivers each sample: a thread polls the camera's
 * samples_delivered counter every `interval_ns` and notes the CLOCK_MONOTONIC time at which each
 * new count was first seen. Loaded into the relay's process with ctypes; the counter function is
 * passed in as a pointer so that the poller reads the very platform library the module uses.
 * The time of a sample is therefore known to within one polling interval (plus wake-up delay). */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <time.h>

typedef struct {
    uint64_t values[8]; /* activations ... samples_delivered (index 5) ... shutdowns */
} sim_counters;
typedef int32_t (*get_counters_fn)(int32_t id, sim_counters* out);

static get_counters_fn g_get;
static int32_t g_camera;
static int64_t g_interval_ns;
static uint64_t* g_counts;
static int64_t* g_times;
static size_t g_capacity, g_used;
static volatile int g_stop;
static pthread_t g_thread;
static clockid_t g_thread_clock;
static volatile int g_clock_ready;

static int64_t now_ns(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void* poll_loop(void* unused) {
    (void)unused;
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    pthread_getcpuclockid(pthread_self(), &g_thread_clock);
    g_clock_ready = 1;
    uint64_t last = 0;
    struct timespec pause = {0, (long)g_interval_ns};
    while (!g_stop) {
        sim_counters c;
        if (g_get(g_camera, &c) == 0) {
            uint64_t delivered = c.values[5];
            if (delivered != last) {
                int64_t t = now_ns(CLOCK_MONOTONIC);
                if (g_used < g_capacity) {
                    g_counts[g_used] = delivered;
                    g_times[g_used] = t;
                    ++g_used;
                }
                last = delivered;
            }
        }
        nanosleep(&pause, NULL);
    }
    return NULL;
}

/* Starts polling; 0 on success. */
int poller_start(void* get_counters, int32_t camera, int64_t interval_ns, size_t capacity) {
    g_get = (get_counters_fn)get_counters;
    g_camera = camera;
    g_interval_ns = interval_ns;
    g_counts = (uint64_t*)calloc(capacity, sizeof(uint64_t));
    g_times = (int64_t*)calloc(capacity, sizeof(int64_t));
    if (!g_counts || !g_times) return -1;
    g_capacity = capacity;
    g_used = 0;
    g_stop = 0;
    g_clock_ready = 0;
    if (pthread_create(&g_thread, NULL, poll_loop, NULL) != 0) return -1;
    while (!g_clock_ready) sched_yield();
    return 0;
}

/* CPU time the polling thread has used so far (ns). */
int64_t poller_cpu_ns(void) { return g_clock_ready ? now_ns(g_thread_clock) : 0; }

/* Stops polling; returns how many (count, time) pairs were recorded. */
size_t poller_stop(void) {
    g_stop = 1;
    pthread_join(g_thread, NULL);
    return g_used;
}

/* Copies the records out and frees them. Each record: the counter value first seen, and when. */
void poller_take(uint64_t* counts, int64_t* times, size_t n) {
    for (size_t i = 0; i < n && i < g_used; ++i) {
        counts[i] = g_counts[i];
        times[i] = g_times[i];
    }
    free(g_counts);
    free(g_times);
    g_counts = NULL;
    g_times = NULL;
    g_used = g_capacity = 0;
}

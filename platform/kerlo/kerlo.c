/* kerlo.c - stand-in for the platform system log. */
#include "kerlo.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#define KERLO_EXPORT __attribute__((visibility("default")))

enum { LEVEL_UNSET = -1, LEVEL_DEFAULT = 5 };

/* Any thread may log, or change the level or the sink, at any time: the
 * level is one atomic word, and the sink and its data change together. */
static int level = LEVEL_UNSET;
static pthread_mutex_t sink_lock = PTHREAD_MUTEX_INITIALIZER;
static kerlo_sink_fn sink;
static void *sink_data;

static int current_level(void)
{
    int now = __atomic_load_n(&level, __ATOMIC_ACQUIRE);
    if (now == LEVEL_UNSET) {
        const char *env = getenv("KERLO_LEVEL");
        int wanted = (env && *env) ? atoi(env) : LEVEL_DEFAULT;
        __atomic_compare_exchange_n(&level, &now, wanted, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
        now = __atomic_load_n(&level, __ATOMIC_ACQUIRE);
    }
    return now;
}

static char prio_letter(int prio)
{
    static const char letters[] = "??VDIWEF";
    return (prio >= 0 && prio < (int)sizeof letters - 1) ? letters[prio] : '?';
}

KERLO_EXPORT void __kerlo_print(int log_id, int prio, const char *tag, const char *fmt, ...)
{
    (void)log_id;
    int to_stderr = prio >= current_level();
    pthread_mutex_lock(&sink_lock);
    kerlo_sink_fn fn = sink;
    void *fn_data = sink_data;
    pthread_mutex_unlock(&sink_lock);
    if (!to_stderr && fn == NULL)
        return;

    char stack_buf[512];
    char *line = stack_buf;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(stack_buf, sizeof stack_buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if ((size_t)n >= sizeof stack_buf) {
        line = malloc((size_t)n + 1);
        if (line == NULL)
            return;
        va_start(ap, fmt);
        vsnprintf(line, (size_t)n + 1, fmt, ap);
        va_end(ap);
    }

    if (fn)
        fn(prio, tag, line, fn_data);
    if (to_stderr)
        fprintf(stderr, "%c/%s: %s\n", prio_letter(prio), tag ? tag : "", line);
    if (line != stack_buf)
        free(line);
}

KERLO_EXPORT void kerlo_set_sink(kerlo_sink_fn fn, void *user_data)
{
    pthread_mutex_lock(&sink_lock);
    sink = fn;
    sink_data = user_data;
    pthread_mutex_unlock(&sink_lock);
}

KERLO_EXPORT void kerlo_set_level(int prio)
{
    __atomic_store_n(&level, prio, __ATOMIC_RELEASE);
}

/* kerlo.c - stand-in for the platform system log. */
#include "kerlo.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#define KERLO_EXPORT __attribute__((visibility("default")))

enum { LEVEL_UNSET = -1, LEVEL_DEFAULT = 5 };

static int level = LEVEL_UNSET;
static kerlo_sink_fn sink;
static void *sink_data;

static int current_level(void)
{
    if (level == LEVEL_UNSET) {
        const char *env = getenv("KERLO_LEVEL");
        level = (env && *env) ? atoi(env) : LEVEL_DEFAULT;
    }
    return level;
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
    if (!to_stderr && sink == NULL)
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

    if (sink)
        sink(prio, tag, line, sink_data);
    if (to_stderr)
        fprintf(stderr, "%c/%s: %s\n", prio_letter(prio), tag ? tag : "", line);
    if (line != stack_buf)
        free(line);
}

KERLO_EXPORT void kerlo_set_sink(kerlo_sink_fn fn, void *user_data)
{
    sink = fn;
    sink_data = user_data;
}

KERLO_EXPORT void kerlo_set_level(int prio)
{
    level = prio;
}

/* kerlo.h - the system log, as the library sees it.
 *
 * This stand-in writes "<prio-letter>/<tag>: <line>" to stderr for lines at
 * or above the level in KERLO_LEVEL (3 debug, 4 info, 5 warning, 6 error;
 * default 5).  A lower line is dropped before anything is formatted.
 * On a set the platform's own log library takes its place. */
#ifndef KERLO_H
#define KERLO_H

#ifdef __cplusplus
extern "C" {
#endif

/* Writes one line.  log_id selects the log buffer (0: main). */
void __kerlo_print(int log_id, int prio, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* The two below exist in this stand-in only.  They are declared weak, so
 * that a program using them still links against the platform's own log:
 * test the function's address before calling it there. */

/* A sink that receives every line of every priority, formatted, in the
 * thread that logs it.  NULL removes it. */
typedef void (*kerlo_sink_fn)(int prio, const char *tag, const char *line, void *user_data);
__attribute__((weak)) void kerlo_set_sink(kerlo_sink_fn sink, void *user_data);

/* The stderr level; KERLO_LEVEL is read at the first line. */
__attribute__((weak)) void kerlo_set_level(int prio);

#ifdef __cplusplus
}
#endif

#endif /* KERLO_H */

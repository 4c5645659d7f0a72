/* follow-volume.c - follow speakers' volume with a callback in a main loop.
 *
 *   follow-volume [COUNT]   prints COUNT changes (default: until Ctrl-C)
 *
 * The library delivers its callbacks in the thread-default main context of
 * the thread that registered them: here the default context, which the
 * GMainLoop below iterates.
 */
#include <halvo-api.h>

#include <glib-unix.h>
#include <stdio.h>
#include <stdlib.h>

struct follow {
    GMainLoop *loop;
    int left; /* changes still to print; -1: no limit */
};

/* @address belongs to the library and is freed when we return. */
static void on_volume(const char *address, int volume, void *user_data)
{
    struct follow *f = user_data;
    printf("%s: volume %d\n", address, volume);
    fflush(stdout);
    if (f->left > 0 && --f->left == 0)
        g_main_loop_quit(f->loop);
}

static gboolean on_signal(gpointer user_data)
{
    struct follow *f = user_data;
    g_main_loop_quit(f->loop);
    return G_SOURCE_CONTINUE;
}

int main(int argc, char **argv)
{
    struct follow f = {g_main_loop_new(NULL, FALSE), argc > 1 ? atoi(argv[1]) : -1};

    int rc = halvo_api_set_volume_changed_callback(on_volume, &f);
    if (rc != HALVO_ERROR_NONE) {
        fprintf(stderr, "cannot follow the volume: result %d\n", rc);
        g_main_loop_unref(f.loop);
        return 1;
    }
    guint sigint = g_unix_signal_add(SIGINT, on_signal, &f);
    guint sigterm = g_unix_signal_add(SIGTERM, on_signal, &f);
    fprintf(stderr, "following the volume (Ctrl-C to stop)\n");

    g_main_loop_run(f.loop);

    g_source_remove(sigint);
    g_source_remove(sigterm);
    halvo_api_unset_volume_changed_callback();
    g_main_loop_unref(f.loop);
    return 0;
}

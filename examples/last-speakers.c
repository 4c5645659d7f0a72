/* last-speakers.c - the last-used speakers, now and whenever they change.
 *
 *   last-speakers          prints the list once
 *   last-speakers --watch  then prints it again after each change, until Ctrl-C
 *
 * The change callback receives a list of its own: it must free it.
 */
#include <halvo-api.h>

#include <glib-unix.h>
#include <stdio.h>
#include <string.h>

static void print_speakers(const GSList *list)
{
    if (list == NULL)
        printf("  (none)\n");
    for (const GSList *l = list; l != NULL; l = l->next) {
        const last_spk_info_t *s = l->data;
        printf("  %-17s  %-20s  icon %-2s  %s\n", s->address ? s->address : "?", s->name ? s->name : "",
               s->icon_type ? s->icon_type : "-", s->connected ? "connected" : "not connected");
    }
    fflush(stdout);
}

/* Runs where the configuration store delivers its notifications: the
 * main context of the thread that set the callback. */
static void on_changed(GSList *list, void *user_data)
{
    (void)user_data;
    printf("last speakers changed:\n");
    print_speakers(list);
    if (list != NULL)
        halvo_free_last_bluetooth_speakers(&list);
}

static gboolean on_signal(gpointer loop)
{
    g_main_loop_quit(loop);
    return G_SOURCE_CONTINUE;
}

int main(int argc, char **argv)
{
    GSList *list = NULL;
    int rc = halvo_get_last_bluetooth_speakers(&list);
    if (rc != HALVO_ERROR_NONE) {
        fprintf(stderr, "cannot read the last speakers: result %d\n", rc);
        return 1;
    }
    printf("last speakers:\n");
    print_speakers(list);
    if (list != NULL)
        halvo_free_last_bluetooth_speakers(&list);

    if (argc < 2 || strcmp(argv[1], "--watch") != 0)
        return 0;

    GMainLoop *loop = g_main_loop_new(NULL, FALSE);
    rc = halvo_set_last_bluetooth_speakers_changed_cb(on_changed, NULL);
    if (rc != HALVO_ERROR_NONE) {
        fprintf(stderr, "cannot watch the last speakers: result %d\n", rc);
        g_main_loop_unref(loop);
        return 1;
    }
    guint sigint = g_unix_signal_add(SIGINT, on_signal, loop);
    guint sigterm = g_unix_signal_add(SIGTERM, on_signal, loop);
    g_main_loop_run(loop);
    g_source_remove(sigint);
    g_source_remove(sigterm);
    halvo_unset_last_bluetooth_speakers_changed_cb();
    g_main_loop_unref(loop);
    return 0;
}

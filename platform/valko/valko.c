/* valko.c - stand-in for the platform configuration store.
 *
 * Every key is a plain file under the store's root; see valko.h.  Change
 * notifications come from a GFileMonitor per registration.  One change of
 * a file raises a burst of events (create, modify, close, rename), so the
 * monitor's events only arm a short timer; when the burst is over the file
 * is read once and the callback runs when the value (or its existence)
 * differs from what the registration last saw. */
#include "valko.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <gio/gio.h>
#include <glib/gstdio.h>

#define VALKO_EXPORT __attribute__((visibility("default")))

#define DEFAULT_ROOT "/tmp/valko"
/* Quiet time after the last event of a burst before the file is read. */
#define SETTLE_MS 20

struct _valko_keynode_t {
    const char *name;
    char *value;
};

typedef struct {
    char *key;
    char *path;
    valko_key_changed_cb cb;
    void *user_data;
    GFileMonitor *monitor;
    gulong handler;
    GMainContext *context; /* where the registering thread runs */
    GSource *settle;       /* pending read, or NULL */
    char *last;            /* value last seen; NULL when unreadable */
} watch_t;

G_LOCK_DEFINE_STATIC(watches);
static GList *watches;

/* A key is a relative path that stays below the root: no empty, "." or
 * ".." segments, so "a//b", "a/./b", "a/" and "../x" are all refused. */
static gboolean key_valid(const char *key)
{
    if (key == NULL || *key == '\0' || *key == '/')
        return FALSE;
    const char *seg = key;
    for (;;) {
        const char *end = strchr(seg, '/');
        size_t len = end ? (size_t)(end - seg) : strlen(seg);
        if (len == 0 || (len == 1 && seg[0] == '.') || (len == 2 && seg[0] == '.' && seg[1] == '.'))
            return FALSE;
        if (end == NULL)
            return TRUE;
        seg = end + 1;
    }
}

/* The key's file, or NULL for an invalid key.  The root is looked up at
 * each call so it can be changed at run time. */
static char *key_path(const char *key)
{
    if (!key_valid(key))
        return NULL;
    const char *root = g_getenv("VALKO_ROOT");
    if (root == NULL || *root == '\0')
        root = DEFAULT_ROOT;
    return g_build_filename(root, key, NULL);
}

static int make_parent(const char *path)
{
    char *dir = g_path_get_dirname(path);
    int rc = g_mkdir_with_parents(dir, 0755);
    g_free(dir);
    return rc;
}

/* The file's content (g_free), or NULL when it cannot be read. */
static char *read_path(const char *path)
{
    char *data = NULL;
    if (!g_file_get_contents(path, &data, NULL, NULL))
        return NULL;
    return data;
}

VALKO_EXPORT char *valko_get_str(const char *key)
{
    char *path = key_path(key);
    if (path == NULL)
        return NULL;
    char *data = read_path(path);
    g_free(path);
    if (data == NULL)
        return NULL;
    char *copy = strdup(data);
    g_free(data);
    return copy;
}

VALKO_EXPORT int valko_set_str(const char *key, const char *value)
{
    char *path = key_path(key);
    if (path == NULL || value == NULL) {
        g_free(path);
        return -1;
    }
    /* Temporary file beside the key's file, then a rename over it. */
    int ok = make_parent(path) == 0 && g_file_set_contents(path, value, -1, NULL);
    g_free(path);
    return ok ? 0 : -1;
}

VALKO_EXPORT int valko_get_int(const char *key, int *value)
{
    if (value == NULL)
        return -1;
    char *path = key_path(key);
    if (path == NULL)
        return -1;
    char *data = read_path(path);
    g_free(path);
    if (data == NULL)
        return -1;

    /* The whole text, blanks around it aside, must be one decimal int. */
    const char *text = g_strstrip(data);
    char *end = NULL;
    errno = 0;
    gint64 n = g_ascii_strtoll(text, &end, 10);
    int ok = end != text && *end == '\0' && errno == 0 && n >= INT_MIN && n <= INT_MAX;
    g_free(data);
    if (!ok)
        return -1;
    *value = (int)n;
    return 0;
}

VALKO_EXPORT int valko_set_int(const char *key, int value)
{
    char text[16];
    g_snprintf(text, sizeof text, "%d", value);
    return valko_set_str(key, text);
}

VALKO_EXPORT int valko_unset(const char *key)
{
    char *path = key_path(key);
    if (path == NULL)
        return -1;
    int rc = (g_unlink(path) == 0 || errno == ENOENT) ? 0 : -1;
    g_free(path);
    return rc;
}

/* ------------------------------------------------------------------ */
/* Notifications                                                       */
/* ------------------------------------------------------------------ */

/* Called with the lock held. */
static GList *find_watch(const char *key, valko_key_changed_cb cb)
{
    for (GList *l = watches; l; l = l->next) {
        watch_t *w = l->data;
        if (w->cb == cb && strcmp(w->key, key) == 0)
            return l;
    }
    return NULL;
}

static void watch_free(watch_t *w)
{
    if (w->settle) {
        g_source_destroy(w->settle);
        g_source_unref(w->settle);
    }
    g_signal_handler_disconnect(w->monitor, w->handler);
    g_file_monitor_cancel(w->monitor);
    g_object_unref(w->monitor);
    g_main_context_unref(w->context);
    g_free(w->key);
    g_free(w->path);
    g_free(w->last);
    g_free(w);
}

/* The burst is over: read the file and deliver a real change.  The
 * callback may remove this registration, so @w is not touched after it. */
static gboolean settled(gpointer data)
{
    watch_t *w = data;
    g_source_unref(w->settle);
    w->settle = NULL;

    char *now = read_path(w->path);
    if (g_strcmp0(now, w->last) == 0) {
        g_free(now);
        return G_SOURCE_REMOVE;
    }
    g_free(w->last);
    w->last = g_strdup(now);

    /* The node owns its strings: the callback may free @w. */
    char *name = g_strdup(w->key);
    valko_keynode_t node = {.name = name, .value = now};
    w->cb(&node, w->user_data);
    g_free(name);
    g_free(now);
    return G_SOURCE_REMOVE;
}

static void on_file_event(GFileMonitor *monitor, GFile *file, GFile *other, GFileMonitorEvent event,
                          gpointer data)
{
    (void)monitor;
    (void)file;
    (void)other;
    watch_t *w = data;
    if (event == G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED)
        return;
    /* Each event of a burst pushes the read further out. */
    if (w->settle) {
        g_source_destroy(w->settle);
        g_source_unref(w->settle);
    }
    w->settle = g_timeout_source_new(SETTLE_MS);
    g_source_set_callback(w->settle, settled, w, NULL);
    g_source_attach(w->settle, w->context);
}

VALKO_EXPORT int valko_notify_key_changed(const char *key, valko_key_changed_cb cb, void *user_data)
{
    if (cb == NULL)
        return -1;
    char *path = key_path(key);
    if (path == NULL)
        return -1;

    G_LOCK(watches);
    GList *found = find_watch(key, cb);
    if (found) {
        ((watch_t *)found->data)->user_data = user_data;
        G_UNLOCK(watches);
        g_free(path);
        return 0;
    }

    /* The monitor watches the key's directory, so that must exist. */
    GFileMonitor *monitor = NULL;
    if (make_parent(path) == 0) {
        GFile *file = g_file_new_for_path(path);
        monitor = g_file_monitor_file(file, G_FILE_MONITOR_WATCH_MOVES, NULL, NULL);
        g_object_unref(file);
    }
    if (monitor == NULL) {
        G_UNLOCK(watches);
        g_free(path);
        return -1;
    }
    g_file_monitor_set_rate_limit(monitor, 0);

    watch_t *w = g_new0(watch_t, 1);
    w->key = g_strdup(key);
    w->path = path;
    w->cb = cb;
    w->user_data = user_data;
    w->monitor = monitor;
    w->context = g_main_context_ref_thread_default();
    w->last = read_path(path);
    w->handler = g_signal_connect(monitor, "changed", G_CALLBACK(on_file_event), w);
    watches = g_list_prepend(watches, w);
    G_UNLOCK(watches);
    return 0;
}

VALKO_EXPORT int valko_ignore_key_changed(const char *key, valko_key_changed_cb cb)
{
    if (key == NULL || cb == NULL)
        return -1;
    G_LOCK(watches);
    GList *found = find_watch(key, cb);
    watch_t *w = found ? found->data : NULL;
    if (found)
        watches = g_list_delete_link(watches, found);
    G_UNLOCK(watches);
    if (w == NULL)
        return -1;
    /* Disconnecting and destroying the pending read means nothing already
     * queued for this registration can reach its callback any more. */
    watch_free(w);
    return 0;
}

VALKO_EXPORT char *valko_keynode_get_str(valko_keynode_t *node)
{
    return node ? node->value : NULL;
}

VALKO_EXPORT const char *valko_keynode_get_name(valko_keynode_t *node)
{
    return node ? node->name : NULL;
}

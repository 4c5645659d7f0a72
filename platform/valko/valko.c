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
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gio/gio.h>
#include <glib/gstdio.h>

#define VALKO_EXPORT __attribute__((visibility("default")))

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

/* The root's path (g_free), looked up at each call so that it can change
 * at run time, and whether it is the default one. */
static char *root_path(gboolean *is_default)
{
    const char *root = g_getenv("VALKO_ROOT");
    *is_default = root == NULL || *root == '\0';
    if (!*is_default)
        return g_strdup(root);
    const char *runtime = g_getenv("XDG_RUNTIME_DIR");
    if (runtime != NULL && g_path_is_absolute(runtime))
        return g_build_filename(runtime, "valko", NULL);
    return g_strdup_printf("/tmp/valko-%u", (unsigned)geteuid());
}

/* The root directory, opened; -1 when there is none to use.  The default
 * root is made private to this user, and one that is not (a link, another
 * owner, other modes; someone may have made it first in /tmp) is refused. */
static int open_root(const char *root, gboolean is_default, gboolean create)
{
    if (is_default)
        mkdir(root, 0700);
    else if (create)
        g_mkdir_with_parents(root, 0700);
    int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (is_default ? O_NOFOLLOW : 0));
    struct stat st;
    if (fd >= 0 && is_default &&
        (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 07777) != 0700)) {
        g_message("valko: store root %s is not private to this user: refused", root);
        close(fd);
        fd = -1;
        errno = EACCES;
    }
    return fd;
}

/* The directory that holds @key's file, opened, with *leaf set to the
 * file's name in it; -1 for an invalid key or when a directory is missing
 * (made when @create).  No symbolic link below the root is followed, so
 * no key reaches outside it. */
static int open_key_dir(const char *key, gboolean create, const char **leaf)
{
    if (!key_valid(key))
        return -1;
    gboolean is_default;
    char *root = root_path(&is_default);
    int dir = open_root(root, is_default, create);
    g_free(root);
    const char *seg = key;
    for (const char *slash; dir >= 0 && (slash = strchr(seg, '/')) != NULL; seg = slash + 1) {
        char *name = g_strndup(seg, (gsize)(slash - seg));
        if (create)
            mkdirat(dir, name, 0755);
        int next = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        g_free(name);
        close(dir);
        dir = next;
    }
    *leaf = seg;
    return dir;
}

/* A store on a set may block.  VALKO_STALL names a FIFO that makes this
 * one do so: while it exists, every read waits until a writer has opened
 * and closed it. */
static void stall(void)
{
    const char *fifo = g_getenv("VALKO_STALL");
    int fd = fifo != NULL ? open(fifo, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0)
        return;
    char c;
    while (read(fd, &c, 1) > 0 || errno == EINTR)
        ;
    close(fd);
}

/* The key's content (g_free), or NULL when it cannot be read.  Only a
 * regular file holds a value: a FIFO or a device is refused before
 * anything could wait on it. */
static char *read_key(const char *key)
{
    stall();
    const char *leaf;
    int dir = open_key_dir(key, FALSE, &leaf);
    if (dir < 0)
        return NULL;
    int fd = openat(dir, leaf, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        return NULL;
    }
    GString *data = g_string_sized_new((gsize)st.st_size + 1);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            g_string_append_len(data, buf, n);
    close(fd);
    return g_string_free(data, n < 0);
}

VALKO_EXPORT char *valko_get_str(const char *key)
{
    char *data = read_key(key);
    if (data == NULL)
        return NULL;
    char *copy = strdup(data);
    g_free(data);
    return copy;
}

/* Writes @value to a new file beside the key's and renames it over the
 * key's, so that a reader sees the old value or the new. */
VALKO_EXPORT int valko_set_str(const char *key, const char *value)
{
    if (value == NULL)
        return -1;
    const char *leaf;
    int dir = open_key_dir(key, TRUE, &leaf);
    if (dir < 0)
        return -1;
    char *tmp = NULL;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 16; tries++) {
        g_free(tmp);
        tmp = g_strdup_printf(".%s.%08x", leaf, g_random_int());
        fd = openat(dir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    gboolean ok = fd >= 0;
    for (size_t done = 0, size = strlen(value); ok && done < size;) {
        ssize_t n = write(fd, value + done, size - done);
        if (n > 0)
            done += (size_t)n;
        else if (n == 0 || errno != EINTR)
            ok = FALSE;
    }
    /* On disk before the rename, or a crash could leave an empty key. */
    if (ok && fsync(fd) != 0)
        ok = FALSE;
    if (fd >= 0 && close(fd) != 0)
        ok = FALSE;
    if (ok && renameat(dir, tmp, dir, leaf) != 0)
        ok = FALSE;
    if (!ok && fd >= 0)
        unlinkat(dir, tmp, 0);
    g_free(tmp);
    close(dir);
    return ok ? 0 : -1;
}

VALKO_EXPORT int valko_get_int(const char *key, int *value)
{
    if (value == NULL)
        return -1;
    char *data = read_key(key);
    if (data == NULL)
        return -1;

    /* The whole text, blanks around it aside, must be one decimal int.
     * errno is not looked at: g_ascii_strtoll() may leave EAGAIN from its
     * first call's set-up on a good number, and an overflow saturates to a
     * value the range check refuses anyway. */
    const char *text = g_strstrip(data);
    char *end = NULL;
    gint64 n = g_ascii_strtoll(text, &end, 10);
    int ok = end != text && *end == '\0' && n >= INT_MIN && n <= INT_MAX;
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
    const char *leaf;
    int dir = open_key_dir(key, FALSE, &leaf);
    if (dir < 0)
        return key_valid(key) && errno == ENOENT ? 0 : -1;
    int rc = (unlinkat(dir, leaf, 0) == 0 || errno == ENOENT) ? 0 : -1;
    close(dir);
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

    char *now = read_key(w->key);
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
    /* The monitor watches the key's directory, so that must exist. */
    const char *leaf;
    int dir = open_key_dir(key, TRUE, &leaf);
    if (dir < 0)
        return -1;
    close(dir);
    gboolean is_default;
    char *root = root_path(&is_default);
    char *path = g_build_filename(root, key, NULL);
    g_free(root);

    G_LOCK(watches);
    GList *found = find_watch(key, cb);
    if (found) {
        ((watch_t *)found->data)->user_data = user_data;
        G_UNLOCK(watches);
        g_free(path);
        return 0;
    }

    GFile *file = g_file_new_for_path(path);
    GFileMonitor *monitor = g_file_monitor_file(file, G_FILE_MONITOR_WATCH_MOVES, NULL, NULL);
    g_object_unref(file);
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
    w->last = read_key(key);
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

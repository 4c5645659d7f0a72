/* valko.h - the configuration store, as the library sees it.
 *
 * This stand-in keeps every key as a plain file $VALKO_ROOT/<key> (the
 * key's slashes are directories).  Without VALKO_ROOT the root is
 * $XDG_RUNTIME_DIR/valko, or /tmp/valko-<uid> without that, made with mode
 * 0700; a default root that is a link, another user's, or open to others
 * is refused, and every call then fails.  The file holds the value as
 * text, integers as decimal text; a missing file, or anything but a regular
 * file (a FIFO, a directory, a device), means the key cannot be read.
 * Writes are atomic: a temporary file in the same directory, then a
 * rename.  Any change of a key's file, by whatever process, fires the
 * notifications registered on that key, in the thread-default main context
 * of the registering thread.  To try what a store that blocks does, set
 * VALKO_STALL to the path of a FIFO: while it exists, every read first waits
 * until a writer has opened and closed it.  On the television itself the
 * platform's own store library takes its place.
 *
 * Keys are relative paths below the root: NULL, empty and absolute keys,
 * and keys with empty, "." or ".." segments are refused by every call, and
 * no symbolic link below the root is followed. */
#ifndef VALKO_H
#define VALKO_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _valko_keynode_t valko_keynode_t;
typedef void (*valko_key_changed_cb)(valko_keynode_t *node, void *user_data);

/* A new copy of the file's text as stored (free with free()), or NULL
 * when unreadable. */
char *valko_get_str(const char *key);
/* 0 when stored, -1 otherwise (also for a NULL @value).  Creates the
 * key's directories as needed. */
int valko_set_str(const char *key, const char *value);
/* 0 with *value written; -1 with *value untouched when unreadable or when
 * the text, blanks around it aside, is not one decimal int. */
int valko_get_int(const char *key, int *value);
int valko_set_int(const char *key, int value);
/* Removes the key; 0 when it is gone afterwards. */
int valko_unset(const char *key);

/* 0 when registered: @cb runs after each change of @key's value or of its
 * existence, once per change (a burst of file events is read as one), in
 * the calling thread's thread-default main context.  A rewrite that leaves
 * the value as it was is not reported.  Registering the same @cb on @key
 * again only replaces @user_data.  Register and ignore from one thread. */
int valko_notify_key_changed(const char *key, valko_key_changed_cb cb, void *user_data);
/* 0 when the registration of @cb on @key was removed; -1 when there was
 * none.  Its callback does not run afterwards, not even for changes that
 * happened before. */
int valko_ignore_key_changed(const char *key, valko_key_changed_cb cb);

/* The node's new value (borrowed for the callback's duration), or NULL
 * when the key was removed. */
char *valko_keynode_get_str(valko_keynode_t *node);
/* The node's key (borrowed). */
const char *valko_keynode_get_name(valko_keynode_t *node);

#ifdef __cplusplus
}
#endif

#endif /* VALKO_H */

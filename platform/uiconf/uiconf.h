/* uiconf.h - resource path lookup of the UI configuration manager.
 *
 * This stand-in maps a resource name to "<root>/<name>.png", with the root
 * taken from UICONF_RESOURCE_ROOT, or /usr/share/halvo/resources when that
 * is unset.  On a set the platform's own library takes its place. */
#ifndef UICONF_H
#define UICONF_H

#ifdef __cplusplus
extern "C" {
#endif

/* Full path of resource @name; the caller hands it back to freeResourcePath().
 * @flags is reserved (callers pass 0).  NULL for a NULL name. */
char *getCommonResourcePath(const char *name, int flags);
void freeResourcePath(char *path);

#ifdef __cplusplus
}
#endif

#endif /* UICONF_H */

/* uiconf.c - stand-in for the UI configuration manager's resource lookup. */
#include "uiconf.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define UICONF_EXPORT __attribute__((visibility("default")))
#define UICONF_DEFAULT_ROOT "/usr/share/halvo/resources"

UICONF_EXPORT char *getCommonResourcePath(const char *name, int flags)
{
    (void)flags;
    if (name == NULL)
        return NULL;
    const char *root = getenv("UICONF_RESOURCE_ROOT");
    if (root == NULL || *root == '\0')
        root = UICONF_DEFAULT_ROOT;
    size_t len = strlen(root) + 1 + strlen(name) + sizeof ".png";
    char *path = malloc(len);
    if (path)
        snprintf(path, len, "%s/%s.png", root, name);
    return path;
}

UICONF_EXPORT void freeResourcePath(char *path)
{
    free(path);
}

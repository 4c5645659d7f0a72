/* list-devices.c - list the paired Bluetooth devices.
 *
 * Build against an installed library:
 *   cc list-devices.c $(pkg-config --cflags --libs halvo-api) -o list-devices
 */
#include <halvo-api.h>

#include <stdio.h>

int main(void)
{
    GSList *devices = NULL; /* must be NULL on entry */
    int rc = halvo_get_paired_dev_info_list(&devices);
    if (rc != HALVO_ERROR_NONE) {
        fprintf(stderr, "cannot list the paired devices: result %d\n", rc);
        return 1;
    }
    if (devices == NULL)
        printf("no paired devices\n");
    for (GSList *l = devices; l != NULL; l = l->next) {
        const halvo_device_info_s *d = l->data;
        if (d == NULL)
            continue;
        printf("%-17s  %-24s  type %d%s%s\n", d->address ? d->address : "?", d->name ? d->name : "",
               d->device_type, d->connected ? ", connected" : "", d->usedontuse ? ", don't use" : "");
    }
    /* The records, their strings and the cells are ours: one call frees all. */
    if (devices != NULL)
        halvo_free_paired_dev_info_list(devices);
    return 0;
}

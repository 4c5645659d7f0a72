/* poll-loop.c - the library on a plain poll() loop, without a GLib main loop.
 *
 *   poll-loop ADDRESS
 *
 * Reads the speaker's volume, sets it one step away and waits for the
 * service to announce the change.  halvo_api_event_fd() gives this thread
 * a main context of the library's: the calls it starts and the listeners
 * it connects are then delivered by halvo_api_dispatch(), on this thread,
 * when the descriptor is readable or halvo_api_event_timeout() has passed.
 * Ends with status 0 once the read, the set and the change have come; 1
 * when one failed, or when they have not all come within 10 s.
 */
#define _POSIX_C_SOURCE 200809L

#include <halvo-api.h>

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#define GIVE_UP_MS 10000

struct flow {
    const char *address;
    int target; /* the volume being set; -1 until the read answered */
    bool read, set, changed, failed;
};

static void failed(struct flow *f, const char *what, int rc)
{
    fprintf(stderr, "poll-loop: %s failed: result %d (%s)\n", what, rc,
            halvo_api_failure_name(halvo_api_last_failure()));
    f->failed = true;
}

static void volume_set(GObject *source, GAsyncResult *result, gpointer user_data)
{
    struct flow *f = user_data;
    int rc = halvo_api_set_volume_finish(result);
    (void)source;
    if (rc != HALVO_ERROR_NONE) {
        failed(f, "setting the volume", rc);
        return;
    }
    printf("set: volume %d\n", f->target);
    f->set = true;
}

static void volume_read(GObject *source, GAsyncResult *result, gpointer user_data)
{
    struct flow *f = user_data;
    int volume = 0;
    int rc = halvo_api_get_volume_finish(result, &volume);
    (void)source;
    if (rc != HALVO_ERROR_NONE) {
        failed(f, "reading the volume", rc);
        return;
    }
    printf("read: volume %d\n", volume);
    f->read = true;
    /* A new value, so that the service has a change to announce. */
    f->target = volume < 100 ? volume + 1 : volume - 1;
    halvo_api_set_volume_async(f->address, f->target, NULL, volume_set, f);
}

/* Any speaker's change; @address is freed when we return. */
static void volume_changed(const char *address, int volume, void *user_data)
{
    struct flow *f = user_data;
    printf("changed: %s volume %d\n", address, volume);
    if (f->target >= 0 && volume == f->target && strcmp(address, f->address) == 0)
        f->changed = true;
}

static void service_changed(bool present, gpointer user_data)
{
    (void)user_data;
    printf("service %s\n", present ? "present" : "absent");
}

static long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: poll-loop ADDRESS\n");
        return 2;
    }
    struct flow f = {argv[1], -1, false, false, false, false};

    /* First, so that the listeners and calls below deliver through the descriptor. */
    struct pollfd p = {halvo_api_event_fd(), POLLIN, 0};
    if (p.fd < 0) {
        fprintf(stderr, "poll-loop: this thread already has a main context\n");
        return 1;
    }
    gulong volume_id = halvo_api_connect(HALVO_EVENT_VOLUME_CHANGED, G_CALLBACK(volume_changed), &f, NULL);
    gulong service_id = halvo_api_connect(HALVO_EVENT_SERVICE_CHANGED, G_CALLBACK(service_changed), NULL, NULL);
    /* Connected before the set goes out, the volume listener hears its change. */
    halvo_api_get_volume_async(f.address, NULL, volume_read, &f);

    long long give_up = now_ms() + GIVE_UP_MS;
    while (!f.failed && !(f.read && f.set && f.changed)) {
        long long left = give_up - now_ms();
        if (left <= 0) {
            fprintf(stderr, "poll-loop: after %d s: %s\n", GIVE_UP_MS / 1000,
                    !f.read ? "no volume read" : !f.set ? "the set did not finish" : "no change announced");
            f.failed = true;
            break;
        }
        /* The library's time-out, or ours if that comes first. */
        int timeout = halvo_api_event_timeout();
        if (timeout < 0 || timeout > left)
            timeout = (int)left;
        if (poll(&p, 1, timeout) < 0 && errno != EINTR) {
            perror("poll-loop: poll");
            f.failed = true;
            break;
        }
        halvo_api_dispatch();
    }

    halvo_api_disconnect(volume_id);
    halvo_api_disconnect(service_id);
    return f.failed ? 1 : 0;
}

/* qt-volume - the library in Qt's event loop, without GLib's.
 *
 *   QT_NO_GLIB=1 qt-volume ADDRESS
 *
 * The flow of poll-loop.c: reads the speaker's volume, sets it one step
 * away and waits for the service to announce the change.  A
 * QSocketNotifier watches halvo_api_event_fd() and a single-shot QTimer
 * stands for halvo_api_event_timeout(); both call halvo_api_dispatch().
 * QT_NO_GLIB=1 makes Qt run its own dispatcher, as on a set without GLib.
 * Ends with status 0 once the read, the set and the change have come; 1
 * when one failed, or when they have not all come within 10 s.
 */
#include <halvo-api.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

struct Flow {
    const char *address;
    int target = -1; // the volume being set; -1 until the read answered
    bool read = false, set = false, changed = false;

    void done_if_all()
    {
        if (read && set && changed)
            QCoreApplication::exit(0);
    }
};

void failed(const char *what, int rc)
{
    fprintf(stderr, "qt-volume: %s failed: result %d (%s)\n", what, rc,
            halvo_api_failure_name(halvo_api_last_failure()));
    QCoreApplication::exit(1);
}

void volume_set(GObject *, GAsyncResult *result, gpointer user_data)
{
    auto *f = static_cast<Flow *>(user_data);
    int rc = halvo_api_set_volume_finish(result);
    if (rc != HALVO_ERROR_NONE)
        return failed("setting the volume", rc);
    printf("set: volume %d\n", f->target);
    f->set = true;
    f->done_if_all();
}

void volume_read(GObject *, GAsyncResult *result, gpointer user_data)
{
    auto *f = static_cast<Flow *>(user_data);
    int volume = 0;
    int rc = halvo_api_get_volume_finish(result, &volume);
    if (rc != HALVO_ERROR_NONE)
        return failed("reading the volume", rc);
    printf("read: volume %d\n", volume);
    f->read = true;
    // A new value, so that the service has a change to announce.
    f->target = volume < 100 ? volume + 1 : volume - 1;
    halvo_api_set_volume_async(f->address, f->target, nullptr, volume_set, f);
}

// Any speaker's change; `address` is freed when we return.
void volume_changed(const char *address, int volume, void *user_data)
{
    auto *f = static_cast<Flow *>(user_data);
    printf("changed: %s volume %d\n", address, volume);
    if (f->target >= 0 && volume == f->target && strcmp(address, f->address) == 0) {
        f->changed = true;
        f->done_if_all();
    }
}

void service_changed(bool present, gpointer)
{
    printf("service %s\n", present ? "present" : "absent");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: QT_NO_GLIB=1 qt-volume ADDRESS\n");
        return 2;
    }

    // First, so that the listeners and calls below deliver through the descriptor.
    int fd = halvo_api_event_fd();
    if (fd < 0) {
        fprintf(stderr, "qt-volume: this thread already has a GLib main context (set QT_NO_GLIB=1)\n");
        return 1;
    }
    QSocketNotifier readable(fd, QSocketNotifier::Read);
    QTimer due;
    due.setSingleShot(true);
    QObject::connect(&readable, &QSocketNotifier::activated, [] { halvo_api_dispatch(); });
    QObject::connect(&due, &QTimer::timeout, [] { halvo_api_dispatch(); });
    // Before Qt waits, tell it when the library is due (as poll-loop.c
    // asks before each poll()).
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &due, [&due] {
        int ms = halvo_api_event_timeout();
        if (ms < 0)
            due.stop();
        else
            due.start(ms);
    });
    QTimer::singleShot(10000, &app, [] {
        fprintf(stderr, "qt-volume: not done after 10 s\n");
        QCoreApplication::exit(1);
    });

    Flow flow{argv[1]};
    gulong volume_id = halvo_api_connect(HALVO_EVENT_VOLUME_CHANGED, G_CALLBACK(volume_changed), &flow, nullptr);
    gulong service_id = halvo_api_connect(HALVO_EVENT_SERVICE_CHANGED, G_CALLBACK(service_changed), nullptr, nullptr);
    halvo_api_get_volume_async(flow.address, nullptr, volume_read, &flow);

    int status = app.exec();
    halvo_api_disconnect(volume_id);
    halvo_api_disconnect(service_id);
    return status;
}

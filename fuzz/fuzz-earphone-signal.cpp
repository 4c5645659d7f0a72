/* The earphone connection-state signal, emitted by a service on a private
 * bus with a payload built from the fuzz bytes: the callback runs once for
 * an "(isi)" payload, with what it holds, and never for another shape. */
#include "harness.h"
#include "halvo-api-private.h"

#include <cstring>

using halvo_fuzz::finding;

namespace {

struct Seen {
    int calls = 0;
    int result = 0, connected = 0;
    std::string address;
} g_seen;

void on_state(int result, const char *address, int connected, void *)
{
    g_seen.calls++;
    g_seen.result = result;
    g_seen.connected = connected;
    g_seen.address = address ? address : "<null>";
}

int g_marker = 0;

/* Every signal emitted before the marker has been dispatched once the
 * marker has: one connection delivers in order. */
void wait_for_marker(int want)
{
    GMainContext *ctx = g_main_context_default();
    gint64 deadline = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (g_marker != want && g_get_monotonic_time() < deadline)
        g_main_context_iteration(ctx, TRUE);
    if (g_marker != want)
        finding("marker signal lost");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const types[] = {"(isi)", "(is)", "(sii)", "(i)", "()", "(isii)", "(iii)", "(isb)"};
    static int serial = 0;
    if (serial == 0) {
        halvo_fuzz::service::start();
        if (halvo_tuvo_switching_set_connection_state_cb(on_state, nullptr) != 0)
            finding("cannot set the callback");
        GDBusConnection *bus = __halvo_api_get_system_connection();
        g_dbus_connection_signal_subscribe(
            bus, nullptr, "org.velmo.pellix", "HalvoFuzzMarker", "/org/velmo/pellix", nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *p, gpointer) {
                if (g_variant_is_of_type(p, G_VARIANT_TYPE("(i)")))
                    g_variant_get(p, "(i)", &g_marker);
            },
            nullptr, nullptr);
        GVariant *ping = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                     "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                                     G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (ping)
            g_variant_unref(ping);
        g_object_unref(bus);
    }
    halvo_fuzz::Input in(data, size);
    GVariant *payload = halvo_fuzz::variant_from(in, types, G_N_ELEMENTS(types));

    g_seen = Seen();
    halvo_fuzz::service::emit("tuvo_swtiching_connection_state_changed", g_variant_ref(payload));
    halvo_fuzz::service::emit("HalvoFuzzMarker", g_variant_new("(i)", ++serial));
    wait_for_marker(serial);

    bool shaped = g_variant_is_of_type(payload, G_VARIANT_TYPE("(isi)"));
    if (g_seen.calls != (shaped ? 1 : 0))
        finding("callback ran %d times for a %s payload", g_seen.calls, g_variant_get_type_string(payload));
    if (shaped) {
        int result = 0, connected = 0;
        const char *address = nullptr;
        g_variant_get(payload, "(i&si)", &result, &address, &connected);
        if (g_seen.result != result || g_seen.address != address || g_seen.connected != connected)
            finding("callback got %d %s %d", g_seen.result, g_seen.address.c_str(), g_seen.connected);
    }
    g_variant_unref(payload);
    return 0;
}

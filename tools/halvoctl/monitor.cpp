/* monitor.cpp - halvoctl monitor: registers every callback of the library
 * and prints each event with a time stamp until interrupted.  Everything
 * runs in the default main context, where the library delivers. */
#include "halvoctl.h"

#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>

namespace ctl {

namespace {

struct Monitor {
    const Ctx *ctx = nullptr;
    int events = 0;
    int max_events = 0; /* 0: until interrupted */
    bool stop = false;
};
Monitor mon;

/* One event: a table line, or one JSON object per line. */
class Line {
  public:
    explicit Line(const char *event) : event_(event)
    {
        w_.obj().s("time", timestamp()).s("event", event);
    }
    Line &s(const char *name, const char *v)
    {
        w_.s(name, v);
        text_ += std::string(" ") + name + "=" + or_dash(v);
        return *this;
    }
    Line &i(const char *name, int v)
    {
        w_.i(name, v);
        text_ += std::string(" ") + name + "=" + std::to_string(v);
        return *this;
    }
    Line &b(const char *name, bool v)
    {
        w_.b(name, v);
        text_ += std::string(" ") + name + "=" + (v ? "yes" : "no");
        return *this;
    }
    tools::JsonWriter &json() { return w_; }
    void text(const std::string &t) { text_ += t; }
    void print()
    {
        w_.end_obj();
        if (mon.ctx->json)
            print_json(w_);
        else
            printf("%s %-16s%s\n", timestamp().c_str(), event_, text_.c_str());
        fflush(stdout);
        if (mon.max_events > 0 && ++mon.events >= mon.max_events)
            mon.stop = true;
    }

  private:
    const char *event_;
    std::string text_;
    tools::JsonWriter w_;
};

void on_speaker_info(speaker_t *s, void *)
{
    Line l("speaker-info");
    if (!s) {
        l.json().null("speaker");
        l.text(" none");
    } else {
        l.s("address", s->address).s("name", s->name).s("icon_type", s->icon_type).i("audio_type", int(s->audio_type))
            .s("vsid", s->vsid);
    }
    l.print();
}

void on_last_speakers(GSList *list, void *)
{
    Line l("last-speakers");
    l.json().arr("speakers");
    int n = 0;
    for (GSList *p = list; p; p = p->next, n++) {
        auto *s = static_cast<last_spk_info_t *>(p->data);
        l.json().obj().s("address", s->address).s("name", s->name).b("connected", s->connected).end_obj();
        l.text(std::string(" ") + or_dash(s->address) + (s->connected ? "(connected)" : ""));
    }
    l.json().end_arr();
    if (n == 0)
        l.text(" none");
    l.print();
    /* The list passes to us. */
    if (list)
        halvo_free_last_bluetooth_speakers(&list);
}

void on_connecting(int status, void *)
{
    Line l("connecting");
    l.i("status", status);
    l.text(status == 1 ? " (in progress)" : " (ended)");
    l.print();
}

void on_volume(const char *address, int volume, void *)
{
    Line("volume").s("address", address).i("volume", volume).print();
}

void on_controllable(const char *address, bool controllable, void *)
{
    Line("controllable").s("address", address).b("controllable", controllable).print();
}

void on_earphones(int result, const char *address, int connected, void *)
{
    Line("earphones").s("address", address).b("connected", connected != 0).i("result", result).print();
}

/* The firmware result has no callback: the library records it in globals. */
gboolean poll_firmware(gpointer)
{
    if (g_is_zemo_update_done) {
        g_is_zemo_update_done = false;
        Line l("firmware");
        l.s("result", g_zemo_update_result == 1 ? "OK" : "NG");
        l.print();
    }
    return G_SOURCE_CONTINUE;
}

gboolean on_unix_signal(gpointer)
{
    mon.stop = true;
    return G_SOURCE_CONTINUE;
}

struct Watch {
    const char *what;
    int (*set)();
    int (*unset)();
};

const Watch watches[] = {
    {"speaker information", [] { return halvo_register_bt_spaeker_info_changed_cb(on_speaker_info, nullptr); },
     [] { return halvo_unregister_bt_spaeker_info_changed_cb(); }},
    {"last speakers", [] { return halvo_set_last_bluetooth_speakers_changed_cb(on_last_speakers, nullptr); },
     [] { return halvo_unset_last_bluetooth_speakers_changed_cb(); }},
    {"connecting status",
     [] { return halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(on_connecting, nullptr); },
     [] { return halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb(); }},
    {"volume", [] { return halvo_api_set_volume_changed_callback(on_volume, nullptr); },
     [] { return halvo_api_unset_volume_changed_callback(); }},
    {"controllability", [] { return halvo_api_set_volume_controlable_changed_callback(on_controllable, nullptr); },
     [] { return halvo_api_unset_volume_controlable_changed_callback(); }},
    {"earphones", [] { return halvo_tuvo_switching_set_connection_state_cb(on_earphones, nullptr); },
     [] { return halvo_tuvo_switching_unset_connection_state_cb(); }},
};

/* A round trip to the bus on the connection the library shares: once it
 * returns, the bus has every match rule sent before it. */
bool sync_with_bus()
{
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (!bus)
        return false;
    GVariant *reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
    g_object_unref(bus);
    return reply != nullptr;
}

int monitor(Ctx &ctx)
{
    mon.ctx = &ctx;
    if (!ctx.value("--count").empty() && (!parse_int(ctx.value("--count"), &mon.max_events) || mon.max_events < 1))
        return usage_error(ctx, "--count takes a positive number");
    int duration_s = 0;
    if (!ctx.value("--duration").empty() && (!parse_int(ctx.value("--duration"), &duration_s) || duration_s < 1))
        return usage_error(ctx, "--duration takes a positive number of seconds");

    int rc = halvo_initialize();
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, "initialising the library", rc);
    bool watched[G_N_ELEMENTS(watches)] = {};
    int failures = 0;
    for (size_t i = 0; i < G_N_ELEMENTS(watches); i++) {
        rc = watches[i].set();
        watched[i] = rc == HALVO_ERROR_NONE;
        if (!watched[i]) {
            fprintf(stderr, "halvoctl monitor: cannot watch the %s: result %d (%s): %s\n", watches[i].what, rc,
                    result_name(rc), result_meaning(rc));
            failures++;
        }
    }
    if (failures == int(G_N_ELEMENTS(watches)) || !sync_with_bus()) {
        for (size_t i = 0; i < G_N_ELEMENTS(watches); i++)
            if (watched[i])
                watches[i].unset();
        halvo_deinitialzie();
        return fail_text(ctx, "cannot watch anything: the bus cannot be reached");
    }

    guint sigint = g_unix_signal_add(SIGINT, on_unix_signal, nullptr);
    guint sigterm = g_unix_signal_add(SIGTERM, on_unix_signal, nullptr);
    guint poll = g_timeout_add(50, poll_firmware, nullptr);
    fprintf(stderr, "halvoctl monitor: watching (Ctrl-C to stop)\n");
    fflush(stderr);

    gint64 deadline = g_get_monotonic_time() + gint64(duration_s) * G_USEC_PER_SEC;
    while (!mon.stop && (duration_s == 0 || g_get_monotonic_time() < deadline))
        g_main_context_iteration(nullptr, TRUE);

    g_source_remove(poll);
    g_source_remove(sigint);
    g_source_remove(sigterm);
    for (size_t i = 0; i < G_N_ELEMENTS(watches); i++)
        if (watched[i])
            watches[i].unset();
    halvo_deinitialzie();
    return EXIT_OK;
}

} // namespace

const Command monitor_commands[] = {
    {"monitor", "", "Print every event of the library as it arrives, until interrupted",
     "Registers every callback: speaker information, the last-speakers list (a\n"
     "store change), the connecting status, volume, controllability, earphones,\n"
     "and the firmware-update result.  Prints one time-stamped line per event\n"
     "(--json: one JSON object per line).  \"watching\" on stderr means every\n"
     "subscription is in place.  --count=N stops after N events, --duration=S\n"
     "after S seconds; SIGINT and SIGTERM stop it too.",
     "count=,duration=", 0, 0, monitor},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

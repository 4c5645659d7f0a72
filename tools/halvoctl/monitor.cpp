/* monitor.cpp - halvoctl monitor: registers every callback of the library
 * and prints each event with a time stamp until interrupted.  Everything
 * runs in the default main context, where the library delivers. */
#include "halvoctl.h"

#include "store-keys.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <halvo/calls.hpp>
#include <halvo/subscription.hpp>
#include <valko.h>

#include <cstdio>
#include <list>

namespace ctl {

namespace {

struct Monitor {
    const Ctx *ctx = nullptr;
    int events = 0;
    int max_events = 0; /* 0: until interrupted */
    bool stop = false;
    bool bus_closed = false;
};
Monitor mon;

/* One event: a table line, or one JSON object per line. */
class Line {
  public:
    explicit Line(const char *event) : event_(event)
    {
        w_.obj().s("time", timestamp_rfc3339()).s("event", event);
    }
    Line &s(const char *name, const std::optional<std::string> &v)
    {
        w_.s(name, c_str(v));
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

void on_speaker_info(const std::optional<halvo::Speaker> &s)
{
    Line l("speaker-info");
    if (!s) {
        l.json().null("speaker");
        l.text(" none");
    } else {
        l.s("address", s->address).s("name", s->name).s("icon_type", s->icon_type)
            .i("audio_type", s->audio_type.value_or(-2));
        l.json().json("vsid", c_str(s->vsid));
        l.text(" vsid=" + or_dash(s->vsid));
    }
    l.print();
}

void on_last_speakers(std::vector<halvo::LastSpeaker> list)
{
    Line l("last-speakers");
    l.json().arr("speakers");
    for (const auto &s : list) {
        l.json().obj().s("address", c_str(s.address)).s("name", c_str(s.name)).b("connected", s.connected).end_obj();
        l.text(" " + or_dash(s.address) + (s.connected ? "(connected)" : ""));
    }
    l.json().end_arr();
    if (list.empty())
        l.text(" none");
    l.print();
}

void on_connecting(halvo::ConnectingStatus status)
{
    Line l("connecting");
    l.i("status", int(status)).s("status_name", std::string(connecting_status_name(status)));
    l.print();
}

void on_volume(std::string_view address, int volume)
{
    Line("volume").s("address", std::string(address)).i("volume", volume).print();
}

void on_controllable(std::string_view address, bool controllable)
{
    Line("controllable").s("address", std::string(address)).b("controllable", controllable).print();
}

void on_earphones(int result, std::string_view address, bool connected)
{
    Line("earphones").s("address", std::string(address)).b("connected", connected).i("result", result).print();
}

/* The firmware result has no callback: the library records it in globals. */
gboolean poll_firmware(gpointer)
{
    if (auto ok = halvo::firmware_result()) {
        halvo::clear_firmware_result();
        Line l("firmware");
        l.s("result", std::string(*ok ? "OK" : "NG"));
        l.print();
    }
    return G_SOURCE_CONTINUE;
}

void on_mute(bool muted)
{
    Line("mute").b("muted", muted).print();
}

/* The reads that store changes started; each prints its line when it
 * answers, and what is still out when the monitor stops is cancelled. */
std::list<halvo::Call> reads;

template <class Records>
void named_list(const char *event, const halvo::Result<Records> &list)
{
    Line l(event);
    l.json().arr("devices");
    for (const auto &d : list.value_or(Records{})) {
        l.json().obj().s("address", c_str(d.address)).s("name", c_str(d.name)).end_obj();
        l.text(" " + or_dash(d.address));
    }
    l.json().end_arr();
    if (!list)
        l.text(" unreadable");
    else if (list->empty())
        l.text(" none");
    l.print();
}

/* Lists without a callback of the library: the store's change
 * notification says when, the library reads what. */
template <class Records, class Start>
void read_list(const char *event, Start start)
{
    reads.remove_if([](const halvo::Call &c) { return !c.active(); });
    reads.push_back(start([event](halvo::Result<Records> list) { named_list(event, list); }));
}

void on_blocked_key(valko_keynode_t *, void *)
{
    read_list<std::vector<halvo::BlockedDevice>>("blocked",
                                                 [](auto done) { return halvo::async::blocked_devices(done); });
}

void on_info_sync_key(valko_keynode_t *, void *)
{
    read_list<std::vector<halvo::InfoSyncDevice>>("info-sync",
                                                  [](auto done) { return halvo::async::info_sync_devices(done); });
}

struct KeyWatch {
    const char *key;
    valko_key_changed_cb changed;
};
const KeyWatch key_watches[] = {
    {STORE_KEY_BLOCKED, on_blocked_key},
    {STORE_KEY_INFO_SYNC, on_info_sync_key},
};

/* The names whose owner the monitor follows itself; the library tells
 * the service's own. */
const char *const watched_names[] = {UPDATE_MANAGER_NAME};

void print_presence(const char *name, bool present)
{
    Line l("service");
    l.s("name", std::string(name)).b("present", present);
    l.text(present ? " (on the bus)" : " (left the bus)");
    l.print();
}

void on_name_owner(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                   GVariant *params, gpointer)
{
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    g_variant_get(params, "(&s&s&s)", &name, &old_owner, &new_owner);
    print_presence(name, *new_owner != '\0');
}

void on_service(bool present)
{
    print_presence(SERVICE_NAME, present);
}

void on_bus_closed(GDBusConnection *, gboolean, GError *error, gpointer)
{
    Line l("bus-closed");
    l.s("reason", std::string(error ? error->message : "closed"));
    l.print();
    mon.bus_closed = true;
    mon.stop = true;
}

gboolean on_unix_signal(gpointer)
{
    mon.stop = true;
    return G_SOURCE_CONTINUE;
}

struct Watch {
    const char *what;
    halvo::Result<halvo::Subscription> (*subscribe)();
};

const Watch watches[] = {
    {"speaker information", [] { return halvo::on_speaker_info(on_speaker_info); }},
    {"last speakers", [] { return halvo::on_last_speakers(on_last_speakers); }},
    {"connecting status", [] { return halvo::on_connecting_status(on_connecting); }},
    {"volume", [] { return halvo::on_volume(on_volume); }},
    {"controllability", [] { return halvo::on_volume_controllable(on_controllable); }},
    {"earphones", [] { return halvo::on_earphones(on_earphones); }},
    {"mute state", [] { return halvo::on_mute(on_mute); }},
    {"service", [] { return halvo::on_service(on_service); }},
};

/* The monitor's own connection, for the service's comings and goings;
 * the library's follows them by itself. */
struct OwnerWatch {
    explicit OwnerWatch(GDBusConnection *b) : bus(b)
    {
        if (!bus)
            return;
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        closed = g_signal_connect(bus, "closed", G_CALLBACK(on_bus_closed), nullptr);
        for (const char *name : watched_names)
            owners.push_back(g_dbus_connection_signal_subscribe(
                bus, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
                name, G_DBUS_SIGNAL_FLAGS_NONE, on_name_owner, nullptr, nullptr));
    }
    ~OwnerWatch()
    {
        if (!bus)
            return;
        for (guint id : owners)
            g_dbus_connection_signal_unsubscribe(bus, id);
        g_signal_handler_disconnect(bus, closed);
        g_object_unref(bus);
    }
    OwnerWatch(const OwnerWatch &) = delete;
    OwnerWatch &operator=(const OwnerWatch &) = delete;
    GDBusConnection *const bus;
    gulong closed = 0;
    std::vector<guint> owners;
};

int monitor(Ctx &ctx)
{
    mon.ctx = &ctx;
    if (!ctx.value("--count").empty() && (!parse_int(ctx.value("--count"), &mon.max_events) || mon.max_events < 1))
        return usage_error(ctx, "--count takes a positive number");
    int duration_s = 0;
    if (!ctx.value("--duration").empty() && (!parse_int(ctx.value("--duration"), &duration_s) || duration_s < 1))
        return usage_error(ctx, "--duration takes a positive number of seconds");

    /* The watch of the service's name goes first: the round trip that
     * confirms it (once it returns, the bus has the match rules sent
     * before it) travels while the library subscribes. */
    OwnerWatch own(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr));
    std::optional<BusCall> confirming;
    if (own.bus)
        confirming.emplace(own.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
                           nullptr, nullptr);
    auto session = halvo::Session::start();
    if (!session)
        return fail(ctx, "initialising the library", session);
    std::vector<halvo::Subscription> subscriptions; /* end before the session */
    for (const auto &watch : watches) {
        auto sub = watch.subscribe();
        if (sub)
            subscriptions.push_back(std::move(*sub));
        else
            fprintf(stderr, "halvoctl monitor: cannot watch the %s: result %d (%s): %s\n", watch.what,
                    sub.code(), result_name(sub.code()), sub.message());
    }
    for (const auto &k : key_watches)
        if (valko_notify_key_changed(k.key, k.changed, nullptr) != 0)
            fprintf(stderr, "halvoctl monitor: cannot watch the store key %s\n", k.key);
    GVariant *confirmed = confirming ? confirming->wait(ctx, nullptr, nullptr, 5000) : nullptr;
    if (subscriptions.empty() || !confirmed)
        return fail_text(ctx, "cannot watch anything: the bus cannot be reached");
    g_variant_unref(confirmed);

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
    for (const auto &k : key_watches)
        valko_ignore_key_changed(k.key, k.changed);
    reads.clear();
    if (mon.bus_closed) {
        fprintf(stderr, "halvoctl monitor: the bus connection closed\n");
        return EXIT_NO_SERVICE;
    }
    return EXIT_OK;
}

} // namespace

const Command monitor_commands[] = {
    {"monitor", "", "Print every event of the library as it arrives, until interrupted",
     "Registers every callback: speaker information, the last-speakers list (a\n"
     "store change), the connecting status, volume, controllability, earphones,\n"
     "the mute state, and watches the store for the blocked and info-sync lists,\n"
     "and the firmware-update result, and the service and the update manager\n"
     "leaving or joining the bus (\"service\").  Prints one time-stamped line per event\n"
     "(--json: one JSON object per line).  \"watching\" on stderr means every\n"
     "subscription is in place.  --count=N stops after N events, --duration=S\n"
     "after S seconds; SIGINT and SIGTERM stop it too.  When the bus connection\n"
     "closes it prints \"bus-closed\" and exits with status 8.",
     "count=,duration=", 0, 0, monitor},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

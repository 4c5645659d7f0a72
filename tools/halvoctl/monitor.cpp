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
            .i("audio_type", s->audio_type.value_or(-2)).s("vsid", s->vsid);
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
    l.i("status", int(status));
    l.text(status == halvo::ConnectingStatus::InProgress ? " (in progress)" : " (ended)");
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
    if (subscriptions.empty() || !sync_with_bus())
        return fail_text(ctx, "cannot watch anything: the bus cannot be reached");

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

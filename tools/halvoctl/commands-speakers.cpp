/* commands-speakers.cpp - connected and last speakers, reconnection,
 * volume, mute, icons and replacement. */
#include "halvoctl.h"

#include <halvo/calls.hpp>
#include <halvo/subscription.hpp>

#include <algorithm>
#include <cstdio>

namespace ctl {

namespace {

/* AUDIO: the zero-based audio type, -2 when none is stored. */
int audio(const std::optional<int> &t) { return t.value_or(-2); }

/* For lists read from the store: its documents outlive the service that
 * wrote them.  Whether the service is on the bus. */
bool warn_if_stale(const Ctx &ctx)
{
    bool present = name_has_owner(ctx, SERVICE_NAME);
    if (!present)
        fprintf(stderr, "halvoctl %s: warning: the service is not on the bus (nobody owns " SERVICE_NAME
                        "); the stored data may be stale\n", ctx.command.c_str());
    return present;
}

int speakers(Ctx &ctx)
{
    if (ctx.flag("--count")) {
        auto count = await<int>(ctx, [](auto done) { return halvo::async::connected_speaker_count(done); });
        if (!count)
            return fail(ctx, "counting the connected speakers", count);
        if (ctx.json) {
            tools::JsonWriter w;
            w.obj().i("connected", *count).end_obj();
            print_json(w);
        } else {
            printf("%d\n", *count);
        }
        return EXIT_OK;
    }
    /* One refresh: the stored list, then every speaker's volume and
     * controllability asked of the service at once. */
    auto list = await<std::vector<halvo::SpeakerVolume>>(
        ctx, [](auto done) { return halvo::async::speakers_with_volumes(done); });
    if (!list)
        return fail(ctx, "reading the connected speakers", list);
    /* The reads of a refresh note no failure kind: the bus tells why. */
    bool present = warn_if_stale(ctx);
    std::vector<std::string> missing; /* what the service did not tell */
    tools::JsonWriter w;
    Table t({"ADDRESS", "NAME", "ICON", "AUDIO", "VOLUME", "CONTROLLABLE", "VSID"});
    w.obj().arr("speakers");
    for (const auto &[s, volume, controllable] : *list) {
        if (!volume)
            missing.push_back("the volume of " + or_dash(s.address));
        if (!controllable.ok())
            missing.push_back("whether " + or_dash(s.address) + " is controllable");
        if (ctx.json) {
            w.obj().s("address", c_str(s.address)).s("name", c_str(s.name)).s("icon_type", c_str(s.icon_type))
                .i("audio_type", audio(s.audio_type)).json("vsid", c_str(s.vsid));
            if (volume)
                w.i("volume", *volume);
            else
                w.null("volume");
            if (controllable.ok())
                w.b("controllable", *controllable);
            else
                w.null("controllable");
            w.end_obj();
        } else {
            t.add({or_dash(s.address), or_dash(s.name), or_dash(s.icon_type), std::to_string(audio(s.audio_type)),
                   volume ? std::to_string(*volume) : "?", controllable.ok() ? (*controllable ? "yes" : "no") : "?",
                   or_dash(s.vsid)});
        }
    }
    w.end_arr().b("partial", !missing.empty()).end_obj();
    print_either(ctx, w, t, "no speaker connected");
    return partial(ctx, missing, present);
}

int speaker_info(Ctx &ctx)
{
    halvo::Result<void> sent;
    if (ctx.args.size() == 1) {
        sent = await<void>(
            ctx, [&](auto done) { return halvo::async::set_connected_speaker_info_json(ctx.args[0], done); });
    } else if (ctx.args.size() == 5) {
        int audio_type = 0;
        if (!parse_int(ctx.args[4], &audio_type) || audio_type < 0)
            return usage_error(ctx, "AUDIO_TYPE is a number from 0");
        halvo::SpeakerInfo info{ctx.args[1], ctx.args[2], ctx.args[3], audio_type};
        sent = await<void>(
            ctx, [&](auto done) { return halvo::async::set_connected_speaker_info(ctx.args[0], info, done); });
    } else {
        return usage_error(ctx, "expected VSID ADDR NAME ICON AUDIO_TYPE, or one JSON text");
    }
    if (!sent)
        return fail(ctx, "sending the speaker information", sent);
    confirm(ctx, "speaker information sent", tools::JsonWriter().obj().b("sent", true).end_obj());
    return EXIT_OK;
}

halvo::Result<std::vector<halvo::LastSpeaker>> read_last_speakers(const Ctx &ctx)
{
    return await<std::vector<halvo::LastSpeaker>>(ctx, [](auto done) { return halvo::async::last_speakers(done); });
}

int last_speakers(Ctx &ctx)
{
    auto list = read_last_speakers(ctx);
    if (!list)
        return fail(ctx, "reading the last speakers", list);
    if (ctx.command == "last-speakers")
        warn_if_stale(ctx);
    tools::JsonWriter w;
    Table t({"ADDRESS", "NAME", "ICON", "AUDIO", "CONNECTED"});
    w.obj().arr("last_speakers");
    for (const auto &s : *list) {
        w.obj().s("address", c_str(s.address)).s("name", c_str(s.name)).s("icon_type", c_str(s.icon_type))
            .i("audio_type", audio(s.audio_type)).b("connected", s.connected).end_obj();
        t.add({or_dash(s.address), or_dash(s.name), or_dash(s.icon_type), std::to_string(audio(s.audio_type)),
               s.connected ? "yes" : "no"});
    }
    w.end_arr().end_obj();
    print_either(ctx, w, t, "no last speakers");
    return EXIT_OK;
}

int reconnect(Ctx &ctx)
{
    bool wait = !ctx.flag("--no-wait");
    bool ended = false;
    halvo::Subscription following;
    if (wait) {
        auto sub = halvo::on_connecting_status([&](halvo::ConnectingStatus s) {
            ended = s == halvo::ConnectingStatus::Ended;
        });
        if (!sub)
            return fail(ctx, "following the connecting status", sub);
        following = std::move(*sub);
    }
    bool ui = ctx.flag("--ui");
    auto requested = await<void>(ctx, [&](auto done) { return halvo::async::connect_last_speakers(ui, done); });
    if (!requested)
        return fail(ctx, "reconnecting the last speakers", requested);
    if (!wait) {
        confirm(ctx, "reconnection requested", tools::JsonWriter().obj().b("requested", true).end_obj());
        return EXIT_OK;
    }
    Progress progress(ctx, "reconnecting the last speakers");
    ended = wait_until(ctx, [&] { return ended; }, ctx.timeout_ms);
    progress.done();
    following.reset();
    if (!ended)
        return fail_timeout(ctx, "the service reported no end of the reconnection within " +
                                  std::to_string(ctx.timeout_ms / 1000) + " s");
    /* The status says only that it ended; the outcome is in the list. */
    auto list = read_last_speakers(ctx);
    if (!list)
        return fail(ctx, "reading the last speakers", list);
    size_t connected = 0;
    for (const auto &s : *list)
        connected += s.connected;
    if (connected == 0)
        return fail_text(ctx, "the reconnection failed: none of the " + std::to_string(list->size()) +
                                  " last speakers is connected");
    if (!ctx.json && !ctx.quiet)
        printf("reconnection ended: %zu of %zu last speakers connected\n", connected, list->size());
    return last_speakers(ctx);
}

int disconnect_last(Ctx &ctx)
{
    auto done = await<void>(ctx, [](auto fn) { return halvo::async::disconnect_last_speakers(fn); });
    if (!done)
        return fail(ctx, "disconnecting the last speakers", done);
    confirm(ctx, "last speakers disconnected", tools::JsonWriter().obj().b("disconnected", true).end_obj());
    return EXIT_OK;
}

/* The service's answers do not tell an unknown speaker from a refusal:
 * one that is neither connected nor among the last speakers is not found. */
template <class T>
int speaker_failed(const Ctx &ctx, const std::string &what, const std::string &address,
                   const halvo::Result<T> &failed)
{
    auto connected =
        await<std::vector<halvo::Speaker>>(ctx, [](auto done) { return halvo::async::connected_speakers(done); });
    auto last = read_last_speakers(ctx);
    bool known = false;
    for (const auto &s : connected.value_or(std::vector<halvo::Speaker>{}))
        known |= s.address == address;
    for (const auto &s : last.value_or(std::vector<halvo::LastSpeaker>{}))
        known |= s.address == address;
    if (connected && last && !known)
        return not_found(ctx, "no speaker " + address + " (neither connected nor among the last speakers)");
    return fail(ctx, what, failed);
}

int show_volume(Ctx &ctx, const std::string &address)
{
    auto volume = await<int>(ctx, [&](auto done) { return halvo::async::volume(address, done); });
    if (!volume)
        return speaker_failed(ctx, "reading the volume of " + address, address, volume);
    auto controllable =
        await<bool>(ctx, [&](auto done) { return halvo::async::volume_controllable(address, done); });
    if (!controllable.ok())
        return speaker_failed(ctx, "reading whether " + address + " is controllable", address, controllable);
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().s("address", address).i("volume", *volume).b("controllable", *controllable).end_obj();
        print_json(w);
    } else {
        printf("%s: volume %d (%s)\n", address.c_str(), *volume, *controllable ? "controllable" : "not controllable");
    }
    return EXIT_OK;
}

/* Every speaker in use, by the service's own step. */
int step_in_use(Ctx &ctx, const std::string &dir)
{
    auto done = await<void>(ctx, [&](auto fn) {
        return dir == "up" ? halvo::async::volume_up(fn) : halvo::async::volume_down(fn);
    });
    if (!done)
        return fail(ctx, "volume " + dir, done);
    confirm(ctx, "volume " + dir, tools::JsonWriter().obj().s("step", dir).end_obj());
    return EXIT_OK;
}

/* One speaker: the service's step has no address, so read and set ADDR's
 * own volume; no other speaker moves. */
int step_one(Ctx &ctx, const std::string &address, const std::string &dir)
{
    int step = 5;
    if (!ctx.value("--step").empty() && (!parse_int(ctx.value("--step"), &step) || step < 1 || step > 100))
        return usage_error(ctx, "--step takes a number from 1 to 100");
    auto volume = await<int>(ctx, [&](auto done) { return halvo::async::volume(address, done); });
    if (!volume)
        return speaker_failed(ctx, "reading the volume of " + address, address, volume);
    int level = std::clamp(*volume + (dir == "up" ? step : -step), 0, 100);
    auto set = await<void>(ctx, [&](auto done) { return halvo::async::set_volume(address, level, done); });
    if (!set)
        return speaker_failed(ctx, "setting the volume of " + address, address, set);
    return show_volume(ctx, address);
}

int volume(Ctx &ctx)
{
    const auto &a = ctx.args;
    if (a.size() == 1 && (a[0] == "up" || a[0] == "down"))
        return step_in_use(ctx, a[0]);
    if (a.size() == 1)
        return show_volume(ctx, a[0]);
    if (a[1] == "up" || a[1] == "down")
        return step_one(ctx, a[0], a[1]);
    int level = 0;
    if (!parse_int(a[1], &level))
        return usage_error(ctx, "expected a volume number, up or down");
    auto set = await<void>(ctx, [&](auto done) { return halvo::async::set_volume(a[0], level, done); });
    if (!set)
        return speaker_failed(ctx, "setting the volume of " + a[0], a[0], set);
    return show_volume(ctx, a[0]);
}

int show_mute(Ctx &ctx, std::optional<bool> want = std::nullopt)
{
    auto muted = await<bool>(ctx, [](auto done) { return halvo::async::muted(done); });
    if (!muted.ok())
        return fail(ctx, "reading the mute state", muted);
    if (want && *muted != *want)
        return fail_text(ctx, std::string("the mute state did not become ") + (*want ? "on" : "off"));
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().b("muted", *muted).end_obj();
        print_json(w);
    } else {
        printf("%s\n", *muted ? "muted" : "not muted");
    }
    return EXIT_OK;
}

int mute(Ctx &ctx)
{
    std::string verb = ctx.args.empty() ? "toggle" : ctx.args[0];
    if (verb == "status")
        return show_mute(ctx);
    if (verb == "toggle") {
        auto toggled = await<void>(ctx, [](auto done) { return halvo::async::toggle_mute(done); });
        if (!toggled)
            return fail(ctx, "toggling mute", toggled);
        return show_mute(ctx);
    }
    if (verb != "on" && verb != "off")
        return usage_error(ctx, "expected on, off, toggle or status");
    /* The library toggles only when the state differs; the service stores
     * the new state before it answers, so the read after it checks it. */
    bool want = verb == "on";
    auto set = await<void>(ctx, [&](auto done) { return halvo::async::set_mute(want, done); });
    if (!set)
        return fail(ctx, "setting mute " + verb, set);
    return show_mute(ctx, want);
}

int icon(Ctx &ctx)
{
    /* The library's own table is at hand: only the service is waited for. */
    const std::string &code = ctx.args[0];
    auto path = ctx.flag("--local")
                    ? halvo::library_icon_path(code)
                    : await<std::string>(ctx, [&](auto done) { return halvo::async::speaker_icon_path(code, done); });
    if (!path)
        return fail(ctx, "finding the icon of " + ctx.args[0], path);
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().s("icon_type", ctx.args[0]).s("path", *path).end_obj();
        print_json(w);
    } else {
        printf("%s\n", or_dash(path->c_str()).c_str());
    }
    return EXIT_OK;
}

int replace(Ctx &ctx)
{
    auto done = await<void>(ctx, [&](auto fn) { return halvo::async::replace_current_speaker(ctx.args[0], fn); });
    if (!done)
        return fail(ctx, "replacing the current speaker by " + ctx.args[0], done);
    confirm(ctx, ctx.args[0] + " is now the current speaker",
            tools::JsonWriter().obj().s("current_speaker", ctx.args[0]).end_obj());
    return EXIT_OK;
}

} // namespace

const Command speaker_commands[] = {
    {"speakers", "", "List the connected speakers with volume and controllability",
     "Reads the connected speakers from the store, then asks the service for each\n"
     "one's volume and whether it can be controlled (\"?\" when it did not say:\n"
     "a partial answer, exit status 1 unless --partial-ok).  Warns when the\n"
     "service is not on the bus, since the stored list may be stale.\n"
     "AUDIO is the record's zero-based audio type (-2: none stored).\n"
     "--count prints only how many speakers the service counts as connected.",
     "count", 0, 0, speakers},
    {"speaker-info", "VSID ADDR NAME ICON AUDIO_TYPE | JSON", "Send a speaker's information to the service",
     "With five arguments the library builds the document; with one, the text is\n"
     "sent as it is.  AUDIO_TYPE is zero-based, as the records hold it.",
     "", 1, 5, speaker_info},
    {"last-speakers", "", "List the last-used speakers and which are connected now",
     "CONNECTED is yes only when the stored entry says connected and the speaker's\n"
     "address is among the connected addresses the service published.  Warns\n"
     "when the service is not on the bus, since the stored list may be stale.",
     "", 0, 0, last_speakers},
    {"reconnect", "", "Reconnect the last speakers and follow it to the end",
     "Asks the service to connect the last speakers again and follows the\n"
     "connecting status until the service reports the end (--timeout), then\n"
     "shows the last speakers; exit status 1 when none of them is connected.\n"
     "--ui asks the service to show its connecting UI; --no-wait returns as\n"
     "soon as the service accepted the request.",
     "ui,no-wait", 0, 0, reconnect},
    {"disconnect-last", "", "Disconnect the last speakers", "", "", 0, 0, disconnect_last},
    {"volume", "ADDR [N|up|down] | up | down", "Read or set a speaker's volume",
     "  volume ADDR          the volume and whether it can be controlled\n"
     "  volume ADDR N        set it to N, then read it back\n"
     "  volume ADDR up|down  step ADDR alone by --step=N (default 5), from its\n"
     "                       own volume; other speakers keep theirs\n"
     "  volume up|down       step every speaker in use, by the service's step",
     "step=", 1, 2, volume},
    {"mute", "[on|off|toggle|status]", "Mute, unmute or toggle the speakers, or show the mute state",
     "Without an argument: toggle.  The mute state is the stored flag that the\n"
     "service keeps; on and off leave it alone when it already is so.",
     "", 0, 1, mute},
    {"icon", "CODE", "The icon file of a speaker icon-type code",
     "Asks the service; when it does not answer, the library's own table\n"
     "answers.  --local asks only the library's table.",
     "local", 1, 1, icon},
    {"replace", "ADDR", "Make ADDR the speaker in use instead of the current one", "", "", 1, 1, replace},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

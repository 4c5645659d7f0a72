/* commands-speakers.cpp - connected and last speakers, reconnection,
 * volume, mute, icons and replacement. */
#include "halvoctl.h"

#include <algorithm>
#include <cstdio>

namespace ctl {

namespace {

/* AUDIO: the zero-based audio type, -2 when none is stored. */
int audio(const std::optional<int> &t) { return t.value_or(-2); }

/* For commands that read only the store: its documents outlive the
 * service that wrote them. */
void warn_if_stale(const Ctx &ctx)
{
    if (!name_has_owner(SERVICE_NAME))
        fprintf(stderr, "halvoctl %s: warning: the service is not on the bus (nobody owns " SERVICE_NAME
                        "); the stored data may be stale\n", ctx.command.c_str());
}

int speakers(Ctx &ctx)
{
    if (ctx.flag("--count")) {
        auto count = halvo::connected_speaker_count();
        if (!count)
            return fail_service(ctx, "counting the connected speakers", count);
        if (ctx.json) {
            tools::JsonWriter w;
            w.obj().i("connected", *count).end_obj();
            print_json(w);
        } else {
            printf("%d\n", *count);
        }
        return EXIT_OK;
    }
    auto list = halvo::connected_speakers();
    if (!list)
        return fail(ctx, "reading the connected speakers", list);
    warn_if_stale(ctx);
    std::vector<std::string> missing; /* what the service did not tell */
    tools::JsonWriter w;
    Table t({"ADDRESS", "NAME", "ICON", "AUDIO", "VOLUME", "CONTROLLABLE", "VSID"});
    w.obj().arr("speakers");
    for (const auto &s : *list) {
        /* Volume and controllability come from the service, per speaker. */
        halvo::Failure unknown(HALVO_ERROR_INVALID_PARAMETER); /* no address to ask about */
        auto volume = s.address ? halvo::volume(*s.address) : unknown;
        auto controllable = s.address ? halvo::volume_controllable(*s.address) : unknown;
        if (!volume)
            missing.push_back("the volume of " + or_dash(s.address));
        if (!controllable)
            missing.push_back("whether " + or_dash(s.address) + " is controllable");
        if (ctx.json) {
            w.obj().s("address", c_str(s.address)).s("name", c_str(s.name)).s("icon_type", c_str(s.icon_type))
                .i("audio_type", audio(s.audio_type)).json("vsid", c_str(s.vsid));
            if (volume)
                w.i("volume", *volume);
            else
                w.null("volume");
            if (controllable)
                w.b("controllable", *controllable);
            else
                w.null("controllable");
            w.end_obj();
        } else {
            t.add({or_dash(s.address), or_dash(s.name), or_dash(s.icon_type), std::to_string(audio(s.audio_type)),
                   volume ? std::to_string(*volume) : "?", controllable ? (*controllable ? "yes" : "no") : "?",
                   or_dash(s.vsid)});
        }
    }
    w.end_arr().b("partial", !missing.empty()).end_obj();
    print_either(ctx, w, t, "no speaker connected");
    return partial(ctx, missing);
}

int speaker_info(Ctx &ctx)
{
    halvo::Result<void> sent;
    if (ctx.args.size() == 1) {
        sent = halvo::set_connected_speaker_info_json(ctx.args[0]);
    } else if (ctx.args.size() == 5) {
        int audio_type = 0;
        if (!parse_int(ctx.args[4], &audio_type) || audio_type < 0)
            return usage_error(ctx, "AUDIO_TYPE is a number from 0");
        sent = halvo::set_connected_speaker_info(ctx.args[0], {ctx.args[1], ctx.args[2], ctx.args[3], audio_type});
    } else {
        return usage_error(ctx, "expected VSID ADDR NAME ICON AUDIO_TYPE, or one JSON text");
    }
    if (!sent)
        return fail_service(ctx, "sending the speaker information", sent);
    confirm(ctx, "speaker information sent", tools::JsonWriter().obj().b("sent", true).end_obj());
    return EXIT_OK;
}

int last_speakers(Ctx &ctx)
{
    auto list = halvo::last_speakers();
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
    auto requested = halvo::connect_last_speakers(ctx.flag("--ui"));
    if (!requested) {
        following.reset(); /* before the failure quotes the library's lines */
        return fail_service(ctx, "reconnecting the last speakers", requested);
    }
    if (!wait) {
        confirm(ctx, "reconnection requested", tools::JsonWriter().obj().b("requested", true).end_obj());
        return EXIT_OK;
    }
    Progress progress(ctx, "reconnecting the last speakers");
    ended = wait_until([&] { return ended; }, ctx.timeout_ms);
    progress.done();
    following.reset();
    if (!ended)
        return fail_timeout(ctx, "the service reported no end of the reconnection within " +
                                  std::to_string(ctx.timeout_ms / 1000) + " s");
    /* The status says only that it ended; the outcome is in the list. */
    auto list = halvo::last_speakers();
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
    auto done = halvo::disconnect_last_speakers();
    if (!done)
        return fail_service(ctx, "disconnecting the last speakers", done);
    confirm(ctx, "last speakers disconnected", tools::JsonWriter().obj().b("disconnected", true).end_obj());
    return EXIT_OK;
}

/* The service's answers do not tell an unknown speaker from a refusal:
 * one that is neither connected nor among the last speakers is not found. */
int speaker_failed(const Ctx &ctx, const std::string &what, const std::string &address, int code)
{
    auto connected = halvo::connected_speakers();
    auto last = halvo::last_speakers();
    bool known = false;
    for (const auto &s : connected.value_or(std::vector<halvo::Speaker>{}))
        known |= s.address == address;
    for (const auto &s : last.value_or(std::vector<halvo::LastSpeaker>{}))
        known |= s.address == address;
    if (connected && last && !known)
        return not_found(ctx, "no speaker " + address + " (neither connected nor among the last speakers)");
    return fail_service(ctx, what, code);
}

int show_volume(Ctx &ctx, const std::string &address)
{
    auto volume = halvo::volume(address);
    if (!volume)
        return speaker_failed(ctx, "reading the volume of " + address, address, volume.code());
    auto controllable = halvo::volume_controllable(address);
    if (!controllable)
        return speaker_failed(ctx, "reading whether " + address + " is controllable", address, controllable.code());
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
    auto done = dir == "up" ? halvo::volume_up() : halvo::volume_down();
    if (!done)
        return fail_service(ctx, "volume " + dir, done);
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
    auto volume = halvo::volume(address);
    if (!volume)
        return speaker_failed(ctx, "reading the volume of " + address, address, volume.code());
    int level = std::clamp(*volume + (dir == "up" ? step : -step), 0, 100);
    auto set = halvo::set_volume(address, level);
    if (!set)
        return speaker_failed(ctx, "setting the volume of " + address, address, set.code());
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
    auto set = halvo::set_volume(a[0], level);
    if (!set)
        return speaker_failed(ctx, "setting the volume of " + a[0], a[0], set.code());
    return show_volume(ctx, a[0]);
}

int show_mute(Ctx &ctx)
{
    auto muted = halvo::muted();
    if (!muted)
        return fail(ctx, "reading the mute state", muted);
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
    if (verb != "toggle" && verb != "on" && verb != "off")
        return usage_error(ctx, "expected on, off, toggle or status");
    /* The service only toggles: on and off toggle when the state differs,
     * then check that it took. */
    std::optional<bool> want;
    if (verb != "toggle") {
        auto muted = halvo::muted();
        if (!muted)
            return fail(ctx, "reading the mute state", muted);
        want = verb == "on";
        if (*muted == *want)
            return show_mute(ctx);
    }
    auto toggled = halvo::toggle_mute();
    if (!toggled)
        return fail_service(ctx, "toggling mute", toggled);
    if (want && !wait_until([&] { return halvo::muted().value_or(!*want) == *want; }, ctx.timeout_ms))
        return fail_text(ctx, "the mute state did not become " + verb);
    return show_mute(ctx);
}

int icon(Ctx &ctx)
{
    auto path = ctx.flag("--local") ? halvo::library_icon_path(ctx.args[0]) : halvo::speaker_icon_path(ctx.args[0]);
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
    auto done = halvo::replace_current_speaker(ctx.args[0]);
    if (!done)
        return fail_service(ctx, "replacing the current speaker by " + ctx.args[0], done);
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

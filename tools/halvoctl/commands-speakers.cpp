/* commands-speakers.cpp - connected and last speakers, reconnection,
 * volume, mute, icons and replacement. */
#include "halvoctl.h"

#include <cstdio>
#include <cstdlib>

namespace ctl {

namespace {

/* Records hold the stored one-based audio type minus one; -2 = absent. */
int audio(bt_spk_audio_type_e t) { return int(t); }

int speakers(Ctx &ctx)
{
    if (ctx.flag("--count")) {
        int count = 0;
        int rc = halvo_api_get_num_of_connected_spaker(&count);
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, "counting the connected speakers", rc);
        if (ctx.json) {
            tools::JsonWriter w;
            w.obj().i("connected", count).end_obj();
            print_json(w);
        } else {
            printf("%d\n", count);
        }
        return EXIT_OK;
    }
    GSList *list = nullptr;
    int rc = halvo_get_connected_bt_speaker_infos(&list);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, "reading the connected speakers", rc);
    tools::JsonWriter w;
    Table t({"ADDRESS", "NAME", "ICON", "AUDIO", "VOLUME", "CONTROLLABLE", "VSID"});
    w.arr();
    for (GSList *l = list; l; l = l->next) {
        auto *s = static_cast<speaker_t *>(l->data);
        if (!s)
            continue;
        /* Volume and controllability come from the service, per speaker. */
        int volume = -1;
        bool controllable = false;
        bool have_volume = s->address && halvo_api_get_volume(s->address, &volume) == HALVO_ERROR_NONE;
        bool have_ctrl = s->address && halvo_api_get_volume_controlable(s->address, &controllable) == HALVO_ERROR_NONE;
        if (ctx.json) {
            w.obj().s("address", s->address).s("name", s->name).s("icon_type", s->icon_type)
                .i("audio_type", audio(s->audio_type)).s("vsid", s->vsid);
            if (have_volume)
                w.i("volume", volume);
            else
                w.null("volume");
            if (have_ctrl)
                w.b("controllable", controllable);
            else
                w.null("controllable");
            w.end_obj();
        } else {
            t.add({or_dash(s->address), or_dash(s->name), or_dash(s->icon_type), std::to_string(audio(s->audio_type)),
                   have_volume ? std::to_string(volume) : "-", have_ctrl ? (controllable ? "yes" : "no") : "-",
                   or_dash(s->vsid)});
        }
    }
    w.end_arr();
    if (list)
        halvo_free_connected_bt_spaekr_infos(&list);
    if (ctx.json) {
        print_json(w);
        return EXIT_OK;
    }
    if (t.empty())
        printf("no speaker connected\n");
    else
        t.print();
    return EXIT_OK;
}

int speaker_info(Ctx &ctx)
{
    int rc;
    if (ctx.args.size() == 1) {
        rc = halvo_set_connected_bt_speaker_info_with_serialization(ctx.args[0].c_str());
    } else if (ctx.args.size() == 5) {
        int audio_type = 0;
        if (!parse_int(ctx.args[4], &audio_type) || audio_type < 0)
            return usage_error(ctx, "AUDIO_TYPE is a number from 0");
        bt_spk_info_t info;
        info.address = const_cast<char *>(ctx.args[1].c_str());
        info.name = const_cast<char *>(ctx.args[2].c_str());
        info.icon_type = const_cast<char *>(ctx.args[3].c_str());
        info.audio_type = bt_spk_audio_type_e(audio_type);
        rc = halvo_set_connected_bt_speaker_info(ctx.args[0].c_str(), &info);
    } else {
        return usage_error(ctx, "expected VSID ADDR NAME ICON AUDIO_TYPE, or one JSON text");
    }
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, "sending the speaker information", rc);
    if (!ctx.json)
        printf("speaker information sent\n");
    return EXIT_OK;
}

int last_speakers(Ctx &ctx)
{
    GSList *list = nullptr;
    int rc = halvo_get_last_bluetooth_speakers(&list);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, "reading the last speakers", rc);
    if (ctx.json) {
        tools::JsonWriter w;
        w.arr();
        for (GSList *l = list; l; l = l->next) {
            auto *s = static_cast<last_spk_info_t *>(l->data);
            w.obj().s("address", s->address).s("name", s->name).s("icon_type", s->icon_type)
                .i("audio_type", audio(s->audio_type)).b("connected", s->connected).end_obj();
        }
        w.end_arr();
        print_json(w);
    } else {
        Table t({"ADDRESS", "NAME", "ICON", "AUDIO", "CONNECTED"});
        for (GSList *l = list; l; l = l->next) {
            auto *s = static_cast<last_spk_info_t *>(l->data);
            t.add({or_dash(s->address), or_dash(s->name), or_dash(s->icon_type), std::to_string(audio(s->audio_type)),
                   s->connected ? "yes" : "no"});
        }
        if (t.empty())
            printf("no last speakers\n");
        else
            t.print();
    }
    if (list)
        halvo_free_last_bluetooth_speakers(&list);
    return EXIT_OK;
}

/* The last status the service reported: 0 none yet, 1 in progress, 2 ended. */
int connecting_status = 0;

void on_connecting(int status, void *)
{
    connecting_status = status;
}

int reconnect(Ctx &ctx)
{
    bool wait = !ctx.flag("--no-wait");
    if (wait) {
        int rc = halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(on_connecting, nullptr);
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, "following the connecting status", rc);
    }
    int rc = halvo_connect_to_last_bluetooth_speakers(ctx.flag("--ui"));
    if (rc != HALVO_ERROR_NONE) {
        if (wait)
            halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb();
        return fail(ctx, "reconnecting the last speakers", rc);
    }
    if (!wait) {
        if (!ctx.json)
            printf("reconnection requested\n");
        return EXIT_OK;
    }
    Progress progress(ctx, "reconnecting the last speakers");
    bool ended = wait_until([] { return connecting_status == 2; }, ctx.timeout_ms);
    progress.done();
    halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb();
    if (!ended)
        return fail_text(ctx, "the service reported no end of the reconnection within " +
                                  std::to_string(ctx.timeout_ms / 1000) + " s");
    if (!ctx.json)
        printf("reconnection ended\n");
    /* The outcome is in the list: which of the last speakers are connected now. */
    return last_speakers(ctx);
}

int disconnect_last(Ctx &ctx)
{
    int rc = halvo_disconnect_to_last_bluetooth_speakers();
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, "disconnecting the last speakers", rc);
    if (!ctx.json)
        printf("last speakers disconnected\n");
    return EXIT_OK;
}

int show_volume(Ctx &ctx, const std::string &address)
{
    int volume = 0;
    bool controllable = false;
    int rc = halvo_api_get_volume(address.c_str(), &volume);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, ("reading the volume of " + address).c_str(), rc);
    rc = halvo_api_get_volume_controlable(address.c_str(), &controllable);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, ("reading whether " + address + " is controllable").c_str(), rc);
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().s("address", address).i("volume", volume).b("controllable", controllable).end_obj();
        print_json(w);
    } else {
        printf("%s: volume %d (%s)\n", address.c_str(), volume, controllable ? "controllable" : "not controllable");
    }
    return EXIT_OK;
}

int step(Ctx &ctx, const std::string &dir)
{
    int rc = dir == "up" ? halvo_api_volume_up() : halvo_api_volume_down();
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, ("volume " + dir).c_str(), rc);
    return EXIT_OK;
}

int volume(Ctx &ctx)
{
    const auto &a = ctx.args;
    if (a.size() == 1 && (a[0] == "up" || a[0] == "down")) {
        int rc = step(ctx, a[0]);
        if (rc == EXIT_OK && !ctx.json)
            printf("volume %s\n", a[0].c_str());
        return rc;
    }
    if (a.size() == 1)
        return show_volume(ctx, a[0]);
    if (a[1] == "up" || a[1] == "down") {
        int rc = step(ctx, a[1]);
        return rc == EXIT_OK ? show_volume(ctx, a[0]) : rc;
    }
    int level = 0;
    if (!parse_int(a[1], &level))
        return usage_error(ctx, "expected a volume number, up or down");
    int rc = halvo_api_set_volume(a[0].c_str(), level);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, ("setting the volume of " + a[0]).c_str(), rc);
    return show_volume(ctx, a[0]);
}

int show_mute(Ctx &ctx)
{
    bool muted = false;
    int rc = halvo_api_get_mute_state(&muted);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, "reading the mute state", rc);
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().b("muted", muted).end_obj();
        print_json(w);
    } else {
        printf("%s\n", muted ? "muted" : "not muted");
    }
    return EXIT_OK;
}

int mute(Ctx &ctx)
{
    if (!ctx.args.empty() && ctx.args[0] != "status")
        return usage_error(ctx, "expected nothing (toggle) or status");
    if (ctx.args.empty()) {
        int rc = halvo_api_mute_unmute();
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, "toggling mute", rc);
    }
    return show_mute(ctx);
}

int icon(Ctx &ctx)
{
    char *path = nullptr;
    int rc = ctx.flag("--local") ? halvo_api_get_common_icon_path_internal(ctx.args[0].c_str(), &path)
                                 : halvo_api_get_last_bluetooth_speaker_icon_path(ctx.args[0].c_str(), &path);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, ("finding the icon of " + ctx.args[0]).c_str(), rc);
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().s("icon_type", ctx.args[0]).s("path", path).end_obj();
        print_json(w);
    } else {
        printf("%s\n", or_dash(path).c_str());
    }
    free(path);
    return EXIT_OK;
}

int replace(Ctx &ctx)
{
    int rc = halvo_api_replace_current_speaker(ctx.args[0].c_str());
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, ("replacing the current speaker by " + ctx.args[0]).c_str(), rc);
    if (!ctx.json)
        printf("%s is now the current speaker\n", ctx.args[0].c_str());
    return EXIT_OK;
}

} // namespace

const Command speaker_commands[] = {
    {"speakers", "", "List the connected speakers with volume and controllability",
     "Reads the connected speakers from the store, then asks the service for each\n"
     "one's volume and whether it can be controlled (\"-\" when it did not say).\n"
     "AUDIO is the record's zero-based audio type (-2: none stored).\n"
     "--count prints only how many speakers the service counts as connected.",
     "count", 0, 0, speakers},
    {"speaker-info", "VSID ADDR NAME ICON AUDIO_TYPE | JSON", "Send a speaker's information to the service",
     "With five arguments the library builds the document; with one, the text is\n"
     "sent as it is.  AUDIO_TYPE is zero-based, as the records hold it.",
     "", 1, 5, speaker_info},
    {"last-speakers", "", "List the last-used speakers and which are connected now",
     "CONNECTED is yes only when the stored entry says connected and the speaker's\n"
     "address is among the connected addresses the service published.",
     "", 0, 0, last_speakers},
    {"reconnect", "", "Reconnect the last speakers and follow it to the end",
     "Asks the service to connect the last speakers again and follows the\n"
     "connecting status until the service reports the end (--timeout), then\n"
     "shows the last speakers.  --ui asks the service to show its connecting UI;\n"
     "--no-wait returns as soon as the service accepted the request.",
     "ui,no-wait", 0, 0, reconnect},
    {"disconnect-last", "", "Disconnect the last speakers", "", "", 0, 0, disconnect_last},
    {"volume", "ADDR [N|up|down] | up | down", "Read or set a speaker's volume",
     "  volume ADDR          the volume and whether it can be controlled\n"
     "  volume ADDR N        set it to N, then read it back\n"
     "  volume ADDR up|down  step the speakers in use, then read ADDR back\n"
     "  volume up|down       step the speakers in use",
     "", 1, 2, volume},
    {"mute", "[status]", "Toggle mute, or only show the mute state",
     "The mute state is the stored flag that the service keeps.", "", 0, 1, mute},
    {"icon", "CODE", "The icon file of a speaker icon-type code",
     "Asks the service; when it does not answer, the library's own table\n"
     "answers.  --local asks only the library's table.",
     "local", 1, 1, icon},
    {"replace", "ADDR", "Make ADDR the speaker in use instead of the current one", "", "", 1, 1, replace},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

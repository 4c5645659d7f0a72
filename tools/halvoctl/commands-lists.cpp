/* commands-lists.cpp - the stored device lists (info-sync, blocked) and
 * wireless earphone switching. */
#include "halvoctl.h"

#include <cstdio>

namespace ctl {

namespace {

int info_sync(Ctx &ctx)
{
    const std::string &verb = ctx.args[0];
    if (verb == "list" && ctx.args.size() == 1) {
        GSList *list = nullptr;
        int rc = halvo_get_info_sync_devices(&list);
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, "reading the info-sync devices", rc);
        tools::JsonWriter w;
        Table t({"ADDRESS", "NAME"});
        w.arr();
        for (GSList *l = list; l; l = l->next) {
            auto *d = static_cast<info_sync_device_t *>(l->data);
            w.obj().s("address", d->address).s("name", d->name).end_obj();
            t.add({or_dash(d->address), or_dash(d->name)});
        }
        w.end_arr();
        if (list)
            halvo_free_info_sync_devices(&list);
        if (ctx.json)
            print_json(w);
        else if (t.empty())
            printf("no info-sync devices\n");
        else
            t.print();
        return EXIT_OK;
    }
    if (verb == "remove" && ctx.args.size() == 2) {
        int rc = halvo_remove_info_sync_device(ctx.args[1].c_str());
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, ("removing " + ctx.args[1]).c_str(), rc);
        if (!ctx.json)
            printf("%s marked as deleted on the television\n", ctx.args[1].c_str());
        return EXIT_OK;
    }
    return usage_error(ctx, "expected list or remove KEY");
}

struct Blocked {
    std::string address, name;
};

bool collect_blocked(const char *address, char *name, void *user_data)
{
    static_cast<std::vector<Blocked> *>(user_data)->push_back({address ? address : "", name ? name : ""});
    return true;
}

int blocked(Ctx &ctx)
{
    const std::string &verb = ctx.args[0];
    if (verb == "list" && ctx.args.size() == 1) {
        std::vector<Blocked> found;
        int rc = halvo_foreach_blocked_devices(collect_blocked, &found);
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, "reading the blocked devices", rc);
        if (ctx.json) {
            tools::JsonWriter w;
            w.arr();
            for (const auto &b : found)
                w.obj().s("address", b.address).s("name", b.name).end_obj();
            w.end_arr();
            print_json(w);
        } else if (found.empty()) {
            printf("no blocked devices\n");
        } else {
            Table t({"ADDRESS", "NAME"});
            for (const auto &b : found)
                t.add({b.address, or_dash(b.name.c_str())});
            t.print();
        }
        return EXIT_OK;
    }
    if ((verb == "remove" || verb == "unblock") && ctx.args.size() == 2) {
        int rc = halvo_remove_pairing_blocked_devices(ctx.args[1].c_str());
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, ("unblocking " + ctx.args[1]).c_str(), rc);
        if (!ctx.json)
            printf("%s may pair again\n", ctx.args[1].c_str());
        return EXIT_OK;
    }
    return usage_error(ctx, "expected list or remove ADDR");
}

struct EarphoneState {
    std::string address;
    bool seen = false;
    int result = 0, connected = 0;
};
EarphoneState earphone_state;

void on_earphone(int result, const char *address, int connected, void *)
{
    if (address && earphone_state.address == address) {
        earphone_state.seen = true;
        earphone_state.result = result;
        earphone_state.connected = connected;
    }
}

int earphones(Ctx &ctx)
{
    const std::string &verb = ctx.args[0];
    if ((verb != "connect" && verb != "disconnect") || ctx.args.size() != 2)
        return usage_error(ctx, "expected connect ADDR or disconnect ADDR");
    const std::string &address = ctx.args[1];
    bool wait = !ctx.flag("--no-wait");
    earphone_state.address = address;
    if (wait) {
        int rc = halvo_tuvo_switching_set_connection_state_cb(on_earphone, nullptr);
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, "following the earphone state", rc);
    }
    int rc = verb == "connect" ? halvo_tuvo_switching_connect(address.c_str())
                               : halvo_tuvo_switching_disconnect(address.c_str());
    if (rc != HALVO_ERROR_NONE) {
        if (wait)
            halvo_tuvo_switching_unset_connection_state_cb();
        return fail(ctx, (verb + " " + address).c_str(), rc);
    }
    if (!wait) {
        if (!ctx.json)
            printf("%s requested for %s\n", verb.c_str(), address.c_str());
        return EXIT_OK;
    }
    Progress progress(ctx, "switching " + address);
    bool seen = wait_until([] { return earphone_state.seen; }, ctx.timeout_ms);
    progress.done();
    halvo_tuvo_switching_unset_connection_state_cb();
    if (!seen)
        return fail_text(ctx, "the service reported no new state of " + address + " within " +
                                  std::to_string(ctx.timeout_ms / 1000) + " s");
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().s("address", address).i("result", earphone_state.result)
            .b("connected", earphone_state.connected != 0).end_obj();
        print_json(w);
    } else {
        printf("%s: %s (result %d)\n", address.c_str(), earphone_state.connected ? "connected" : "disconnected",
               earphone_state.result);
    }
    if (earphone_state.result != 0)
        return fail(ctx, (verb + " " + address).c_str(), earphone_state.result);
    return EXIT_OK;
}

} // namespace

const Command list_commands[] = {
    {"info-sync", "list | remove KEY", "The devices whose information is synchronised",
     "  list         the synchronised devices not deleted on the television\n"
     "  remove KEY   mark the device stored under KEY as deleted on the television",
     "", 1, 2, info_sync},
    {"blocked", "list | remove ADDR", "The devices whose pairing is blocked",
     "  list          the devices whose pairing requests are blocked\n"
     "  remove ADDR   take ADDR off the list so that it may pair again (also: unblock)",
     "", 1, 2, blocked},
    {"earphones", "connect ADDR | disconnect ADDR", "Switch wireless earphones to or away from the television",
     "Asks the service to switch, then waits for the connection state it reports\n"
     "for ADDR (--timeout).  --no-wait returns once the service accepted.",
     "no-wait", 2, 2, earphones},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

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
        auto list = halvo::info_sync_devices();
        if (!list)
            return fail(ctx, "reading the info-sync devices", list);
        print_named(ctx, *list, "no info-sync devices");
        return EXIT_OK;
    }
    if (verb == "remove" && ctx.args.size() == 2) {
        auto done = halvo::remove_info_sync_device(ctx.args[1]);
        if (!done)
            return fail(ctx, "removing " + ctx.args[1], done);
        if (!ctx.json)
            printf("%s marked as deleted on the television\n", ctx.args[1].c_str());
        return EXIT_OK;
    }
    return usage_error(ctx, "expected list or remove KEY");
}

int blocked(Ctx &ctx)
{
    const std::string &verb = ctx.args[0];
    if (verb == "list" && ctx.args.size() == 1) {
        auto found = halvo::blocked_devices();
        if (!found)
            return fail(ctx, "reading the blocked devices", found);
        if (ctx.json) {
            tools::JsonWriter w;
            w.arr();
            for (const auto &b : *found)
                w.obj().s("address", b.address.value_or("")).s("name", b.name.value_or("")).end_obj();
            w.end_arr();
            print_json(w);
        } else if (found->empty()) {
            printf("no blocked devices\n");
        } else {
            Table t({"ADDRESS", "NAME"});
            for (const auto &b : *found)
                t.add({b.address.value_or(""), or_dash(b.name)});
            t.print();
        }
        return EXIT_OK;
    }
    if ((verb == "remove" || verb == "unblock") && ctx.args.size() == 2) {
        auto done = halvo::unblock_device(ctx.args[1]);
        if (!done)
            return fail(ctx, "unblocking " + ctx.args[1], done);
        if (!ctx.json)
            printf("%s may pair again\n", ctx.args[1].c_str());
        return EXIT_OK;
    }
    return usage_error(ctx, "expected list or remove ADDR");
}

int earphones(Ctx &ctx)
{
    const std::string &verb = ctx.args[0];
    if ((verb != "connect" && verb != "disconnect") || ctx.args.size() != 2)
        return usage_error(ctx, "expected connect ADDR or disconnect ADDR");
    const std::string &address = ctx.args[1];
    bool wait = !ctx.flag("--no-wait");
    std::optional<int> result; /* the service's result in the state it reported */
    bool connected = false;
    halvo::Subscription following;
    if (wait) {
        auto sub = halvo::on_earphones([&](int rc, std::string_view from, bool now) {
            if (from == address) {
                result = rc;
                connected = now;
            }
        });
        if (!sub)
            return fail(ctx, "following the earphone state", sub);
        following = std::move(*sub);
    }
    auto requested = verb == "connect" ? halvo::connect_earphones(address) : halvo::disconnect_earphones(address);
    if (!requested) {
        following.reset(); /* before the failure quotes the library's lines */
        return fail(ctx, verb + " " + address, requested);
    }
    if (!wait) {
        if (!ctx.json)
            printf("%s requested for %s\n", verb.c_str(), address.c_str());
        return EXIT_OK;
    }
    Progress progress(ctx, "switching " + address);
    bool seen = wait_until([&] { return result.has_value(); }, ctx.timeout_ms);
    progress.done();
    following.reset();
    if (!seen)
        return fail_text(ctx, "the service reported no new state of " + address + " within " +
                                  std::to_string(ctx.timeout_ms / 1000) + " s");
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().s("address", address).i("result", *result).b("connected", connected).end_obj();
        print_json(w);
    } else {
        printf("%s: %s (result %d)\n", address.c_str(), connected ? "connected" : "disconnected", *result);
    }
    if (*result != 0)
        return fail(ctx, verb + " " + address, *result);
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

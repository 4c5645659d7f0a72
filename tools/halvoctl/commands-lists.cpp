/* commands-lists.cpp - the stored device lists (info-sync, blocked) and
 * wireless earphone switching. */
#include "halvoctl.h"

#include "store-keys.h"

#include <halvo/subscription.hpp>
#include <valko.h>

#include <cstdio>
#include <cstdlib>
#include <map>

namespace ctl {

namespace {

/* The info-sync document's keys by address, for the devices not deleted
 * on the television: the library's records carry no key, and "remove"
 * takes one. */
std::map<std::string, std::string> info_sync_keys()
{
    std::map<std::string, std::string> keys;
    char *text = valko_get_str(STORE_KEY_INFO_SYNC);
    JsonNode *root = text ? json_from_string(text, nullptr) : nullptr;
    free(text);
    if (root && JSON_NODE_HOLDS_OBJECT(root)) {
        JsonObject *doc = json_node_get_object(root);
        GList *members = json_object_get_members(doc);
        for (GList *m = members; m; m = m->next) {
            const char *key = static_cast<const char *>(m->data);
            JsonNode *n = json_object_get_member(doc, key);
            if (!JSON_NODE_HOLDS_OBJECT(n))
                continue;
            JsonObject *device = json_node_get_object(n);
            if (json_object_get_boolean_member_with_default(device, "deleted_on_tv", FALSE))
                continue;
            const char *address = json_object_get_string_member_with_default(device, "address", nullptr);
            if (address && !keys.count(address))
                keys[address] = key;
        }
        g_list_free(members);
    }
    if (root)
        json_node_unref(root);
    return keys;
}

bool has_key(const std::map<std::string, std::string> &keys, const std::string &key)
{
    for (const auto &e : keys)
        if (e.second == key)
            return true;
    return false;
}

int info_sync_list(Ctx &ctx)
{
    auto list = await<std::vector<halvo::InfoSyncDevice>>(
        ctx, [](auto done) { return halvo::async::info_sync_devices(done); });
    if (!list)
        return fail(ctx, "reading the info-sync devices", list);
    auto keys = info_sync_keys();
    tools::JsonWriter w;
    Table t({"KEY", "ADDRESS", "NAME"});
    w.obj().arr("info_sync");
    for (const auto &d : *list) {
        auto k = d.address ? keys.find(*d.address) : keys.end();
        std::optional<std::string> key;
        if (k != keys.end())
            key = k->second;
        w.obj().s("key", c_str(key)).s("address", c_str(d.address)).s("name", c_str(d.name)).end_obj();
        t.add({or_dash(key), or_dash(d.address), or_dash(d.name)});
    }
    w.end_arr().end_obj();
    print_either(ctx, w, t, "no info-sync devices");
    return EXIT_OK;
}

int info_sync_remove(Ctx &ctx, const std::string &key)
{
    /* The library answers 0 for a key the document lacks: look first. */
    auto keys = info_sync_keys();
    if (!has_key(keys, key)) {
        auto by_address = keys.find(key);
        if (by_address != keys.end())
            return not_found(ctx, "no info-sync key \"" + key + "\"; that address is stored under the key \"" +
                                      by_address->second + "\"");
        return not_found(ctx, "no info-sync device has the key \"" + key + "\" (see info-sync list)");
    }
    auto done = await<void>(ctx, [&](auto fn) { return halvo::async::remove_info_sync_device(key, fn); });
    if (!done)
        return fail(ctx, "removing " + key, done);
    if (has_key(info_sync_keys(), key))
        return fail_text(ctx, "removing " + key + " failed: the device is still listed");
    confirm(ctx, key + " marked as deleted on the television",
            tools::JsonWriter().obj().s("key", key).b("deleted_on_tv", true).end_obj());
    return EXIT_OK;
}

int info_sync(Ctx &ctx)
{
    const std::string &verb = ctx.args[0];
    if (verb == "list" && ctx.args.size() == 1)
        return info_sync_list(ctx);
    if (verb == "remove" && ctx.args.size() == 2)
        return info_sync_remove(ctx, ctx.args[1]);
    return usage_error(ctx, "expected list or remove KEY");
}

halvo::Result<std::vector<halvo::BlockedDevice>> read_blocked(const Ctx &ctx)
{
    return await<std::vector<halvo::BlockedDevice>>(ctx, [](auto done) { return halvo::async::blocked_devices(done); });
}

bool is_blocked(const std::vector<halvo::BlockedDevice> &list, const std::string &address)
{
    for (const auto &b : list)
        if (b.address == address)
            return true;
    return false;
}

int blocked(Ctx &ctx)
{
    const std::string &verb = ctx.args[0];
    if (verb == "list" && ctx.args.size() == 1) {
        auto found = read_blocked(ctx);
        if (!found)
            return fail(ctx, "reading the blocked devices", found);
        tools::JsonWriter w;
        Table t({"ADDRESS", "NAME"});
        w.obj().arr("blocked");
        for (const auto &b : *found) {
            w.obj().s("address", b.address.value_or("")).s("name", b.name.value_or("")).end_obj();
            t.add({b.address.value_or(""), or_dash(b.name)});
        }
        w.end_arr().end_obj();
        print_either(ctx, w, t, "no blocked devices");
        return EXIT_OK;
    }
    if ((verb == "remove" || verb == "unblock") && ctx.args.size() == 2) {
        const std::string &address = ctx.args[1];
        /* The library answers 0 for an address the list lacks: look first,
         * and afterwards that it went. */
        auto before = read_blocked(ctx);
        if (!before)
            return fail(ctx, "reading the blocked devices", before);
        if (!is_blocked(*before, address))
            return not_found(ctx, address + " is not among the blocked devices (addresses are matched exactly, "
                                            "upper case)");
        auto done = await<void>(ctx, [&](auto fn) { return halvo::async::unblock_device(address, fn); });
        if (!done)
            return fail(ctx, "unblocking " + address, done);
        auto after = read_blocked(ctx);
        if (!after)
            return fail(ctx, "reading the blocked devices", after);
        if (is_blocked(*after, address))
            return fail_text(ctx, "unblocking " + address + " failed: it is still blocked");
        confirm(ctx, address + " may pair again",
                tools::JsonWriter().obj().s("address", address).b("blocked", false).end_obj());
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
    auto requested = await<void>(ctx, [&](auto done) {
        return verb == "connect" ? halvo::async::connect_earphones(address, done)
                                 : halvo::async::disconnect_earphones(address, done);
    });
    if (!requested)
        return fail(ctx, verb + " " + address, requested);
    if (!wait) {
        confirm(ctx, verb + " requested for " + address,
                tools::JsonWriter().obj().s("address", address).s("requested", verb).end_obj());
        return EXIT_OK;
    }
    Progress progress(ctx, "switching " + address);
    bool seen = wait_until(ctx, [&] { return result.has_value(); }, ctx.timeout_ms);
    progress.done();
    following.reset();
    if (!seen)
        return fail_timeout(ctx, "the service reported no new state of " + address + " within " +
                                  std::to_string(ctx.timeout_ms / 1000) + " s");
    if (*result != 0)
        return fail_text(ctx, verb + " " + address + " failed: the service answered " + std::to_string(*result));
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().s("address", address).i("result", *result).b("connected", connected).end_obj();
        print_json(w);
    } else {
        printf("%s: %s (result %d)\n", address.c_str(), connected ? "connected" : "disconnected", *result);
    }
    return EXIT_OK;
}

} // namespace

const Command list_commands[] = {
    {"info-sync", "list | remove KEY", "The devices whose information is synchronised",
     "  list         the synchronised devices not deleted on the television,\n"
     "               with the key each is stored under\n"
     "  remove KEY   mark the device stored under KEY as deleted on the television\n"
     "Exit status 10 when no listed device has KEY.",
     "", 1, 2, info_sync},
    {"blocked", "list | remove ADDR", "The devices whose pairing is blocked",
     "  list          the devices whose pairing requests are blocked\n"
     "  remove ADDR   take ADDR off the list so that it may pair again (also: unblock)\n"
     "Exit status 10 when ADDR is not on the list.",
     "", 1, 2, blocked},
    {"earphones", "connect ADDR | disconnect ADDR", "Switch wireless earphones to or away from the television",
     "Asks the service to switch, then waits for the connection state it reports\n"
     "for ADDR (--timeout).  --no-wait returns once the service accepted.",
     "no-wait", 2, 2, earphones},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

/* commands-devices.cpp - paired devices and the use / don't-use policy. */
#include "halvoctl.h"

#include <algorithm>
#include <cstdio>

namespace ctl {

namespace {

void device_json(tools::JsonWriter &w, const halvo::Device &d)
{
    w.obj().s("address", c_str(d.address)).s("name", c_str(d.name)).b("connected", d.connected)
        .b("dont_use", d.dont_use).i("device_type", d.device_type)
        .s("device_type_name", device_type_name(d.device_type)).i("profile", d.profile.value_or(-1))
        .i("vid", d.vid.value_or(-1)).i("pid", d.pid.value_or(-1)).s("service_name", c_str(d.service_name))
        .s("provider_name", c_str(d.provider_name)).end_obj();
}

std::string yes_no(bool v) { return v ? "yes" : "no"; }

const char *status_name(int status)
{
    return status == 1 ? "dont-use" : status == 0 ? "use" : "service-own";
}

/* Vendor and product identifiers; -1 when absent. */
std::string id(const std::optional<int> &v)
{
    char buf[16];
    int n = v.value_or(-1);
    snprintf(buf, sizeof buf, n < 0 ? "%d" : "0x%04x", n);
    return buf;
}

int devices(Ctx &ctx)
{
    auto list = await<std::vector<halvo::Device>>(ctx, [](auto done) { return halvo::async::paired_devices(done); });
    if (!list)
        return fail(ctx, "listing the paired devices", list);
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().arr("devices");
        for (const auto &d : *list)
            device_json(w, d);
        w.end_arr().end_obj();
        print_json(w);
        return EXIT_OK;
    }
    Table t({"ADDRESS", "NAME", "TYPE", "CONNECTED", "DONT-USE", "PROFILE", "VID", "PID", "SERVICE"});
    for (const auto &d : *list)
        t.add({or_dash(d.address), or_dash(d.name), device_type_name(d.device_type), yes_no(d.connected),
               yes_no(d.dont_use), std::to_string(d.profile.value_or(-1)), id(d.vid), id(d.pid),
               or_dash(d.service_name)});
    if (t.empty())
        printf("no paired devices\n");
    else
        t.print();
    return EXIT_OK;
}

int device(Ctx &ctx)
{
    auto d = await<halvo::Device>(ctx, [&](auto done) { return halvo::async::paired_device(ctx.args[0], done); });
    if (!d) {
        /* An unknown address fails like any other failure: look it up. */
        auto all =
            await<std::vector<halvo::Device>>(ctx, [](auto done) { return halvo::async::paired_devices(done); });
        auto same = [&](const halvo::Device &p) { return p.address == ctx.args[0]; };
        if (all && std::none_of(all->begin(), all->end(), same))
            return not_found(ctx, "no paired device " + ctx.args[0]);
        return fail(ctx, "reading device " + ctx.args[0], d);
    }
    if (ctx.json) {
        tools::JsonWriter w;
        device_json(w, *d);
        print_json(w);
        return EXIT_OK;
    }
    printf("Device %s\n", or_dash(d->address).c_str());
    printf("  Name:      %s\n", or_dash(d->name).c_str());
    printf("  Type:      %s (%d)\n", device_type_name(d->device_type), d->device_type);
    printf("  Connected: %s\n", yes_no(d->connected).c_str());
    printf("  Don't use: %s\n", yes_no(d->dont_use).c_str());
    printf("  Profile:   %d\n", d->profile.value_or(-1));
    printf("  Vendor:    %s (%s)\n", id(d->vid).c_str(), or_dash(d->provider_name).c_str());
    printf("  Product:   %s\n", id(d->pid).c_str());
    printf("  Service:   %s\n", or_dash(d->service_name).c_str());
    return EXIT_OK;
}

int dont_use(Ctx &ctx)
{
    const std::string &verb = ctx.args[0];
    size_t n = ctx.args.size();
    if (verb == "list" && n == 1) {
        auto list =
            await<std::vector<halvo::Device>>(ctx, [](auto done) { return halvo::async::dont_use_devices(done); });
        if (!list)
            return fail(ctx, "listing the don't-use devices", list);
        print_named(ctx, *list, "devices", "no device is marked don't-use");
        return EXIT_OK;
    }
    if (verb == "status" && n == 2) {
        auto status = await<int>(ctx, [&](auto done) { return halvo::async::dont_use_status(ctx.args[1], done); });
        if (!status)
            return fail(ctx, "reading the mark of " + ctx.args[1], status);
        if (ctx.json) {
            tools::JsonWriter w;
            w.obj().s("address", ctx.args[1]).i("status", *status).s("status_name", status_name(*status)).end_obj();
            print_json(w);
        } else {
            printf("%s: %d (%s)\n", ctx.args[1].c_str(), *status, status_name(*status));
        }
        return EXIT_OK;
    }
    if ((verb == "set" || verb == "unset") && n == 3) {
        bool dontuse = verb == "set";
        auto marked = await<void>(
            ctx, [&](auto done) { return halvo::async::set_dont_use(ctx.args[1], ctx.args[2], dontuse, done); });
        if (!marked)
            return fail(ctx, "marking " + ctx.args[1], marked);
        confirm(ctx, ctx.args[1] + " marked " + (dontuse ? "don't use" : "use"),
                tools::JsonWriter().obj().s("address", ctx.args[1]).b("dont_use", dontuse).end_obj());
        return EXIT_OK;
    }
    if (verb == "remove" && n == 2) {
        auto removed =
            await<void>(ctx, [&](auto done) { return halvo::async::remove_dont_use_status(ctx.args[1], done); });
        if (!removed)
            return fail(ctx, "removing the mark of " + ctx.args[1], removed);
        confirm(ctx, "mark of " + ctx.args[1] + " removed",
                tools::JsonWriter().obj().s("address", ctx.args[1]).b("mark_removed", true).end_obj());
        return EXIT_OK;
    }
    return usage_error(ctx, "expected list, status ADDR, set ADDR NAME, unset ADDR NAME or remove ADDR");
}

} // namespace

const Command device_commands[] = {
    {"devices", "", "List the paired devices",
     "Asks the service for every paired device, with its device type (one call\n"
     "per device), connection, don't-use mark, profile and vendor identifiers.",
     "", 0, 0, devices},
    {"device", "ADDR", "Show one paired device", "", "", 1, 1, device},
    {"dont-use", "list | status ADDR | set ADDR NAME | unset ADDR NAME | remove ADDR",
     "Read and change the use / don't-use marks",
     "  list               the devices marked as not to be used\n"
     "  status ADDR        the service's mark value for ADDR\n"
     "  set ADDR NAME      mark ADDR (shown as NAME) as not to be used\n"
     "  unset ADDR NAME    mark ADDR as usable again\n"
     "  remove ADDR        forget ADDR's mark altogether",
     "", 1, 3, dont_use},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

/* commands-devices.cpp - paired devices and the use / don't-use policy. */
#include "halvoctl.h"

#include <cstdio>

namespace ctl {

namespace {

void device_json(tools::JsonWriter &w, const halvo_device_info_s *d)
{
    w.obj().s("address", d->address).s("name", d->name).b("connected", d->connected)
        .b("dont_use", d->usedontuse).i("device_type", d->device_type).i("profile", d->profile)
        .i("vid", d->vid).i("pid", d->pid).s("service_name", d->service_name)
        .s("provider_name", d->provider_name).end_obj();
}

std::string yes_no(bool v) { return v ? "yes" : "no"; }

std::string id(int v)
{
    char buf[16];
    snprintf(buf, sizeof buf, v < 0 ? "%d" : "0x%04x", v);
    return buf;
}

int devices(Ctx &ctx)
{
    GSList *list = nullptr;
    int rc = halvo_get_paired_dev_info_list(&list);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, "listing the paired devices", rc);
    if (ctx.json) {
        tools::JsonWriter w;
        w.arr();
        for (GSList *l = list; l; l = l->next)
            if (l->data)
                device_json(w, static_cast<halvo_device_info_s *>(l->data));
        w.end_arr();
        print_json(w);
    } else {
        Table t({"ADDRESS", "NAME", "TYPE", "CONNECTED", "DONT-USE", "PROFILE", "VID", "PID", "SERVICE"});
        for (GSList *l = list; l; l = l->next) {
            auto *d = static_cast<halvo_device_info_s *>(l->data);
            if (d)
                t.add({or_dash(d->address), or_dash(d->name), std::to_string(d->device_type), yes_no(d->connected),
                       yes_no(d->usedontuse), std::to_string(d->profile), id(d->vid), id(d->pid),
                       or_dash(d->service_name)});
        }
        if (t.empty())
            printf("no paired devices\n");
        else
            t.print();
    }
    if (list)
        halvo_free_paired_dev_info_list(list);
    return EXIT_OK;
}

int device(Ctx &ctx)
{
    halvo_device_info_s *d = nullptr;
    int rc = halvo_get_paired_dev_info(ctx.args[0].c_str(), &d);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, ("reading device " + ctx.args[0]).c_str(), rc);
    if (!d)
        return fail_text(ctx, "the library returned no record");
    if (ctx.json) {
        tools::JsonWriter w;
        device_json(w, d);
        print_json(w);
    } else {
        printf("Device %s\n", or_dash(d->address).c_str());
        printf("  Name:      %s\n", or_dash(d->name).c_str());
        printf("  Type:      %d\n", d->device_type);
        printf("  Connected: %s\n", yes_no(d->connected).c_str());
        printf("  Don't use: %s\n", yes_no(d->usedontuse).c_str());
        printf("  Profile:   %d\n", d->profile);
        printf("  Vendor:    %s (%s)\n", id(d->vid).c_str(), or_dash(d->provider_name).c_str());
        printf("  Product:   %s\n", id(d->pid).c_str());
        printf("  Service:   %s\n", or_dash(d->service_name).c_str());
    }
    halvo_free_paired_dev_info(d);
    return EXIT_OK;
}

int dont_use(Ctx &ctx)
{
    const std::string &verb = ctx.args[0];
    size_t n = ctx.args.size();
    if (verb == "list" && n == 1) {
        GSList *list = nullptr;
        if (!halvo_get_dontuse_device_list(&list))
            return fail_bool(ctx, "listing the don't-use devices");
        if (ctx.json) {
            tools::JsonWriter w;
            w.arr();
            for (GSList *l = list; l; l = l->next) {
                auto *d = static_cast<halvo_device_info_s *>(l->data);
                w.obj().s("address", d->address).s("name", d->name).end_obj();
            }
            w.end_arr();
            print_json(w);
        } else {
            Table t({"ADDRESS", "NAME"});
            for (GSList *l = list; l; l = l->next) {
                auto *d = static_cast<halvo_device_info_s *>(l->data);
                t.add({or_dash(d->address), or_dash(d->name)});
            }
            if (t.empty())
                printf("no device is marked don't-use\n");
            else
                t.print();
        }
        if (list)
            halvo_free_paired_dev_info_list(list);
        return EXIT_OK;
    }
    if (verb == "status" && n == 2) {
        int status = halvo_get_use_dontuse_status(ctx.args[1].c_str());
        if (status == -1)
            return fail_text(ctx, "reading the mark of " + ctx.args[1] +
                                      " failed: no reply or an error reply from the service");
        if (ctx.json) {
            tools::JsonWriter w;
            w.obj().s("address", ctx.args[1]).i("status", status).end_obj();
            print_json(w);
        } else {
            printf("%s: %d (%s)\n", ctx.args[1].c_str(), status,
                   status == 1 ? "don't use" : status == 0 ? "use" : "the service's own value");
        }
        return EXIT_OK;
    }
    if ((verb == "set" || verb == "unset") && n == 3) {
        bool dontuse = verb == "set";
        if (!halvo_set_use_dontuse_status(ctx.args[2].c_str(), ctx.args[1].c_str(), dontuse))
            return fail_bool(ctx, ("marking " + ctx.args[1]).c_str());
        if (!ctx.json)
            printf("%s marked %s\n", ctx.args[1].c_str(), dontuse ? "don't use" : "use");
        return EXIT_OK;
    }
    if (verb == "remove" && n == 2) {
        if (!halvo_remove_use_dontuse_status(ctx.args[1].c_str()))
            return fail_bool(ctx, ("removing the mark of " + ctx.args[1]).c_str());
        if (!ctx.json)
            printf("mark of %s removed\n", ctx.args[1].c_str());
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

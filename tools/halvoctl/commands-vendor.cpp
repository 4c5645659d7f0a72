/* commands-vendor.cpp - manufacturer data, custom commands, the
 * device-under-test mode and the remote-control firmware update. */
#include "halvoctl.h"

#include "hex.h"

#include <halvo/calls.hpp>

#include <cstdio>

namespace ctl {

namespace {

int print_bytes(Ctx &ctx, const halvo::ManufacturerData &m)
{
    int length = int(m.bytes.size());
    std::string hex = tools::hex_text(m.bytes.data(), m.bytes.size());
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj();
        if (m.option)
            w.i("option", *m.option);
        w.i("length", length).s("data", hex).end_obj();
        print_json(w);
    } else {
        if (m.option)
            printf("option %d, ", *m.option);
        printf("%d bytes%s%s\n", length, length > 0 ? ": " : "", hex.c_str());
    }
    return EXIT_OK;
}

int manufacturer(Ctx &ctx)
{
    const auto &a = ctx.args;
    const std::string &verb = a[0];
    if (verb == "read" && a.size() == 2) {
        auto data = await<halvo::ManufacturerData>(
            ctx, [&](auto done) { return halvo::async::read_manufacturer_data(a[1], done); });
        if (!data)
            return fail(ctx, "reading the manufacturer data of " + a[1], data);
        return print_bytes(ctx, *data);
    }
    if (verb == "read" && a.size() == 3) {
        int option = 0;
        if (!parse_int(a[2], &option))
            return usage_error(ctx, "OPTION is a number");
        auto data = await<halvo::ManufacturerData>(
            ctx, [&](auto done) { return halvo::async::read_specific_manufacturer_data(a[1], option, done); });
        if (!data)
            return fail(ctx, "reading item " + a[2] + " of " + a[1], data);
        return print_bytes(ctx, *data);
    }
    if (verb == "write" && a.size() == 4) {
        int link = 0;
        std::vector<uint8_t> bytes;
        if (!parse_int(a[2], &link) || !parse_hex(a[3], &bytes))
            return usage_error(ctx, "expected write ADDR LINK_TYPE HEX");
        auto written =
            await<void>(ctx, [&](auto done) { return halvo::async::write_manufacturer_data(a[1], link, bytes, done); });
        if (!written)
            return fail(ctx, "writing the manufacturer data of " + a[1], written);
        confirm(ctx, std::to_string(bytes.size()) + " bytes written",
                tools::JsonWriter().obj().s("address", a[1]).i("written", gint64(bytes.size())).end_obj());
        return EXIT_OK;
    }
    if (verb == "parse" && a.size() == 4) {
        int link = 0, option = 0;
        std::vector<uint8_t> bytes;
        if (!parse_int(a[1], &link) || !parse_int(a[2], &option) || !parse_hex(a[3], &bytes))
            return usage_error(ctx, "expected parse LINK_TYPE OPTION HEX");
        auto data = await<halvo::ManufacturerData>(
            ctx, [&](auto done) { return halvo::async::parse_manufacturer_data(link, bytes, option, done); });
        if (!data)
            return fail(ctx, "parsing the data", data);
        return print_bytes(ctx, *data);
    }
    return usage_error(ctx, "expected read ADDR [OPTION], write ADDR LINK_TYPE HEX or parse LINK_TYPE OPTION HEX");
}

int command(Ctx &ctx)
{
    std::string text;
    for (const auto &w : ctx.args)
        text += (text.empty() ? "" : " ") + w;
    auto reply =
        await<halvo::CommandReply>(ctx, [&](auto done) { return halvo::async::send_custom_command(text, done); });
    if (!ctx.json && reply.response && !reply.response->empty())
        printf("%s\n", reply.response->c_str());
    if (!reply.status)
        return fail(ctx, "command \"" + text + "\"", reply.status);
    if (ctx.json) {
        /* A response that is JSON is embedded as such. */
        tools::JsonWriter w;
        w.obj().i("result", reply.status.code()).json("response", c_str(reply.response)).end_obj();
        print_json(w);
    }
    return EXIT_OK;
}

int dut(Ctx &ctx)
{
    const auto &a = ctx.args;
    bool stopped = a[0] == "stop";
    halvo::Result<void> done;
    if (a[0] == "enter" && a.size() == 1) {
        done = await<void>(ctx, [](auto fn) { return halvo::async::enter_dut_mode(fn); });
    } else if (a[0] == "enter" && a.size() == 5) {
        int channel = 0, power = 0;
        if (!parse_int(a[3], &channel) || !parse_int(a[4], &power))
            return usage_error(ctx, "CHANNEL and POWER are numbers");
        done = await<void>(ctx, [&](auto fn) { return halvo::async::enter_dut_mode(a[1], a[2], channel, power, fn); });
    } else if (stopped && a.size() == 1) {
        done = await<void>(ctx, [](auto fn) { return halvo::async::stop_dut_mode(fn); });
    } else {
        return usage_error(ctx, "expected enter [SIDE MODE CHANNEL POWER] or stop");
    }
    if (!done)
        return fail(ctx, stopped ? "stopping the device-under-test mode" : "entering the device-under-test mode", done);
    confirm(ctx, std::string("device-under-test mode ") + (stopped ? "stopped" : "entered"),
            tools::JsonWriter().obj().b("dut_mode", !stopped).end_obj());
    return EXIT_OK;
}

int fw_update(Ctx &ctx)
{
    ctx.service = UPDATE_MANAGER_NAME;
    /* The result arrives as a signal that only an initialised library
     * records; subscribe before asking. */
    auto session = halvo::Session::start();
    if (!session)
        return fail(ctx, "initialising the library", session);
    halvo::clear_firmware_result();
    halvo::Result<void> accepted;
    {
        Progress progress(ctx, "asking the update manager");
        accepted = await<void>(ctx, [](auto done) { return halvo::async::update_remote_firmware(done); });
    }
    if (!accepted)
        return fail(ctx, "starting the firmware update", accepted);
    if (ctx.flag("--no-wait")) {
        confirm(ctx, "firmware update started", tools::JsonWriter().obj().b("started", true).end_obj());
        return EXIT_OK;
    }
    if (!ctx.json && !ctx.quiet)
        printf("firmware update started\n");
    fflush(stdout);
    bool done;
    {
        Progress progress(ctx, "updating the remote control");
        done = wait_until(ctx, [] { return halvo::firmware_result().has_value(); }, ctx.timeout_ms);
    }
    bool ok = halvo::firmware_result().value_or(false);
    session->end();
    if (!done)
        return fail_timeout(ctx, "no update result within " + std::to_string(ctx.timeout_ms / 1000) + " s");
    if (!ok) {
        if (!ctx.json)
            printf("firmware update result: NG\n");
        return fail_text(ctx, "the remote control was not updated (result NG)");
    }
    confirm(ctx, "firmware update result: OK", tools::JsonWriter().obj().s("result", "OK").end_obj());
    return EXIT_OK;
}

} // namespace

const Command vendor_commands[] = {
    {"manufacturer", "read ADDR [OPTION] | write ADDR LINK_TYPE HEX | parse LINK_TYPE OPTION HEX",
     "Read, write and parse manufacturer data",
     "  read ADDR               the manufacturer data the service holds for ADDR\n"
     "  read ADDR OPTION        one item of it\n"
     "  write ADDR LINK_TYPE HEX\n"
     "                          write bytes (e.g. \"34 12 01\") to ADDR\n"
     "  parse LINK_TYPE OPTION HEX\n"
     "                          let the service parse raw bytes",
     "", 2, 4, manufacturer},
    {"command", "TEXT...", "Send a free-form command to the service and print its response",
     "The words are joined with blanks.  A non-zero result is a failure; the\n"
     "response is printed either way.",
     "", 1, -1, command},
    {"dut", "enter [SIDE MODE CHANNEL POWER] | stop", "Enter or stop the device-under-test mode",
     "  enter                          the service's default test\n"
     "  enter SIDE MODE CHANNEL POWER  a test of the given parameters:\n"
     "      SIDE     left or right\n"
     "      MODE     tx or rx\n"
     "      CHANNEL  0 to 78 (the classic channels)\n"
     "      POWER    -20 to 20 (dBm)\n"
     "  stop                           leave the mode\n"
     "The service judges the parameters; halvoctl passes them as given.",
     "", 1, 5, dut},
    {"fw-update", "", "Update the remote control's firmware and wait for the result",
     "Asks the update manager to start, then waits for the result it reports\n"
     "(--timeout; the update manager may take up to 60 s to accept).\n"
     "--no-wait returns once the update manager accepted.  Exit status 1 when\n"
     "the update was refused or failed.",
     "no-wait", 0, 0, fw_update},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

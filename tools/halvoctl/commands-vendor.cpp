/* commands-vendor.cpp - manufacturer data, custom commands, the
 * device-under-test mode and the remote-control firmware update. */
#include "halvoctl.h"

#include <cstdio>
#include <cstring>

namespace ctl {

namespace {

int print_bytes(Ctx &ctx, const char *what, int option, bool with_option, char *data, int length)
{
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj();
        if (with_option)
            w.i("option", option);
        w.i("length", length).s("data", hex_bytes(data, length)).end_obj();
        print_json(w);
    } else {
        if (with_option)
            printf("option %d, ", option);
        printf("%d bytes%s%s\n", length, length > 0 ? ": " : "", hex_bytes(data, length).c_str());
    }
    (void)what;
    g_free(data);
    return EXIT_OK;
}

int manufacturer(Ctx &ctx)
{
    const auto &a = ctx.args;
    const std::string &verb = a[0];
    char *data = nullptr;
    int length = 0;
    if (verb == "read" && a.size() == 2) {
        int option = 0;
        int rc = halvo_read_manufacturer_data(a[1].c_str(), &option, &data, &length);
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, ("reading the manufacturer data of " + a[1]).c_str(), rc);
        return print_bytes(ctx, "read", option, true, data, length);
    }
    if (verb == "read" && a.size() == 3) {
        int option = 0;
        if (!parse_int(a[2], &option))
            return usage_error(ctx, "OPTION is a number");
        int rc = halvo_read_specific_manufacturer_data(a[1].c_str(), option, &data, &length);
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, ("reading item " + a[2] + " of " + a[1]).c_str(), rc);
        return print_bytes(ctx, "read", option, false, data, length);
    }
    if (verb == "write" && a.size() == 4) {
        int link = 0;
        std::string bytes;
        if (!parse_int(a[2], &link) || !parse_hex(a[3], &bytes))
            return usage_error(ctx, "expected write ADDR LINK_TYPE HEX");
        int rc = halvo_write_manufacturer_data(a[1].c_str(), link, bytes.data(), int(bytes.size()));
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, ("writing the manufacturer data of " + a[1]).c_str(), rc);
        if (!ctx.json)
            printf("%zu bytes written\n", bytes.size());
        return EXIT_OK;
    }
    if (verb == "parse" && a.size() == 4) {
        int link = 0, option = 0;
        std::string bytes;
        if (!parse_int(a[1], &link) || !parse_int(a[2], &option) || !parse_hex(a[3], &bytes))
            return usage_error(ctx, "expected parse LINK_TYPE OPTION HEX");
        int rc = halvo_parse_manufacturer_data(link, bytes.data(), int(bytes.size()), option, &data, &length);
        if (rc != HALVO_ERROR_NONE)
            return fail(ctx, "parsing the data", rc);
        return print_bytes(ctx, "parse", option, false, data, length);
    }
    return usage_error(ctx, "expected read ADDR [OPTION], write ADDR LINK_TYPE HEX or parse LINK_TYPE OPTION HEX");
}

int command(Ctx &ctx)
{
    std::string text;
    for (const auto &w : ctx.args)
        text += (text.empty() ? "" : " ") + w;
    char *response = nullptr;
    int rc = halvo_send_custom_command(text.c_str(), &response);
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().i("result", rc).s("response", response).end_obj();
        print_json(w);
    } else if (response && *response) {
        printf("%s\n", response);
    }
    g_free(response);
    if (rc != HALVO_ERROR_NONE)
        return fail(ctx, ("command \"" + text + "\"").c_str(), rc);
    return EXIT_OK;
}

int dut(Ctx &ctx)
{
    const auto &a = ctx.args;
    if (a[0] == "enter" && a.size() == 1) {
        if (!halvo_enter_bt_dut_mode())
            return fail_bool(ctx, "entering the device-under-test mode");
    } else if (a[0] == "enter" && a.size() == 5) {
        int channel = 0, power = 0;
        if (!parse_int(a[3], &channel) || !parse_int(a[4], &power))
            return usage_error(ctx, "CHANNEL and POWER are numbers");
        if (!halvo_enter_bt_dut_mode_new(a[1].c_str(), a[2].c_str(), channel, power))
            return fail_bool(ctx, "entering the device-under-test mode");
    } else if (a[0] == "stop" && a.size() == 1) {
        if (!halvo_stop_bt_dut_mode_new())
            return fail_bool(ctx, "stopping the device-under-test mode");
    } else {
        return usage_error(ctx, "expected enter [SIDE MODE CHANNEL POWER] or stop");
    }
    if (!ctx.json)
        printf("device-under-test mode %s\n", a[0] == "stop" ? "stopped" : "entered");
    return EXIT_OK;
}

int fw_update(Ctx &ctx)
{
    /* The result arrives as a signal that only an initialised library
     * records; subscribe before asking. */
    int rc = halvo_initialize();
    if (rc != HALVO_ERROR_NONE && rc != HALVO_ERROR_ALREADY_INITIALIZED)
        return fail(ctx, "initialising the library", rc);
    g_is_zemo_update_done = false;
    const char *answer;
    {
        Progress progress(ctx, "asking the update manager");
        answer = halvo_update_zemo_fw();
    }
    if (strcmp(answer, "OK") != 0) {
        halvo_deinitialzie();
        return fail_text(ctx, "the update manager did not accept the update (\"" + std::string(answer) +
                                  "\": refused, absent, or no reply)");
    }
    if (ctx.flag("--no-wait")) {
        halvo_deinitialzie();
        if (!ctx.json)
            printf("firmware update started\n");
        return EXIT_OK;
    }
    if (!ctx.json)
        printf("firmware update started\n");
    fflush(stdout);
    bool done;
    {
        Progress progress(ctx, "updating the remote control");
        done = wait_until([] { return g_is_zemo_update_done; }, ctx.timeout_ms);
    }
    int result = g_zemo_update_result;
    halvo_deinitialzie();
    if (!done)
        return fail_text(ctx, "no update result within " + std::to_string(ctx.timeout_ms / 1000) + " s");
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().s("result", result == 1 ? "OK" : "NG").end_obj();
        print_json(w);
    } else {
        printf("firmware update result: %s\n", result == 1 ? "OK" : "NG");
    }
    return result == 1 ? EXIT_OK : fail_text(ctx, "the remote control was not updated (result NG)");
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
    {"dut", "enter [SIDE MODE CHANNEL POWER] | stop", "Enter or stop the device-under-test mode", "", "", 1, 5, dut},
    {"fw-update", "", "Update the remote control's firmware and wait for the result",
     "Asks the update manager to start, then waits for the result it reports\n"
     "(--timeout; the update manager may take up to 60 s to accept).\n"
     "--no-wait returns once the update manager accepted.  Exit status 1 when\n"
     "the update was refused or failed.",
     "no-wait", 0, 0, fw_update},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

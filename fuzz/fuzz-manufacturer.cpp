/* The replies of the manufacturer-data and custom-command methods, from a
 * service on a private bus: a reply of the expected shape is unpacked
 * within its bytes (a reported length is cut to the bytes that came); any
 * other shape is a failed call (5) that writes nothing. */
#include "harness.h"
#include "halvo-api-private.h"

#include <algorithm>
#include <cstring>

using halvo_fuzz::finding;

namespace {

/* What the reply carried, when it had @type. */
struct Expect {
    bool shaped = false;
    int result = 0, reported = 0, option = 0;
    std::string bytes;
};

Expect expect(GVariant *reply, const char *type)
{
    Expect e;
    if (reply == nullptr || !g_variant_is_of_type(reply, G_VARIANT_TYPE(type)))
        return e;
    e.shaped = true;
    GVariant *bytes = nullptr;
    if (strcmp(type, "(iiiay)") == 0)
        g_variant_get(reply, "(iii@ay)", &e.result, &e.reported, &e.option, &bytes);
    else
        g_variant_get(reply, "(ii@ay)", &e.result, &e.reported, &bytes);
    gsize n = 0;
    const char *p = static_cast<const char *>(g_variant_get_fixed_array(bytes, &n, 1));
    e.bytes.assign(p ? p : "", n);
    g_variant_unref(bytes);
    return e;
}

void check_bytes(const Expect &e, int result, char *out, int out_length, int option_out, bool with_option)
{
    if (!e.shaped) {
        if (result != 5 || out != nullptr || out_length != -7 || option_out != -7)
            finding("a reply of another shape wrote out-parameters or gave %d", result);
        return;
    }
    size_t want = std::min(size_t(e.reported > 0 ? e.reported : 0), e.bytes.size());
    if (result != e.result || out == nullptr || out_length != int(want))
        finding("result %d length %d, expected %d and %zu", result, out_length, e.result, want);
    if (memcmp(out, e.bytes.data(), want) != 0 || out[want] != '\0')
        finding("bytes differ from the reply's or are not terminated");
    if (with_option && option_out != e.option)
        finding("option %d, expected %d", option_out, e.option);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const types[] = {"(iiay)", "(iiiay)", "(i)", "(is)", "(s)", "(ii)", "()", "(iiayi)", "(iis)"};
    halvo_fuzz::service::start();
    halvo_fuzz::Input in(data, size);
    uint8_t op = in.byte() % 5;
    bool error_reply = in.byte() == 0xff;
    GVariant *reply = halvo_fuzz::variant_from(in, types, G_N_ELEMENTS(types));
    static const char *const methods[] = {"parse_manufacturer_data", "read_specific_manufacturer_data",
                                          "read_manufacturer_data", "write_manufacturer_data", "custom_command"};
    halvo_fuzz::service::reply(methods[op], error_reply ? nullptr : g_variant_ref(reply));
    /* An error reply, or one without values, is a failed call. */
    GVariant *seen = (error_reply || g_variant_n_children(reply) == 0) ? nullptr : reply;

    char *out = nullptr;
    int out_length = -7, option = -7;
    const char bytes[] = {'\x01', '\x80', '\xff'};
    switch (op) {
    case 0: {
        int r = halvo_parse_manufacturer_data(1, bytes, 3, 2, &out, &out_length);
        check_bytes(expect(seen, "(iiay)"), r, out, out_length, option, false);
        break;
    }
    case 1: {
        int r = halvo_read_specific_manufacturer_data("AA:BB", 2, &out, &out_length);
        check_bytes(expect(seen, "(iiay)"), r, out, out_length, option, false);
        break;
    }
    case 2: {
        int r = halvo_read_manufacturer_data("AA:BB", &option, &out, &out_length);
        check_bytes(expect(seen, "(iiiay)"), r, out, out_length, option, true);
        break;
    }
    case 3: {
        int r = halvo_write_manufacturer_data("AA:BB", 1, bytes, 3);
        int want = 5;
        if (seen && g_variant_is_of_type(seen, G_VARIANT_TYPE("(i)")))
            g_variant_get(seen, "(i)", &want);
        if (r != want)
            finding("write gave %d, expected %d", r, want);
        break;
    }
    default: {
        int r = halvo_send_custom_command("status", &out);
        int want = 5;
        const char *text = nullptr;
        if (seen && g_variant_is_of_type(seen, G_VARIANT_TYPE("(is)")))
            g_variant_get(seen, "(i&s)", &want, &text);
        if (r != want || (text == nullptr) != (out == nullptr) || (text && strcmp(text, out) != 0))
            finding("custom command gave %d \"%s\"", r, out ? out : "(none)");
        break;
    }
    }
    g_free(out);
    g_variant_unref(reply);
    return 0;
}

/* The service's replies, from a service on a private bus: the don't-use
 * list and marks, the manufacturer data and custom command, and the paired
 * devices.  A reply of the expected shape is unpacked within what it
 * carries; any other is a failed call that hands out nothing. */
#include "harness.h"

#include <algorithm>
#include <cstring>

using namespace halvo_fuzz;

namespace {

/* The "(i)" reply's value, or @otherwise for any other reply. */
int int_of(GVariant *reply, int otherwise)
{
    if (reply != nullptr && g_variant_is_of_type(reply, G_VARIANT_TYPE("(i)")))
        g_variant_get(reply, "(i)", &otherwise);
    return otherwise;
}

/* The don't-use list, and the use / don't-use mark methods, which answer
 * an integer. */
void device_policy(Input &in)
{
    static const char *const methods[] = {"get_dontuse_dev_list", "get_use_dontuse", "set_use_dontuse",
                                          "remove_use_donuse_info"};
    uint8_t op = in.byte() % 4;
    halvo_core::Variant reply = payload_from(in, op != 0 || in.byte() >= 0xe0, {"(i)", "(s)", "(ii)", "()", "(b)", "(is)"});
    service::reply(methods[op], g_variant_ref(reply.get()));
    int answer = int_of(reply.get(), -1);
    if (op == 0) {
        GSList *list = nullptr;
        /* Only a reply that carries the text answers. */
        if (halvo_get_dontuse_device_list(&list) != g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(s)")))
            finding("the list's outcome does not follow the reply");
        for (GSList *l = list; l; l = l->next) {
            auto *d = static_cast<halvo_device_info_s *>(l->data);
            if (d == nullptr || !d->usedontuse || d->device_type != 0 || d->service_name || d->provider_name)
                finding("a don't-use record is not as documented");
            touch({d->name, d->address});
        }
        if (list)
            halvo_free_paired_dev_info_list(list);
    } else {
        int r = op == 1   ? halvo_get_use_dontuse_status("AA:BB")
                : op == 2 ? halvo_set_use_dontuse_status("spk", "AA:BB", true)
                          : halvo_remove_use_dontuse_status("AA:BB");
        /* The get gives the answer; the set and the remove succeed on 1. */
        if (r != (op == 1 ? answer : answer == 1))
            finding("mark method %d gave %d for the answer %d", op, r, answer);
    }
}

/* A byte reply ("(iiay)", or "(iiiay)" with the option) is unpacked within
 * its bytes (a reported length is cut to the bytes that came); any other
 * is a failed call (5) that writes no out-parameter. */
void check_bytes(GVariant *reply, bool with_option, int result, const char *out, int out_length, int option)
{
    if (reply == nullptr || !g_variant_is_of_type(reply, G_VARIANT_TYPE(with_option ? "(iiiay)" : "(iiay)"))) {
        if (result != 5 || out != nullptr || out_length != -7 || option != -7)
            finding("a reply of another shape wrote out-parameters or gave %d", result);
        return;
    }
    int want_result = 0, reported = 0, want_option = -7;
    GVariant *bytes = nullptr;
    if (with_option)
        g_variant_get(reply, "(iii@ay)", &want_result, &reported, &want_option, &bytes);
    else
        g_variant_get(reply, "(ii@ay)", &want_result, &reported, &bytes);
    gsize n = 0;
    const void *p = g_variant_get_fixed_array(bytes, &n, 1);
    size_t want = std::min(size_t(std::max(reported, 0)), n);
    if (result != want_result || out == nullptr || out_length != int(want) || option != want_option)
        finding("result %d length %d option %d, expected %d, %zu and %d", result, out_length, option, want_result,
                want, want_option);
    if ((want > 0 && memcmp(out, p, want) != 0) || out[want] != '\0')
        finding("bytes differ from the reply's or are not terminated");
    g_variant_unref(bytes);
}

void manufacturer(Input &in)
{
    static const char *const methods[] = {"parse_manufacturer_data", "read_specific_manufacturer_data",
                                          "read_manufacturer_data", "write_manufacturer_data", "custom_command"};
    uint8_t op = in.byte() % 5;
    bool error_reply = in.byte() == 0xff;
    halvo_core::Variant reply =
        variant_from(in, {"(iiay)", "(iiiay)", "(i)", "(is)", "(s)", "(ii)", "()", "(iiayi)", "(iis)"});
    service::reply(methods[op], error_reply ? nullptr : g_variant_ref(reply.get()));
    /* An error reply.get(), or one without values, is a failed call. */
    GVariant *seen = (error_reply || g_variant_n_children(reply.get()) == 0) ? nullptr : reply.get();

    char *out = nullptr;
    int out_length = -7, option = -7;
    const char bytes[] = {'\x01', '\x80', '\xff'};
    int r = op == 0   ? halvo_parse_manufacturer_data(1, bytes, 3, 2, &out, &out_length)
            : op == 1 ? halvo_read_specific_manufacturer_data("AA:BB", 2, &out, &out_length)
            : op == 2 ? halvo_read_manufacturer_data("AA:BB", &option, &out, &out_length)
            : op == 3 ? halvo_write_manufacturer_data("AA:BB", 1, bytes, 3)
                      : halvo_send_custom_command("status", &out);
    if (op < 3) {
        check_bytes(seen, op == 2, r, out, out_length, option);
    } else if (op == 3 && r != int_of(seen, 5)) {
        finding("write gave %d, expected %d", r, int_of(seen, 5));
    } else if (op == 4) {
        int want = 5;
        const char *text = nullptr;
        if (seen && g_variant_is_of_type(seen, G_VARIANT_TYPE("(is)")))
            g_variant_get(seen, "(i&s)", &want, &text);
        if (r != want || (text == nullptr) != (out == nullptr) || (text && strcmp(text, out) != 0))
            finding("custom command gave %d \"%s\"", r, out ? out : "(none)");
    }
    g_free(out);
}

/* The device document of "get_device_info" / "get_devices_info" and the
 * answers of "get_device_type" for each device: records carry what the
 * document holds. */
void paired_devices(Input &in)
{
    bool list_op = in.byte() & 1;
    /* The device-type answer: "(i)" with a value from the input, an error,
     * or a reply of another shape: both failed look-ups, which give type 0. */
    uint8_t type_reply = in.byte() % 3;
    int type_value = int(uint32_t(in.byte()) | uint32_t(in.byte()) << 8 | uint32_t(in.byte()) << 16 |
                         uint32_t(in.byte()) << 24);
    service::reply("get_device_type", type_reply == 0   ? g_variant_new("(i)", type_value)
                                      : type_reply == 1 ? nullptr
                                                        : g_variant_new("(s)", "7"));
    int device_type = type_reply == 0 ? type_value : 0;
    /* The document: mostly a one-string reply holding the text. */
    halvo_core::Variant reply = payload_from(in, in.byte() >= 0xe0, {"(s)", "(ss)", "(i)", "()", "(as)", "(sa{sv})"});
    service::reply(list_op ? "get_devices_info" : "get_device_info", g_variant_ref(reply.get()));

    GSList *list = nullptr;
    halvo_device_info_s *info = nullptr;
    int r = list_op ? halvo_get_paired_dev_info_list(&list) : halvo_get_paired_dev_info("AA:BB:CC:DD:EE:01", &info);
    if (r != 0 && r != 5)
        finding("the call gave %d", r);
    if (r != 0 && (list != nullptr || info != nullptr))
        finding("a failed call handed out records");
    auto check = [device_type](const halvo_device_info_s *d) {
        touch({d->address, d->name, d->service_name, d->provider_name});
        if (d->device_type != (d->address != nullptr ? device_type : 0))
            finding("device type %d, expected %d", d->device_type, d->address != nullptr ? device_type : 0);
    };
    for (GSList *l = list; l; l = l->next)
        check(static_cast<halvo_device_info_s *>(l->data));
    if (list)
        halvo_free_paired_dev_info_list(list);
    if (info) {
        check(info);
        halvo_free_paired_dev_info(info);
    }
}

} // namespace

const Target halvo_fuzz::target = {service::start, {device_policy, manufacturer, paired_devices}};

/* The paired-device replies, from a service on a private bus: the device
 * document of "get_device_info" / "get_devices_info" and the answers of
 * "get_device_type" for each device.  Records carry what the document
 * holds; a reply that is not usable is a failed call without records. */
#include "harness.h"
#include "halvo-api-private.h"

#include <cstring>

using halvo_fuzz::finding;

namespace {

void check_record(const halvo_device_info_s *d, int device_type)
{
    for (const char *s : {d->address, d->name, d->service_name, d->provider_name})
        if (s != nullptr)
            (void)strlen(s);
    int want = d->address != nullptr ? device_type : 0;
    if (d->device_type != want)
        finding("device type %d, expected %d", d->device_type, want);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const types[] = {"(s)", "(ss)", "(i)", "()", "(as)", "(sa{sv})"};
    halvo_fuzz::service::start();
    halvo_fuzz::Input in(data, size);
    bool list_op = in.byte() & 1;
    /* The device-type answer: "(i)" with a value from the input, an error,
     * or a reply of another shape: both failed look-ups, which give type 0. */
    uint8_t type_reply = in.byte() % 3;
    int type_value = int(uint32_t(in.byte()) | uint32_t(in.byte()) << 8 | uint32_t(in.byte()) << 16 |
                         uint32_t(in.byte()) << 24);
    if (type_reply == 0)
        halvo_fuzz::service::reply("get_device_type", g_variant_new("(i)", type_value));
    else if (type_reply == 1)
        halvo_fuzz::service::reply("get_device_type", nullptr);
    else
        halvo_fuzz::service::reply("get_device_type", g_variant_new("(s)", "7"));
    int device_type = type_reply == 0 ? type_value : 0;

    /* The document: mostly a one-string reply holding the text. */
    GVariant *reply;
    if (in.byte() < 0xe0)
        reply = g_variant_ref_sink(g_variant_new("(s)", halvo_fuzz::dbus_text(in.rest()).c_str()));
    else
        reply = halvo_fuzz::variant_from(in, types, G_N_ELEMENTS(types));
    const char *method = list_op ? "get_devices_info" : "get_device_info";
    halvo_fuzz::service::reply(method, g_variant_ref(reply));

    if (list_op) {
        GSList *list = nullptr;
        int r = halvo_get_paired_dev_info_list(&list);
        if (r != 0 && r != 5)
            finding("list gave %d", r);
        if (r != 0 && list != nullptr)
            finding("a failed list handed out records");
        for (GSList *l = list; l; l = l->next)
            check_record(static_cast<halvo_device_info_s *>(l->data), device_type);
        if (list)
            halvo_free_paired_dev_info_list(list);
    } else {
        halvo_device_info_s *info = nullptr;
        int r = halvo_get_paired_dev_info("AA:BB:CC:DD:EE:01", &info);
        if (r != 0 && r != 5)
            finding("one device gave %d", r);
        if (r != 0 && info != nullptr)
            finding("a failed call handed out a record");
        if (info) {
            check_record(info, device_type);
            halvo_free_paired_dev_info(info);
        }
    }
    g_variant_unref(reply);
    return 0;
}

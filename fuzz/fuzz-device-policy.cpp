/* The don't-use list reply and the answers of the use / don't-use mark
 * methods, from a service on a private bus. */
#include "harness.h"
#include "halvo-api-private.h"

#include <cstring>

using halvo_fuzz::finding;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const types[] = {"(i)", "(s)", "(ii)", "()", "(b)", "(is)"};
    halvo_fuzz::service::start();
    halvo_fuzz::Input in(data, size);
    uint8_t op = in.byte() % 4;

    if (op == 0) {
        GVariant *reply;
        if (in.byte() < 0xe0)
            reply = g_variant_ref_sink(g_variant_new("(s)", halvo_fuzz::dbus_text(in.rest()).c_str()));
        else
            reply = halvo_fuzz::variant_from(in, types, G_N_ELEMENTS(types));
        halvo_fuzz::service::reply("get_dontuse_dev_list", g_variant_ref(reply));
        GSList *list = nullptr;
        /* Only a reply that carries the text answers; any other is a failed call. */
        if (halvo_get_dontuse_device_list(&list) != g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)")))
            finding("the list's outcome does not follow the reply");
        for (GSList *l = list; l; l = l->next) {
            auto *d = static_cast<halvo_device_info_s *>(l->data);
            if (d == nullptr || !d->usedontuse || d->device_type != 0 || d->service_name || d->provider_name)
                finding("a don't-use record is not as documented");
            if (d->name)
                (void)strlen(d->name);
            if (d->address)
                (void)strlen(d->address);
        }
        if (list)
            halvo_free_paired_dev_info_list(list);
        g_variant_unref(reply);
        return 0;
    }

    /* The mark methods answer an integer; any other shape is no answer. */
    GVariant *reply = halvo_fuzz::variant_from(in, types, G_N_ELEMENTS(types));
    int answer = -1;
    bool shaped = g_variant_is_of_type(reply, G_VARIANT_TYPE("(i)"));
    if (shaped)
        g_variant_get(reply, "(i)", &answer);
    if (op == 1) {
        halvo_fuzz::service::reply("get_use_dontuse", g_variant_ref(reply));
        int r = halvo_get_use_dontuse_status("AA:BB");
        if (r != (shaped ? answer : -1))
            finding("get gave %d", r);
    } else if (op == 2) {
        halvo_fuzz::service::reply("set_use_dontuse", g_variant_ref(reply));
        if (halvo_set_use_dontuse_status("spk", "AA:BB", true) != (shaped && answer == 1))
            finding("set did not follow the answer");
    } else {
        halvo_fuzz::service::reply("remove_use_donuse_info", g_variant_ref(reply));
        if (halvo_remove_use_dontuse_status("AA:BB") != (shaped && answer == 1))
            finding("remove did not follow the answer");
    }
    g_variant_unref(reply);
    return 0;
}

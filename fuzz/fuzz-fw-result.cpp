/* The public signal's dispatch and event handler, fed a payload built from
 * the fuzz bytes: only a one-string tuple records a result, 1 exactly for
 * "OK". */
#include "harness.h"
#include "halvo-api-private.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const types[] = {"(s)", "(i)", "()", "(b)", "(ss)", "(sv)", "(as)", "(ay)", "(si)"};
    static const char *const names[] = {"zemo_fw_update_result", "zemo_fw_update_resul", "zemo_fw_update_result_",
                                        "other", ""};
    halvo_fuzz::Input in(data, size);
    const char *name = names[in.byte() % G_N_ELEMENTS(names)];
    GVariant *payload = halvo_fuzz::variant_from(in, types, G_N_ELEMENTS(types));

    g_is_zemo_update_done = false;
    g_zemo_update_result = 7;
    __halvo_api_handle_recieved_signal_cb(nullptr, ":1.1", "/org/velmo/pellix", "org.velmo.pellix", name, payload,
                                          nullptr);

    bool recorded = strcmp(name, "zemo_fw_update_result") == 0 && g_variant_is_of_type(payload, G_VARIANT_TYPE("(s)"));
    if (g_is_zemo_update_done != recorded)
        halvo_fuzz::finding("result recorded: %d, expected %d", g_is_zemo_update_done, recorded);
    if (recorded) {
        const char *text = nullptr;
        g_variant_get(payload, "(&s)", &text);
        if (g_zemo_update_result != (strcmp(text, "OK") == 0 ? 1 : 0))
            halvo_fuzz::finding("result %d for \"%s\"", g_zemo_update_result, text);
    } else if (g_zemo_update_result != 7) {
        halvo_fuzz::finding("result written without a result signal");
    }
    g_variant_unref(payload);
    return 0;
}

/* The handlers of the speaker signals, fed payloads built from the fuzz
 * bytes: a callback runs only for its own signal name and a payload of the
 * documented shape, once, with what the payload holds. */
#include "harness.h"
#include "halvo-api-private.h"

#include <cstring>

using halvo_fuzz::finding;

namespace {

struct Seen {
    int calls = 0;
    bool null_speaker = false;
    std::string address;
    int value = 0;
} g_seen;

void on_info(speaker_t *speaker, void *)
{
    g_seen.calls++;
    g_seen.null_speaker = speaker == nullptr;
    if (speaker)
        for (const char *s : {speaker->vsid, speaker->address, speaker->name, speaker->icon_type})
            if (s)
                (void)strlen(s);
}
void on_status(int status, void *)
{
    g_seen.calls++;
    g_seen.value = status;
}
void on_volume(const char *address, int volume, void *)
{
    g_seen.calls++;
    g_seen.address = address ? address : "<null>";
    g_seen.value = volume;
}
void on_controlable(const char *address, bool controlable, void *)
{
    g_seen.calls++;
    g_seen.address = address ? address : "<null>";
    g_seen.value = controlable;
}

using Handler = void (*)(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
                         gpointer) noexcept;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool registered = false;
    if (!registered) {
        /* A set only fills its slot once it has subscribed, so a bus is
         * needed; the handlers are called directly below. */
        registered = true;
        halvo_fuzz::service::start();
        if (halvo_register_bt_spaeker_info_changed_cb(on_info, nullptr) != 0 ||
            halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(on_status, nullptr) != 0 ||
            halvo_api_set_volume_changed_callback(on_volume, nullptr) != 0 ||
            halvo_api_set_volume_controlable_changed_callback(on_controlable, nullptr) != 0)
            finding("cannot set the callbacks");
    }
    static const struct {
        const char *name;
        Handler handler;
    } rows[] = {
        {"bt_spk_info_changed", _halvo_bt_spk_info_changed},
        {"last_connecting_status_changed", _halvo_last_connecting_status_changed},
        {"bt_spk_volume_changed_by_address", _halvo_bt_spk_volume_changed_by_address},
        {"bt_spk_volume_controlable_changed_by_address", _halvo_bt_spk_volume_controlable_changed_by_address},
    };
    static const char *const types[] = {"(s)", "(si)", "(i)", "()", "(is)", "(sii)", "(ss)", "(sb)", "(su)"};

    halvo_fuzz::Input in(data, size);
    uint8_t pick = in.byte();
    const auto &row = rows[pick % 4];
    bool own_name = !(pick & 0x40);
    std::string name = own_name ? row.name : std::string(row.name) + "_";
    GVariant *payload;
    if (pick & 0x80)
        payload = halvo_fuzz::variant_from(in, types, G_N_ELEMENTS(types));
    else
        payload = g_variant_ref_sink(g_variant_new("(s)", halvo_fuzz::dbus_text(in.rest()).c_str()));

    g_seen = Seen();
    row.handler(nullptr, ":1.1", "/org/velmo/pellix", "org.velmo.pellix", name.c_str(), payload, nullptr);

    if (!own_name && g_seen.calls != 0)
        finding("callback ran for signal %s", name.c_str());
    if (g_seen.calls > 1)
        finding("callback ran %d times", g_seen.calls);
    switch (pick % 4) {
    case 0: {
        const char *text = nullptr;
        bool shaped = g_variant_is_of_type(payload, G_VARIANT_TYPE("(s)"));
        if (shaped)
            g_variant_get(payload, "(&s)", &text);
        if (!shaped && g_seen.calls)
            finding("speaker callback ran for a %s payload", g_variant_get_type_string(payload));
        if (own_name && shaped && strcmp(text, "null") == 0 && !(g_seen.calls == 1 && g_seen.null_speaker))
            finding("\"null\" did not give one NULL speaker");
        break;
    }
    case 1: {
        const char *text = nullptr;
        bool shaped = g_variant_is_of_type(payload, G_VARIANT_TYPE("(s)"));
        if (shaped)
            g_variant_get(payload, "(&s)", &text);
        if (own_name && (g_seen.calls != (shaped ? 1 : 0)))
            finding("status callback ran %d times for a %s payload", g_seen.calls, g_variant_get_type_string(payload));
        if (g_seen.calls && g_seen.value != (strcmp(text, "InProgress") == 0 ? 1 : 2))
            finding("status %d for \"%s\"", g_seen.value, text);
        break;
    }
    default: {
        bool shaped = g_variant_is_of_type(payload, G_VARIANT_TYPE("(si)"));
        if (own_name && g_seen.calls != (shaped ? 1 : 0))
            finding("volume callback ran %d times for a %s payload", g_seen.calls, g_variant_get_type_string(payload));
        if (g_seen.calls) {
            const char *address = nullptr;
            int value = 0;
            g_variant_get(payload, "(&si)", &address, &value);
            int want = pick % 4 == 2 ? value : value != 0;
            if (g_seen.address != address || g_seen.value != want)
                finding("callback got %s %d for %s %d", g_seen.address.c_str(), g_seen.value, address, value);
        }
        break;
    }
    }
    g_variant_unref(payload);
    return 0;
}

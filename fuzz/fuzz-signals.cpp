/* The signals' payloads, built from the fuzz bytes: the earphone state
 * through a service on a private bus, the firmware result and the speaker
 * signals through their handlers.  A callback runs only for its own
 * signal name and a payload of the documented shape, once, with what the
 * payload holds. */
#include "harness.h"

#include <cstring>

using namespace halvo_fuzz;

namespace {

/* What the callbacks were given. */
struct Seen {
    int calls = 0;
    bool null_speaker = false;
    std::string address;
    int value = 0, result = 0;
} g_seen;

void saw(const char *address, int value)
{
    g_seen.calls++;
    g_seen.address = address ? address : "<null>";
    g_seen.value = value;
}

/* A call to the service, answered: what the service sent before it (the
 * bus keeps one sender's order) and the match rules the library sent
 * before the call are through; the signals that came are then dispatched. */
void round_trip()
{
    GDBusConnection *bus = __halvo_api_get_system_connection();
    GVariant *answer = g_dbus_connection_call_sync(bus, "com.marlox.tv.bt.connectionmanager", "/",
                                                   "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                                   G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (answer)
        g_variant_unref(answer);
    g_object_unref(bus);
    /* The library takes the signals in on its bus thread, and hands each
     * to this thread's context. */
    halvo_core::run_on_bus([] {});
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

/* The bus, and every callback. */
void start()
{
    service::start();
    if (halvo_tuvo_switching_set_connection_state_cb(
            [](int result, const char *address, int connected, void *) {
                g_seen.result = result;
                saw(address, connected);
            },
            nullptr) != 0 ||
        halvo_register_bt_spaeker_info_changed_cb(
            [](speaker_t *speaker, void *) {
                saw("", 0);
                g_seen.null_speaker = speaker == nullptr;
                if (speaker)
                    touch({speaker->vsid, speaker->address, speaker->name, speaker->icon_type});
            },
            nullptr) != 0 ||
        halvo_set_last_bluetooth_speakers_connecting_status_changed_cb([](int status, void *) { saw("", status); },
                                                                       nullptr) != 0 ||
        halvo_api_set_volume_changed_callback([](const char *address, int volume, void *) { saw(address, volume); },
                                              nullptr) != 0 ||
        halvo_api_set_volume_controlable_changed_callback(
            [](const char *address, bool controlable, void *) { saw(address, controlable); }, nullptr) != 0)
        finding("cannot set the callbacks");
    round_trip();
}

/* The earphone connection state, through the bus: the callback runs once
 * for an "(isi)" payload and never for another shape. */
void earphone(Input &in)
{
    halvo_core::Variant payload = variant_from(in, {"(isi)", "(is)", "(sii)", "(i)", "()", "(isii)", "(iii)", "(isb)"});
    g_seen = Seen();
    service::emit("tuvo_swtiching_connection_state_changed", g_variant_ref(payload.get()));
    round_trip();

    bool shaped = g_variant_is_of_type(payload.get(), G_VARIANT_TYPE("(isi)"));
    if (g_seen.calls != (shaped ? 1 : 0))
        finding("callback ran %d times for a %s payload", g_seen.calls, g_variant_get_type_string(payload.get()));
    if (shaped) {
        int result = 0, connected = 0;
        const char *address = nullptr;
        g_variant_get(payload.get(), "(i&si)", &result, &address, &connected);
        if (g_seen.result != result || g_seen.address != address || g_seen.value != connected)
            finding("callback got %d %s %d", g_seen.result, g_seen.address.c_str(), g_seen.value);
    }
}

void handle(GDBusSignalCallback handler, const char *name, GVariant *payload)
{
    g_seen = Seen();
    handler(nullptr, ":1.1", "/org/velmo/pellix", "org.velmo.pellix", name, payload, nullptr);
    /* The handler hands its event to this thread's context. */
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

const char *text_of(GVariant *payload)
{
    const char *text = nullptr;
    g_variant_get(payload, "(&s)", &text);
    return text;
}

/* The firmware result: only a one-string tuple records a result, 1
 * exactly for "OK". */
void fw_result(Input &in)
{
    static const char *const names[] = {"zemo_fw_update_result", "zemo_fw_update_resul", "zemo_fw_update_result_",
                                        "other", ""};
    const char *name = names[in.byte() % G_N_ELEMENTS(names)];
    halvo_core::Variant payload = variant_from(in, {"(s)", "(i)", "()", "(b)", "(ss)", "(sv)", "(as)", "(ay)", "(si)"});
    g_is_zemo_update_done = false;
    g_zemo_update_result = 7;
    handle(__halvo_api_handle_recieved_signal_cb, name, payload.get());

    bool recorded = name == names[0] && g_variant_is_of_type(payload.get(), G_VARIANT_TYPE("(s)"));
    if (g_is_zemo_update_done != recorded)
        finding("result recorded: %d, expected %d", g_is_zemo_update_done, recorded);
    if (g_zemo_update_result != (recorded ? strcmp(text_of(payload.get()), "OK") == 0 : 7))
        finding("result %d for a %s payload", g_zemo_update_result, g_variant_get_type_string(payload.get()));
}

bool holds_si(GVariant *payload, bool as_flag)
{
    const char *address = nullptr;
    int value = 0;
    g_variant_get(payload, "(&si)", &address, &value);
    return g_seen.address == address && g_seen.value == (as_flag ? value != 0 : value);
}

/* The speaker signals, each with the payload's shape, whether the
 * callback must run for every such payload (the info's only for "null",
 * which gives one NULL speaker), and whether it got what the payload
 * holds. */
const struct {
    const char *name;
    GDBusSignalCallback handler;
    const char *shape;
    bool always;
    bool (*holds)(GVariant *);
} speaker_signals[] = {
    {"bt_spk_info_changed", _halvo_bt_spk_info_changed, "(s)", false,
     [](GVariant *p) { return strcmp(text_of(p), "null") != 0 || g_seen.null_speaker; }},
    {"last_connecting_status_changed", _halvo_last_connecting_status_changed, "(s)", true,
     [](GVariant *p) { return g_seen.value == (strcmp(text_of(p), "InProgress") == 0 ? 1 : 2); }},
    {"bt_spk_volume_changed_by_address", _halvo_bt_spk_volume_changed_by_address, "(si)", true,
     [](GVariant *p) { return holds_si(p, false); }},
    {"bt_spk_volume_controlable_changed_by_address", _halvo_bt_spk_volume_controlable_changed_by_address, "(si)",
     true, [](GVariant *p) { return holds_si(p, true); }},
};

/* The first byte picks the signal (its low bits), the name (0x40: one the
 * handler is not for) and the payload (0x80: typed, else "(s)"). */
void speaker(Input &in)
{
    uint8_t pick = in.byte();
    const auto &row = speaker_signals[pick % 4];
    bool own_name = !(pick & 0x40);
    std::string name = own_name ? row.name : std::string(row.name) + "_";
    halvo_core::Variant payload =
        payload_from(in, pick & 0x80, {"(s)", "(si)", "(i)", "()", "(is)", "(sii)", "(ss)", "(sb)", "(su)"});
    handle(row.handler, name.c_str(), payload.get());

    bool shaped = own_name && g_variant_is_of_type(payload.get(), G_VARIANT_TYPE(row.shape));
    bool must = shaped && (row.always || strcmp(text_of(payload.get()), "null") == 0);
    if (g_seen.calls > (shaped ? 1 : 0) || (must && !g_seen.calls))
        finding("%s callback ran %d times for a %s payload", name.c_str(), g_seen.calls,
                g_variant_get_type_string(payload.get()));
    if (g_seen.calls && !row.holds(payload.get()))
        finding("%s callback got %s %d", name.c_str(), g_seen.address.c_str(), g_seen.value);
}

} // namespace

const Target halvo_fuzz::target = {start, {earphone, fw_result, speaker}};

/* Reconnection of the last speakers, volume and mute, icons and speaker
 * replacement, against the peer on a private bus. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <string>
#include <vector>

using namespace halvo_test;

/* ------------------------------------------------------------------ */
/* Reconnection status                                                 */
/* ------------------------------------------------------------------ */

namespace {

/* Each delivery as (address, value); the status callback has no address. */
using Got = std::vector<std::pair<std::string, int>>;

struct Events {
    Got got;
    void *user_data = nullptr;
};

void record(void *user_data, const char *address, int value)
{
    auto *e = static_cast<Events *>(user_data);
    e->got.emplace_back(address, value);
    e->user_data = user_data;
}
void on_status(int status, void *user_data) { record(user_data, "", status); }
void on_volume(const char *address, int volume, void *user_data) { record(user_data, address, volume); }
void on_controlable(const char *address, bool controlable, void *user_data) { record(user_data, address, controlable); }

} // namespace

TEST(Reconnection, OnlyTheExactInProgressTextGivesStatus1)
{
    Events events;
    LogCapture log;
    EXPECT_EQ(halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(nullptr, nullptr), 3);
    EXPECT_TRUE(log.contains("cb is NULL!!"));
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb_internal(), 3)
        << "the NULL callback subscribed nothing";

    ASSERT_EQ(halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(on_status, &events), 0);
    for (const char *text : {"InProgress", "inprogress", "InProgress!", "", "InProgres", "InProgress"})
        Peer::emit("last_connecting_status_changed", g_variant_new("(s)", text));
    Peer::sync_signals();
    EXPECT_EQ(events.got, (Got{{"", 1}, {"", 2}, {"", 2}, {"", 2}, {"", 2}, {"", 1}}));
    EXPECT_EQ(events.user_data, &events);

    /* Another name, or no payload, reports nothing. */
    GVariant *payload = g_variant_ref_sink(g_variant_new("(s)", "InProgress"));
    _halvo_last_connecting_status_changed(nullptr, nullptr, nullptr, nullptr, "last_connecting_status", payload,
                                          nullptr);
    _halvo_last_connecting_status_changed(nullptr, nullptr, nullptr, nullptr, "last_connecting_status_changed",
                                          nullptr, nullptr);
    g_variant_unref(payload);
    EXPECT_EQ(events.got.size(), 6u);
    EXPECT_TRUE(log.contains("Different signal name"));
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb(), 0);
}

/* ------------------------------------------------------------------ */
/* Volume and mute                                                     */
/* ------------------------------------------------------------------ */

TEST(Volume, OutputsAreWrittenWheneverAnAnswerArrives)
{
    int volume = 99, count = 99;
    bool controlable = false;
    LogCapture log;

    /* A failing result still carries the value. */
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 1, 30));
    EXPECT_EQ(halvo_api_get_volume("AA:01", &volume), 1);
    EXPECT_EQ(volume, 30);
    EXPECT_TRUE(log.contains("result :1, vol : 30"));
    Peer::reply("get_num_of_speaker", g_variant_new("(ii)", 0, 3));
    EXPECT_EQ(halvo_api_get_num_of_connected_spaker(&count), 0);
    EXPECT_EQ(count, 3);
    Peer::reply("get_volume_controlable_by_address", g_variant_new("(ii)", 0, 2));
    EXPECT_EQ(halvo_api_get_volume_controlable("AA:01", &controlable), 0);
    EXPECT_TRUE(controlable);
    EXPECT_TRUE(log.contains("result :0, vol : 1")) << "the stored flag is logged";
    Peer::reply("get_volume_controlable_by_address", g_variant_new("(ii)", 0, 0));
    EXPECT_EQ(halvo_api_get_volume_controlable_internal("AA:01", &controlable), 0);
    EXPECT_FALSE(controlable);

    EXPECT_EQ(Peer::calls("get_volume_by_address").at(0).text(), "('AA:01',)");
    EXPECT_EQ(Peer::calls("get_num_of_speaker").back().text(), "()");
}

TEST(Volume, CommandsSendTheirArgumentsAndReturnTheResult)
{
    LogCapture log;
    /* The service's integer comes back unchanged. */
    const struct {
        const char *method;
        int (*op)(void);
        const char *args, *entry;
    } commands[] = {
        {"set_volume_by_address", [] { return halvo_api_set_volume("AA:01", 45); }, "('AA:01', 45)",
         "result :-4, vol : 45"},
        {"spk_mute_unmute", halvo_api_mute_unmute, "()", "toggle mute"},
        {"spk_vol_down", halvo_api_volume_down, "()", "volume down"},
        {"spk_vol_up", halvo_api_volume_up, "()", "volume up"},
        {"connect_last_btspk_list", [] { return halvo_connect_to_last_bluetooth_speakers(true); }, "(true,)",
         "show_connecting_ui = 1"},
        {"connect_last_btspk_list", [] { return halvo_connect_to_last_bluetooth_speakers(false); }, "(false,)",
         "show_connecting_ui = 0"},
        {"disconnect_last_btspk_list", halvo_disconnect_to_last_bluetooth_speakers, "()", nullptr},
        {"replace_current_bluetooth_speaker", [] { return halvo_api_replace_current_speaker("AA:BB:CC:DD:EE:01"); },
         "('AA:BB:CC:DD:EE:01',)", nullptr},
        {"replace_current_bluetooth_speaker", [] { return halvo_api_replace_current_speaker_internal("AA:02"); },
         "('AA:02',)", nullptr},
    };
    int n = -4;
    for (const auto &c : commands) {
        Peer::reply(c.method, g_variant_new("(i)", n));
        EXPECT_EQ(c.op(), n) << c.method;
        EXPECT_TRUE(!c.entry || log.contains(c.entry)) << c.method;
        EXPECT_EQ(Peer::calls(c.method).back().text(), c.args);
        n++;
    }
}

TEST(Volume, StoredMuteFlagIsOneInteger)
{
    const char *key = "memory/menu/network/screenmirroring/get_volume_mute_bt";
    bool muted = false;
    store_write(key, " 12\n");
    EXPECT_EQ(halvo_api_get_mute_state(&muted), 0);
    EXPECT_TRUE(muted) << "any nonzero value";
    store_write(key, "0");
    EXPECT_EQ(halvo_api_get_mute_state_internal(&muted), 0);
    EXPECT_FALSE(muted);

    LogCapture log;
    muted = true;
    store_remove(key);
    EXPECT_EQ(halvo_api_get_mute_state(&muted), 5);
    for (const char *text : {"", "  ", "yes", "1e30", "12abc", "null", "99999999999"}) {
        store_write(key, text);
        EXPECT_EQ(halvo_api_get_mute_state(&muted), 5) << text;
        EXPECT_TRUE(muted) << text << ": left as it was";
    }
    EXPECT_EQ(log.count("fail to get mute state"), 8);
}

TEST(VolumeSignals, ChangesReachTheLatestCallbackAndNothingElseDoes)
{
    Events first, volume, controlable;
    ASSERT_EQ(halvo_api_set_volume_changed_callback(on_volume, &first), 0);
    ASSERT_EQ(halvo_api_set_volume_changed_callback(on_volume, &volume), 0);
    ASSERT_EQ(halvo_api_set_volume_controlable_changed_callback(on_controlable, &controlable), 0);
    LogCapture log;

    Peer::emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA:01", 30));
    Peer::emit("bt_spk_volume_controlable_changed_by_address", g_variant_new("(si)", "AA:02", 7));
    Peer::emit("bt_spk_volume_controlable_changed_by_address", g_variant_new("(si)", "AA:03", 0));
    Peer::sync_signals();
    EXPECT_TRUE(first.got.empty());
    EXPECT_EQ(volume.user_data, &volume);
    EXPECT_TRUE(log.contains("address : AA:02, controlable : 7")) << "the raw value is logged";
    EXPECT_FALSE(log.contains("address is NULL")) << "every payload had its address";

    /* Another row's name, or no payload, reaches no callback. */
    GVariant *ok = g_variant_ref_sink(g_variant_new("(si)", "AA:01", 1));
    _halvo_bt_spk_volume_changed_by_address(nullptr, nullptr, nullptr, nullptr,
                                            "bt_spk_volume_controlable_changed_by_address", ok, nullptr);
    _halvo_bt_spk_volume_controlable_changed_by_address(nullptr, nullptr, nullptr, nullptr,
                                                        "bt_spk_volume_changed_by_address", ok, nullptr);
    EXPECT_EQ(log.count("Different signal name"), 2);
    _halvo_bt_spk_volume_changed_by_address(nullptr, nullptr, nullptr, nullptr, "bt_spk_volume_changed_by_address",
                                            nullptr, nullptr);
    EXPECT_TRUE(log.contains("parameter is NULL"));
    g_variant_unref(ok);
    EXPECT_EQ(volume.got, (Got{{"AA:01", 30}}));
    EXPECT_EQ(controlable.got, (Got{{"AA:02", 1}, {"AA:03", 0}}));

    EXPECT_EQ(halvo_api_unset_volume_changed_callback(), 0);
    EXPECT_EQ(halvo_api_unset_volume_controlable_changed_callback(), 0);
    Peer::emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA:01", 31));
    Peer::sync_signals();
    EXPECT_EQ(volume.got.size(), 1u) << "nothing after unset";
    EXPECT_EQ(halvo_api_unset_volume_changed_callback(), 3);
    EXPECT_EQ(halvo_api_unset_volume_controlable_changed_callback_internal(), 3);
}

/* ------------------------------------------------------------------ */
/* Icons                                                               */
/* ------------------------------------------------------------------ */

namespace {

/* Points the resource lookup at a root of the test's own. */
struct ResourceRoot {
    std::string root = "/tmp/halvo-icons-test";
    ResourceRoot() { g_setenv("UICONF_RESOURCE_ROOT", root.c_str(), TRUE); }
    ~ResourceRoot() { g_unsetenv("UICONF_RESOURCE_ROOT"); }
    std::string icon(const char *name) const { return root + "/" + name + ".png"; }
};

/* The path for @code; the look-up succeeds whatever it finds. */
std::string last_icon(const char *code)
{
    char *path = nullptr;
    EXPECT_EQ(halvo_api_get_last_bluetooth_speaker_icon_path(code, &path), 0) << str(code);
    return take(path);
}

} // namespace

TEST(Icons, TheServicePathAsItComesElseTheLocalTable)
{
    ResourceRoot resources;
    const std::string generic = resources.icon("i_icon_device_m_bt_speaker");
    Peer::reply("get_last_bluetooth_speaker_icon_path", g_variant_new("(s)", "/srv/icons/bar 1.svg"));
    EXPECT_EQ(last_icon("SB"), "/srv/icons/bar 1.svg");
    EXPECT_EQ(Peer::calls("get_last_bluetooth_speaker_icon_path").at(0).text(), "('SB',)");
    Peer::reply("get_last_bluetooth_speaker_icon_path", g_variant_new("(s)", ""));
    EXPECT_EQ(last_icon("zz"), "");

    /* An error reply, or a reply without a path, falls back to the local table. */
    Peer::error("get_last_bluetooth_speaker_icon_path");
    EXPECT_EQ(last_icon("PS"), resources.icon("i_icon_device_m_portable_speaker"));
    Peer::reply("get_last_bluetooth_speaker_icon_path", g_variant_new("(i)", 1));
    EXPECT_EQ(last_icon("SB"), resources.icon("i_icon_device_m_soundbar"));

    Peer::stop();
    for (const char *code : {"", "ps", "ZZ", "PSX", "P"})
        EXPECT_EQ(last_icon(code), generic) << "'" << code << "'";
    EXPECT_EQ(last_icon(nullptr), generic);

    /* The search reaches the table's last row; the internal path reads the same table. */
    EXPECT_EQ(last_icon("S3"), resources.icon("i_icon_device_m_3d_surround_soundbar"));
    char *path = nullptr;
    EXPECT_EQ(halvo_api_get_common_icon_path_internal("TW", &path), 0);
    EXPECT_EQ(take(path), resources.icon("i_icon_device_m_tower_speaker"));
    Peer::start();
}

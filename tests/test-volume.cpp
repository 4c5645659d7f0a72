/* Reconnection of the last speakers, volume and mute, icons and speaker
 * replacement, against the peer on a private bus. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <string>
#include <utility>
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
    EXPECT_EQ(halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(nullptr, nullptr), 3);
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
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb(), 0);
}

/* ------------------------------------------------------------------ */
/* Volume and mute                                                     */
/* ------------------------------------------------------------------ */

TEST(Volume, OutputsAreWrittenWheneverAnAnswerArrives)
{
    int volume = 99, count = 99;
    bool controlable = false;
    /* A failing result still carries the value. */
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 1, 30));
    EXPECT_EQ(halvo_api_get_volume("AA:01", &volume), 1);
    EXPECT_EQ(volume, 30);
    Peer::reply("get_num_of_speaker", g_variant_new("(ii)", 0, 3));
    EXPECT_EQ(halvo_api_get_num_of_connected_spaker(&count), 0);
    EXPECT_EQ(count, 3);
    Peer::reply("get_volume_controlable_by_address", g_variant_new("(ii)", 0, 2));
    EXPECT_EQ(halvo_api_get_volume_controlable("AA:01", &controlable), 0);
    EXPECT_TRUE(controlable);
    Peer::reply("get_volume_controlable_by_address", g_variant_new("(ii)", 0, 0));
    EXPECT_EQ(halvo_api_get_volume_controlable_internal("AA:01", &controlable), 0);
    EXPECT_FALSE(controlable);

    EXPECT_EQ(Peer::calls("get_volume_by_address").at(0).text(), "('AA:01',)");
    EXPECT_EQ(Peer::calls("get_num_of_speaker").back().text(), "()");
}

TEST(Volume, CommandsSendTheirArgumentsAndReturnTheResult)
{
    /* The service's integer comes back unchanged. */
    const struct {
        const char *method;
        int (*op)(void);
        const char *args;
    } commands[] = {
        {"set_volume_by_address", [] { return halvo_api_set_volume("AA:01", 45); }, "('AA:01', 45)"},
        {"spk_mute_unmute", halvo_api_mute_unmute, "()"},
        {"spk_vol_down", halvo_api_volume_down, "()"},
        {"spk_vol_up", halvo_api_volume_up, "()"},
        {"connect_last_btspk_list", [] { return halvo_connect_to_last_bluetooth_speakers(true); }, "(true,)"},
        {"connect_last_btspk_list", [] { return halvo_connect_to_last_bluetooth_speakers(false); }, "(false,)"},
        {"disconnect_last_btspk_list", halvo_disconnect_to_last_bluetooth_speakers, "()"},
        {"replace_current_bluetooth_speaker", [] { return halvo_api_replace_current_speaker("AA:BB:CC:DD:EE:01"); },
         "('AA:BB:CC:DD:EE:01',)"},
    };
    int n = -4;
    for (const auto &c : commands) {
        Peer::reply(c.method, g_variant_new("(i)", n));
        EXPECT_EQ(c.op(), n) << c.method;
        EXPECT_EQ(Peer::calls(c.method).back().text(), c.args);
        n++;
    }
}

/* A second set replacing the first, and nothing after an unset, are held
 * by StoreWatches: the single-slot setters share that code. */
TEST(VolumeSignals, ChangesReachTheCallbackAndNothingElseDoes)
{
    Events volume, controlable;
    ASSERT_EQ(halvo_api_set_volume_changed_callback(on_volume, &volume), 0);
    ASSERT_EQ(halvo_api_set_volume_controlable_changed_callback(on_controlable, &controlable), 0);
    LogCapture log;

    Peer::emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA:01", 30));
    Peer::emit("bt_spk_volume_controlable_changed_by_address", g_variant_new("(si)", "AA:02", 7));
    Peer::emit("bt_spk_volume_controlable_changed_by_address", g_variant_new("(si)", "AA:03", 0));
    Peer::sync_signals();
    EXPECT_EQ(volume.user_data, &volume);
    EXPECT_FALSE(log.contains("address is NULL")) << "every payload had its address";

    /* Another row's name, or no payload, reaches no callback. */
    GVariant *ok = g_variant_ref_sink(g_variant_new("(si)", "AA:01", 1));
    _halvo_bt_spk_volume_changed_by_address(nullptr, nullptr, nullptr, nullptr,
                                            "bt_spk_volume_controlable_changed_by_address", ok, nullptr);
    _halvo_bt_spk_volume_controlable_changed_by_address(nullptr, nullptr, nullptr, nullptr,
                                                        "bt_spk_volume_changed_by_address", ok, nullptr);
    _halvo_bt_spk_volume_changed_by_address(nullptr, nullptr, nullptr, nullptr, "bt_spk_volume_changed_by_address",
                                            nullptr, nullptr);
    g_variant_unref(ok);
    EXPECT_EQ(volume.got, (Got{{"AA:01", 30}}));
    EXPECT_EQ(controlable.got, (Got{{"AA:02", 1}, {"AA:03", 0}}));

    EXPECT_EQ(halvo_api_unset_volume_changed_callback(), 0);
    EXPECT_EQ(halvo_api_unset_volume_controlable_changed_callback(), 0);
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

/* ------------------------------------------------------------------ */
/* Non-blocking pairs                                                  */
/* ------------------------------------------------------------------ */

namespace {

/* The outcome and the address of each record of *@list, a held_list()
 * that @release frees. */
template <typename T, int (*release)(GSList **)> std::string addresses(int result, GSList **list)
{
    std::string s = outcome(result);
    for (GSList *l = *list; l != nullptr; l = l->next)
        s += "|" + str(static_cast<T *>(l->data)->address);
    release(list);
    return s;
}
const auto speakers = addresses<speaker_t, halvo_free_connected_bt_spaekr_infos>;
const auto lasts = addresses<last_spk_info_t, halvo_free_last_bluetooth_speakers>;

char good_text[] = "SB";
bt_spk_info_t info = {good_text, good_text, good_text, BT_SPK_AUDIO_TYPE_FIRST};

/* A flag starts true: a success reads false, and a failure writes nothing.
 * The stored mute flag is read before the toggle: gone, no toggle is
 * asked for.  A failed icon call falls back to the local table. */
const Twin kTwins[] = {
    {"get_volume_by_address", "(0, 30)", true, TWIN_OUT_CALLS(outcome, int, -7, halvo_api_get_volume, address(bad))},
    {"get_volume_controlable_by_address", "(0, 0)", true,
     TWIN_OUT_CALLS(outcome, bool, true, halvo_api_get_volume_controlable, address(bad))},
    {"set_volume_by_address", "(0,)", true, TWIN_CALLS(outcome, halvo_api_set_volume, address(bad), 9)},
    {"get_num_of_speaker", "(0, 2)", false, TWIN_OUT_CALLS(outcome, int, -7, halvo_api_get_num_of_connected_spaker)},
    {"spk_mute_unmute", "(0,)", false, TWIN_CALLS(outcome, halvo_api_mute_unmute)},
    {"spk_vol_down", "(0,)", false, TWIN_CALLS(outcome, halvo_api_volume_down)},
    {"spk_vol_up", "(0,)", false, TWIN_CALLS(outcome, halvo_api_volume_up)},
    {nullptr, nullptr, false, TWIN_OUT_CALLS(outcome, bool, true, halvo_api_get_mute_state), HALVO_FAILURE_STORE},
    {"spk_mute_unmute", "(0,)", false, TWIN_CALLS(outcome, halvo_api_set_mute, true), HALVO_FAILURE_STORE},
    {"get_last_bluetooth_speaker_icon_path", "('/srv/ps.png',)", true,
     TWIN_OUT_CALLS(outcome, char *, nullptr, halvo_api_get_last_bluetooth_speaker_icon_path, arg(bad ? "\xff" : "PS")),
     HALVO_FAILURE_NONE},
    {"replace_current_bluetooth_speaker", "(0,)", true,
     TWIN_CALLS(outcome, halvo_api_replace_current_speaker, address(bad))},
    {"connect_last_btspk_list", "(0,)", false, TWIN_CALLS(outcome, halvo_connect_to_last_bluetooth_speakers, true)},
    {"disconnect_last_btspk_list", "(0,)", false, TWIN_CALLS(outcome, halvo_disconnect_to_last_bluetooth_speakers)},
    {"set_connected_bt_speaker_info", "(0,)", true,
     TWIN_CALLS(outcome, halvo_set_connected_bt_speaker_info, arg(bad ? nullptr : "v"), &info)},
    {"set_connected_bt_speaker_info", "(0,)", true,
     TWIN_CALLS(outcome, halvo_set_connected_bt_speaker_info_with_serialization, address(bad))},
    /* The lists refuse no list to append to. */
    {nullptr, nullptr, true,
     TWIN_OUTS_CALLS(speakers, GSList *, held_list(sizeof(speaker_t)), (bad ? nullptr : &o),
                     halvo_get_connected_bt_speaker_infos),
     HALVO_FAILURE_STORE},
    {nullptr, nullptr, true,
     TWIN_OUTS_CALLS(lasts, GSList *, held_list(sizeof(last_spk_info_t)), (bad ? nullptr : &o),
                     halvo_get_last_bluetooth_speakers),
     HALVO_FAILURE_STORE},
};

} // namespace

TEST(VolumePairs, EachPairAnswersAsItsBlockingTwin)
{
    expect_twins_agree(kTwins, G_N_ELEMENTS(kTwins), [](bool failing) {
        if (failing) {
            for (const char *key : {kMuteKey, kConnectedKey, kLastKey})
                store_remove(key);
            return;
        }
        store_write(kMuteKey, "0");
        store_write(kConnectedKey, R"([{"address":"AA:01"},{"address":"AA:02"}])");
        store_write(kLastKey, R"([{"address":"AA:03"}])");
    });
}

TEST(SetMute, TogglesOnlyWhenTheStoredStateDiffers)
{
    Peer::reply("spk_mute_unmute", g_variant_new("(i)", 7));
    const struct {
        const char *stored; /* NULL: no key */
        bool muted;
        int rc;
        size_t toggles;
    } cases[] = {{"0", false, 0, 0}, {" 4", true, 0, 0}, {"1", false, 7, 1}, {"0", true, 7, 2}, {nullptr, true, 5, 2}};
    for (const auto &c : cases) {
        c.stored ? store_write(kMuteKey, c.stored) : store_remove(kMuteKey);
        EXPECT_EQ(halvo_api_set_mute(c.muted), c.rc) << str(c.stored);
        EXPECT_EQ(Peer::calls("spk_mute_unmute").size(), c.toggles) << str(c.stored);
    }
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_STORE);
}

TEST(SetMute, TwoQuickCallsEndInTheStateOfTheLaterOne)
{
    /* The peer stands in for the service, which stores the new flag before
     * it answers a toggle: the test writes it while the toggle is held. */
    store_write(kMuteKey, "0");
    Peer::hold("spk_mute_unmute", g_variant_new("(i)", 0));
    int rc[2] = {-1, -1};
    auto done = [](GObject *, GAsyncResult *result, gpointer data) {
        *static_cast<int *>(data) = halvo_api_set_mute_finish(result);
    };
    halvo_api_set_mute_async(true, nullptr, done, &rc[0]);
    halvo_api_set_mute_async(false, nullptr, done, &rc[1]);
    for (size_t toggles : {1, 2}) {
        ASSERT_TRUE(run_until([&] { return Peer::calls("spk_mute_unmute").size() == toggles; })) << toggles;
        EXPECT_EQ(rc[1], -1) << "the later call waits for its turn";
        store_write(kMuteKey, toggles == 1 ? "1" : "0");
        Peer::release("spk_mute_unmute");
    }
    ASSERT_TRUE(run_until([&] { return rc[0] != -1 && rc[1] != -1; }));
    EXPECT_EQ(rc[0], 0);
    EXPECT_EQ(rc[1], 0);
    EXPECT_EQ(Peer::calls("spk_mute_unmute").size(), 2u) << "the later call saw the earlier one's toggle";
}

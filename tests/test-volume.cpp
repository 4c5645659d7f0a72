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

/* ------------------------------------------------------------------ */
/* Non-blocking pairs                                                  */
/* ------------------------------------------------------------------ */

namespace {

const char *const kMuteKey = "memory/menu/network/screenmirroring/get_volume_mute_bt";
const char *const kConnectedKey = "memory/org.velmo.pellix/soundoutput_info";
const char *const kLastKey = "db/pellix/last_btspk_list";

/* What an operation gave: its result and outputs (left at these values
 * when untouched). */
struct Outs {
    int rc = -1000, n = -7;
    bool flag = false;
    char *text = nullptr;
    GSList *list = nullptr;
};

/* One operation's blocking twin and pair; @bad gives an input it refuses. */
struct Twins {
    const char *name;
    bool has_input;
    const char *on_error; /* the failure when the service errs or the key is gone */
    void (*blocking)(bool bad, Outs &);
    void (*start)(bool bad, GAsyncReadyCallback, gpointer);
    void (*finish)(GAsyncResult *, Outs &);
    int (*release)(GSList **) = nullptr;
};

const char *addr(bool bad) { return bad ? nullptr : "AA:01"; }

char bad_text[] = "\xff", good_text[] = "SB";
bt_spk_info_t info = {good_text, good_text, good_text, BT_SPK_AUDIO_TYPE_FIRST};

const Twins kTwins[] = {
    {"get_volume", true, "error reply", [](bool bad, Outs &o) { o.rc = halvo_api_get_volume(addr(bad), &o.n); },
     [](bool bad, GAsyncReadyCallback cb, gpointer d) { halvo_api_get_volume_async(addr(bad), nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_get_volume_finish(r, &o.n); }},
    {"get_volume_controlable", true, "error reply",
     [](bool bad, Outs &o) { o.rc = halvo_api_get_volume_controlable(addr(bad), &o.flag); },
     [](bool bad, GAsyncReadyCallback cb, gpointer d) {
         halvo_api_get_volume_controlable_async(addr(bad), nullptr, cb, d);
     },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_get_volume_controlable_finish(r, &o.flag); }},
    {"set_volume", true, "error reply", [](bool bad, Outs &o) { o.rc = halvo_api_set_volume(addr(bad), 9); },
     [](bool bad, GAsyncReadyCallback cb, gpointer d) { halvo_api_set_volume_async(addr(bad), 9, nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_set_volume_finish(r); }},
    {"get_num_of_connected_spaker", false, "error reply",
     [](bool, Outs &o) { o.rc = halvo_api_get_num_of_connected_spaker(&o.n); },
     [](bool, GAsyncReadyCallback cb, gpointer d) { halvo_api_get_num_of_connected_spaker_async(nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_get_num_of_connected_spaker_finish(r, &o.n); }},
    {"mute_unmute", false, "error reply", [](bool, Outs &o) { o.rc = halvo_api_mute_unmute(); },
     [](bool, GAsyncReadyCallback cb, gpointer d) { halvo_api_mute_unmute_async(nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_mute_unmute_finish(r); }},
    {"volume_down", false, "error reply", [](bool, Outs &o) { o.rc = halvo_api_volume_down(); },
     [](bool, GAsyncReadyCallback cb, gpointer d) { halvo_api_volume_down_async(nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_volume_down_finish(r); }},
    {"volume_up", false, "error reply", [](bool, Outs &o) { o.rc = halvo_api_volume_up(); },
     [](bool, GAsyncReadyCallback cb, gpointer d) { halvo_api_volume_up_async(nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_volume_up_finish(r); }},
    {"get_mute_state", false, "store", [](bool, Outs &o) { o.rc = halvo_api_get_mute_state(&o.flag); },
     [](bool, GAsyncReadyCallback cb, gpointer d) { halvo_api_get_mute_state_async(nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_get_mute_state_finish(r, &o.flag); }},
    {"set_mute", false, "store", [](bool, Outs &o) { o.rc = halvo_api_set_mute(true); },
     [](bool, GAsyncReadyCallback cb, gpointer d) { halvo_api_set_mute_async(true, nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_set_mute_finish(r); }},
    /* A failed call falls back to the local table. */
    {"icon_path", true, "no failure",
     [](bool bad, Outs &o) { o.rc = halvo_api_get_last_bluetooth_speaker_icon_path(bad ? bad_text : "PS", &o.text); },
     [](bool bad, GAsyncReadyCallback cb, gpointer d) {
         halvo_api_get_last_bluetooth_speaker_icon_path_async(bad ? bad_text : "PS", nullptr, cb, d);
     },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_get_last_bluetooth_speaker_icon_path_finish(r, &o.text); }},
    {"replace_current_speaker", true, "error reply",
     [](bool bad, Outs &o) { o.rc = halvo_api_replace_current_speaker(addr(bad)); },
     [](bool bad, GAsyncReadyCallback cb, gpointer d) {
         halvo_api_replace_current_speaker_async(addr(bad), nullptr, cb, d);
     },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_api_replace_current_speaker_finish(r); }},
    {"connect_to_last", false, "error reply",
     [](bool, Outs &o) { o.rc = halvo_connect_to_last_bluetooth_speakers(true); },
     [](bool, GAsyncReadyCallback cb, gpointer d) {
         halvo_connect_to_last_bluetooth_speakers_async(true, nullptr, cb, d);
     },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_connect_to_last_bluetooth_speakers_finish(r); }},
    {"disconnect_to_last", false, "error reply",
     [](bool, Outs &o) { o.rc = halvo_disconnect_to_last_bluetooth_speakers(); },
     [](bool, GAsyncReadyCallback cb, gpointer d) {
         halvo_disconnect_to_last_bluetooth_speakers_async(nullptr, cb, d);
     },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_disconnect_to_last_bluetooth_speakers_finish(r); }},
    {"set_connected_info", true, "error reply",
     [](bool bad, Outs &o) { o.rc = halvo_set_connected_bt_speaker_info(bad ? nullptr : "v", &info); },
     [](bool bad, GAsyncReadyCallback cb, gpointer d) {
         halvo_set_connected_bt_speaker_info_async(bad ? nullptr : "v", &info, nullptr, cb, d);
     },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_set_connected_bt_speaker_info_finish(r); }},
    {"set_connected_info_serialized", true, "error reply",
     [](bool bad, Outs &o) { o.rc = halvo_set_connected_bt_speaker_info_with_serialization(bad ? bad_text : "{}"); },
     [](bool bad, GAsyncReadyCallback cb, gpointer d) {
         halvo_set_connected_bt_speaker_info_with_serialization_async(bad ? bad_text : "{}", nullptr, cb, d);
     },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_set_connected_bt_speaker_info_with_serialization_finish(r); }},
    {"connected_speakers", false, "store", [](bool, Outs &o) { o.rc = halvo_get_connected_bt_speaker_infos(&o.list); },
     [](bool, GAsyncReadyCallback cb, gpointer d) { halvo_get_connected_bt_speaker_infos_async(nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_get_connected_bt_speaker_infos_finish(r, &o.list); },
     halvo_free_connected_bt_spaekr_infos},
    {"last_speakers", false, "store", [](bool, Outs &o) { o.rc = halvo_get_last_bluetooth_speakers(&o.list); },
     [](bool, GAsyncReadyCallback cb, gpointer d) { halvo_get_last_bluetooth_speakers_async(nullptr, cb, d); },
     [](GAsyncResult *r, Outs &o) { o.rc = halvo_get_last_bluetooth_speakers_finish(r, &o.list); },
     halvo_free_last_bluetooth_speakers},
};

/* "rc n flag text records | failure"; owned outputs are freed here. */
std::string outcome(Outs &o, const Twins &t)
{
    std::string s = std::to_string(o.rc) + " " + std::to_string(o.n) + " " + std::to_string(o.flag) + " " +
                    take(std::exchange(o.text, nullptr)) + " " + std::to_string(g_slist_length(o.list));
    if (o.list) {
        EXPECT_EQ(t.release(&o.list), 0);
    }
    return s + " | " + halvo_api_failure_name(halvo_api_last_failure());
}

void keep_result(GObject *, GAsyncResult *result, gpointer data)
{
    *static_cast<GAsyncResult **>(data) = G_ASYNC_RESULT(g_object_ref(result));
}

/* Each pair answers as its blocking twin, through the callback. */
void expect_twins(bool bad, bool erring)
{
    for (const Twins &t : kTwins) {
        if (bad && !t.has_input)
            continue;
        Outs blocking, async;
        t.blocking(bad, blocking);
        std::string want = outcome(blocking, t);
        GAsyncResult *result = nullptr;
        t.start(bad, keep_result, &result);
        EXPECT_EQ(result, nullptr) << t.name << ": never inside _async";
        ASSERT_TRUE(run_until([&] { return result != nullptr; })) << t.name;
        t.finish(result, async);
        g_object_unref(result);
        EXPECT_EQ(outcome(async, t), want) << t.name;
        const char *failure = bad ? "invalid argument" : erring ? t.on_error : "no failure";
        EXPECT_EQ(want.substr(want.find(" | ") + 3), failure) << t.name;
    }
}

} // namespace

TEST(VolumePairs, EachPairAnswersAsItsBlockingTwin)
{
    for (const char *method : {"set_volume_by_address", "spk_mute_unmute", "spk_vol_down", "spk_vol_up",
                               "replace_current_bluetooth_speaker", "connect_last_btspk_list",
                               "disconnect_last_btspk_list", "set_connected_bt_speaker_info"})
        Peer::reply(method, g_variant_new("(i)", 0));
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 30));
    Peer::reply("get_volume_controlable_by_address", g_variant_new("(ii)", 0, 1));
    Peer::reply("get_num_of_speaker", g_variant_new("(ii)", 0, 2));
    Peer::reply("get_last_bluetooth_speaker_icon_path", g_variant_new("(s)", "/srv/ps.png"));
    store_write(kMuteKey, "1");
    store_write(kConnectedKey, R"([{"address":"AA:01"},{"address":"AA:02"}])");
    store_write(kLastKey, R"([{"address":"AA:03"}])");
    expect_twins(false, false);
    expect_twins(true, false);

    /* No rules: the peer answers every call with an error. */
    Peer::reset();
    for (const char *key : {kMuteKey, kConnectedKey, kLastKey})
        store_remove(key);
    expect_twins(false, true);
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

/* Faults of the service and of the bus: an absent, a stopped and a killed
 * service, and a bus daemon that dies.  Each test prints its timings. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <glib/gstdio.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

using namespace halvo_test;

namespace {

gint64 now_ms() { return g_get_monotonic_time() / 1000; }

/* Milliseconds one call of @f takes, printed after @what. */
template <typename F> gint64 timed(const char *what, F f)
{
    gint64 t0 = now_ms();
    f();
    gint64 ms = now_ms() - t0;
    printf("%s: %lld ms\n", what, (long long)ms);
    return ms;
}

} // namespace

TEST(ServiceFaults, AbsentServiceFailsWellUnderASecond)
{
    flush_system_bus(); /* connected: what is timed is the call alone */
    Peer::stop();
    int volume = 42;
    gint64 ms = timed("absent service, call", [&] { EXPECT_EQ(halvo_api_get_volume("AA", &volume), 5); });
    EXPECT_EQ(volume, 42) << "output untouched";
    EXPECT_LT(ms, 500);
    Peer::start();
}

TEST(ServiceFaults, StoppedServiceTimesOutAndAnswersAfterContinue)
{
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 17));
    ASSERT_EQ(kill(Peer::pid(), SIGSTOP), 0);
    /* kill() returns before every thread of the peer has stopped. */
    int status = 0;
    ASSERT_EQ(waitpid(Peer::pid(), &status, WUNTRACED), Peer::pid());
    ASSERT_TRUE(WIFSTOPPED(status));
    int volume = -1, result = 0;
    gint64 waited = timed("stopped service, call", [&] { result = halvo_api_get_volume("AA", &volume); });
    ASSERT_EQ(kill(Peer::pid(), SIGCONT), 0);
    EXPECT_EQ(result, 5);
    EXPECT_EQ(volume, -1);
    EXPECT_GE(waited, 4900) << "the 5000 ms bound, not earlier";
    EXPECT_LT(waited, 7000);

    /* The service catches up with the stale call; the next one is answered. */
    gint64 next = timed("after SIGCONT, call", [&] { result = halvo_api_get_volume("AA", &volume); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(volume, 17);
    EXPECT_LT(next, 1000);
}

TEST(ServiceFaults, KilledServiceFailsAtOnceAndANewOneIsUsed)
{
    static int signals = 0;
    auto count = [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
                    gpointer) { signals++; };
    ASSERT_EQ(_halvo_api_subscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, count, nullptr), 0);
    Peer::die("get_volume_by_address");
    int volume = -1, result = 0;
    gint64 waited = timed("service killed by the call", [&] { result = halvo_api_get_volume("AA", &volume); });
    EXPECT_EQ(result, 5);
    EXPECT_LT(waited, 2000) << "the bus reports the lost peer; no wait for the 5000 ms bound";

    Peer::stop(); /* reaps the killed process */
    Peer::start();
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 23));
    EXPECT_EQ(halvo_api_get_volume("AA", &volume), 0);
    EXPECT_EQ(volume, 23);

    /* The subscription does not name a sender: the new service's signals arrive. */
    Peer::emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 4));
    Peer::sync_signals();
    EXPECT_EQ(signals, 1);
    EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED), 0);
}

/* What an application sees when the bus daemon dies and comes back: calls
 * fail at once; the dead connection's subscriptions are dropped, so a set
 * while the bus is away says so; what stays set, and the firmware result
 * while initialised, is subscribed again by the library itself once the
 * bus is back, with no call from the application. */
TEST(BusFaults, DaemonRestartDropsSubscriptionsAndResubscribesByItself)
{
    OwnBus own;
    PrivateBus &bus = own.bus;
    bus.start_peer();
    /* The application runs a main context of its own in this thread. */
    GMainContext *context = g_main_context_new();
    g_main_context_push_thread_default(context);

    static int volumes, controls;
    volumes = controls = 0;
    auto on_volume = [](const char *, int, void *) { volumes++; };
    auto on_control = [](const char *, bool, void *) { controls++; };
    ASSERT_EQ(halvo_initialize(), 0);
    ASSERT_EQ(halvo_api_set_volume_changed_callback(on_volume, nullptr), 0);
    ASSERT_EQ(halvo_api_set_volume_controlable_changed_callback(on_control, nullptr), 0);
    flush_system_bus();
    bus.emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 1));
    bus.sync_signals();
    ASSERT_EQ(volumes, 1);

    bus.stop_peer();
    bus.kill_daemon();
    int volume = -1;
    for (int i = 0; i < 3; i++) {
        int result = 0;
        gint64 ms = timed("bus daemon gone, call", [&] { result = halvo_api_get_volume("AA", &volume); });
        EXPECT_EQ(result, 5);
        EXPECT_LT(ms, 1000);
    }
    /* The stale id no longer says "already subscribed". */
    EXPECT_EQ(halvo_api_unset_volume_changed_callback(), 0);
    EXPECT_EQ(halvo_api_set_volume_changed_callback(on_volume, nullptr), 5);
    /* The other families that listen on the bus say so too, and keep
     * nothing set. */
    EXPECT_EQ(halvo_set_last_bluetooth_speakers_connecting_status_changed_cb([](int, void *) {}, nullptr), 5);
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb(), 3);
    EXPECT_EQ(halvo_register_bt_spaeker_info_changed_cb([](speaker_t *, void *) {}, nullptr), 5);
    EXPECT_EQ(halvo_unregister_bt_spaeker_info_changed_cb(), 3);
    /* The families that follow the store need no bus. */
    EXPECT_EQ(halvo_set_connected_bt_speakers_changed_cb([](GSList *, void *) {}, nullptr), 0);
    EXPECT_EQ(halvo_unset_connected_bt_speakers_changed_cb(), 0);
    EXPECT_EQ(halvo_api_set_mute_changed_callback([](bool, void *) {}, nullptr), 0);
    EXPECT_EQ(halvo_api_unset_mute_changed_callback(), 0);
    /* A row refused for want of a bus is not subscribed later either. */
    auto ignore = [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
                     gpointer) {};
    EXPECT_EQ(_halvo_api_subscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, ignore, nullptr), 5);
    EXPECT_EQ(inter_signal_info[HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED].subscription_id, 0u);

    /* The bus comes back at the same address, with a new service.  The
     * library's own retry subscribes again while this thread only
     * iterates its main context. */
    bus.start_daemon();
    bus.start_peer();
    gint64 back = now_ms();
    /* A blocking call connects without iterating this context, so the
     * firmware row's resubscription waits here while the row is set
     * again; it must then leave the row's one subscription alone. */
    int ignored = 0;
    halvo_api_get_volume("AA", &ignored);
    EXPECT_EQ(_halvo_api_subscribe_signal(HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT, nullptr), 0);
    auto resubscribed = [] {
        return inter_signal_info[HALVO_SIGNAL_BT_SPK_VOLUME_CONTROLABLE_CHANGED].subscription_id != 0 &&
               signal_info[HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT].subscription_id != 0;
    };
    ASSERT_TRUE(run_until(resubscribed, 10000));
    gint64 subscribed_ms = now_ms() - back;
    /* Rows of the bus thread are subscribed together, at the connection. */
    EXPECT_EQ(inter_signal_info[HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED].subscription_id, 0u);
    g_is_zemo_update_done = false;
    flush_system_bus();
    bus.emit("bt_spk_volume_controlable_changed_by_address", g_variant_new("(si)", "AA", 1));
    bus.emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 2));
    bus.emit("zemo_fw_update_result", g_variant_new("(s)", "OK"));
    bus.sync_signals();
    gint64 delivered_ms = now_ms() - back;
    printf("bus back: subscribed again after %lld ms, first callback after %lld ms\n", (long long)subscribed_ms,
           (long long)delivered_ms);
    EXPECT_LT(subscribed_ms, 5000);
    EXPECT_EQ(controls, 1);
    EXPECT_TRUE(g_is_zemo_update_done);
    ASSERT_EQ(_halvo_api_unsubscribe_signal(HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT), 0);
    g_is_zemo_update_done = false;
    bus.emit("zemo_fw_update_result", g_variant_new("(s)", "OK"));
    bus.sync_signals();
    EXPECT_FALSE(g_is_zemo_update_done) << "a second subscription outlived the unsubscribe";
    ASSERT_EQ(_halvo_api_subscribe_signal(HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT, nullptr), 0);
    EXPECT_EQ(volumes, 1) << "the failed set left nothing behind";

    /* Setting again now works as on any bus. */
    bus.reply("get_volume_by_address", g_variant_new("(ii)", 0, 11));
    EXPECT_EQ(halvo_api_get_volume("AA", &volume), 0);
    EXPECT_EQ(volume, 11);
    EXPECT_EQ(halvo_api_set_volume_changed_callback(on_volume, nullptr), 0);
    flush_system_bus();
    bus.emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 3));
    bus.sync_signals();
    EXPECT_EQ(volumes, 2);
    /* Once every row is subscribed the retry stops, and a second restart
     * arms it again. */
    ASSERT_TRUE(run_until([] { return !halvo_core::retry_armed(); }));
    bus.stop_peer();
    bus.kill_daemon();
    ASSERT_TRUE(run_until([] { return inter_signal_info[HALVO_SIGNAL_BT_SPK_VOLUME_CONTROLABLE_CHANGED].subscription_id == 0; }));
    bus.start_daemon();
    bus.start_peer();
    ASSERT_TRUE(run_until(resubscribed, 10000));

    EXPECT_EQ(halvo_api_unset_volume_changed_callback(), 0);
    EXPECT_EQ(halvo_api_unset_volume_controlable_changed_callback(), 0);
    EXPECT_EQ(halvo_deinitialzie(), 0);
    forget_system_bus();
    g_main_context_pop_thread_default(context);
    EXPECT_EQ(g_main_context_get_thread_default(), nullptr) << "a resubscription left its context pushed";
    g_main_context_unref(context);
}

/* Initialised before any bus daemon runs: the firmware result is
 * subscribed once one comes, while the application only iterates. */
TEST(BusFaults, InitialisedBeforeTheBusSubscribesOnceItComes)
{
    OwnBus own;
    own.bus.kill_daemon();
    GMainContext *context = g_main_context_new();
    g_main_context_push_thread_default(context);
    ASSERT_EQ(halvo_initialize(), 0);
    own.bus.start_daemon();
    own.bus.start_peer();
    const unsigned &id = signal_info[HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT].subscription_id;
    EXPECT_TRUE(run_until([&] { return id != 0; }, 10000));
    g_is_zemo_update_done = false;
    own.bus.emit("zemo_fw_update_result", g_variant_new("(s)", "OK"));
    own.bus.sync_signals();
    EXPECT_TRUE(g_is_zemo_update_done);
    EXPECT_EQ(halvo_deinitialzie(), 0);
    forget_system_bus();
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

/* A bus daemon that takes connections but never answers: the first call of
 * the process (which has to connect) still ends within its bound. */
TEST(BusFaults, StoppedDaemonBoundsTheFirstCall)
{
    OwnBus own;
    own.bus.stop_daemon();
    int volume = -1, result = 0;
    gint64 ms = timed("stopped bus daemon, first call", [&] { result = halvo_api_get_volume("AA", &volume); });
    own.bus.continue_daemon();
    EXPECT_EQ(result, 5);
    EXPECT_EQ(volume, -1);
    EXPECT_LT(ms, 7000);
}

/* One deadline for an operation of several calls: a list of three devices
 * whose type look-up hangs costs one bound, not three. */
TEST(ServiceFaults, SilentTypeLookUpCostsOneBoundForTheWholeList)
{
    Peer::reply("get_devices_info", g_variant_new("(s)", R"({"result":true,"data":{"Devices":[{"address":"A1"},)"
                                                         R"({"address":"A2"},{"address":"A3"}]}})"));
    Peer::silent("get_device_type");
    GSList *list = nullptr;
    int result = -1;
    gint64 ms = timed("3-device list, silent type look-up", [&] { result = halvo_get_paired_dev_info_list(&list); });
    EXPECT_EQ(result, 0);
    ASSERT_EQ(g_slist_length(list), 3u);
    for (GSList *l = list; l; l = l->next)
        EXPECT_EQ(static_cast<halvo_device_info_s *>(l->data)->device_type, 0);
    EXPECT_EQ(Peer::calls("get_device_type").size(), 1u) << "no look-up after the bound has passed";
    EXPECT_LT(ms, 7000);
    halvo_free_paired_dev_info_list(list);
}

/* A subscription lives on its connection.  The volume callback is set
 * apart from initialisation, so deinitialising must not take the
 * connection it lives on away from it. */
TEST(LifetimeFaults, DeinitialiseKeepsTheConnectionOfLiveSubscriptions)
{
    static int volumes = 0;
    volumes = 0;
    ASSERT_EQ(halvo_api_set_volume_changed_callback([](const char *, int, void *) { volumes++; }, nullptr), 0);
    ASSERT_EQ(halvo_initialize(), 0);
    ASSERT_EQ(halvo_deinitialzie(), 0);

    Peer::emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 5));
    Peer::sync_signals();
    EXPECT_EQ(volumes, 1) << "the volume callback outlives deinitialisation";
    EXPECT_EQ(halvo_api_unset_volume_changed_callback(), 0);
}

/* The store cannot write while a device list is being changed: the
 * previous document stays, whole and readable, and no temporary file is
 * left beside it.  A read-only directory stops anyone but root; root (as
 * CI runs) is stopped by a file-size limit of zero. */
class StoreFaults : public ::testing::Test {
  protected:
    void break_store(const std::string &key)
    {
        dir_ = store_root() + "/" + key.substr(0, key.rfind('/'));
        ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_), 0);
        struct rlimit none = {0, saved_.rlim_max};
        signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
    }
    void mend_store()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, SIG_DFL);
        chmod(dir_.c_str(), 0755);
    }
    void TearDown() override { mend_store(); }

    std::string dir_;
    struct rlimit saved_ = {};
};

TEST_F(StoreFaults, AnEditThatCannotBeWrittenLeavesTheDocument)
{
    const struct {
        std::string key;
        const char *doc;
        int (*edit)();
        const char *edited; /* what the document holds once the store writes again */
    } cases[] = {
        {kInfoSyncKey, R"({"d1":{"address":"AA","name":"one"},"d2":{"address":"BB","name":"two"}})",
         [] { return halvo_remove_info_sync_device("d1"); }, R"("deleted_on_tv":true)"},
        {kBlockedKey, R"({"AA:01":{"isBlocked":true,"name":"one"},"AA:02":{"isBlocked":true,"name":"two"}})",
         [] { return halvo_remove_pairing_blocked_devices("AA:01"); }, R"({"AA:02":{"isBlocked":true,"name":"two"}})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        store_write(c.key, c.doc);
        break_store(c.key);
        EXPECT_EQ(c.edit(), 5) << "a failed write is reported";
        mend_store();
        EXPECT_EQ(store_read(c.key), c.doc);
        EXPECT_EQ(dir_entries(dir_), std::set<std::string>{c.key.substr(c.key.rfind('/') + 1)})
            << "no temporary file left";

        EXPECT_EQ(c.edit(), 0);
        EXPECT_NE(store_read(c.key).find(c.edited), std::string::npos);
    }
}

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

#include <algorithm>
#include <vector>

using namespace halvo_test;

namespace {

gint64 now_ms()
{
    return g_get_monotonic_time() / 1000;
}

/* Milliseconds one call of @f takes. */
template <typename F> gint64 timed(F f)
{
    gint64 t0 = now_ms();
    f();
    return now_ms() - t0;
}

int g_volume_signals = 0;

void volume_handler(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
                    gpointer)
{
    g_volume_signals++;
}

} // namespace

TEST(ServiceFaults, AbsentServiceFailsWellUnderASecond)
{
    Peer::stop();
    int volume = 42;
    gint64 transport_ms = timed([] { EXPECT_EQ(_halvo_api_send_method_call_sync("get_volume_by_address",
                                                                               g_variant_new("(s)", "AA")),
                                               nullptr); });
    gint64 public_ms = timed([&] { EXPECT_EQ(halvo_api_get_volume("AA", &volume), 5); });
    EXPECT_EQ(volume, 42) << "output untouched";
    printf("absent service: transport %lld ms, halvo_api_get_volume %lld ms\n", (long long)transport_ms,
           (long long)public_ms);
    EXPECT_LT(transport_ms, 500);
    EXPECT_LT(public_ms, 500);
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
    int volume = -1;
    int result = 0;
    gint64 waited = timed([&] { result = halvo_api_get_volume("AA", &volume); });
    ASSERT_EQ(kill(Peer::pid(), SIGCONT), 0);
    printf("stopped service: failed after %lld ms\n", (long long)waited);
    EXPECT_EQ(result, 5);
    EXPECT_EQ(volume, -1);
    EXPECT_GE(waited, 4900) << "the 5000 ms bound, not earlier";
    EXPECT_LT(waited, 7000);

    /* The service catches up with the stale call; the next one is answered. */
    gint64 next = timed([&] { result = halvo_api_get_volume("AA", &volume); });
    printf("after SIGCONT: answered in %lld ms\n", (long long)next);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(volume, 17);
    EXPECT_LT(next, 1000);
}

TEST(ServiceFaults, KilledServiceFailsAtOnceAndANewOneIsUsed)
{
    g_volume_signals = 0;
    ASSERT_EQ(_halvo_api_subscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, volume_handler, nullptr), 0);
    Peer::die("get_volume_by_address");
    int volume = -1;
    int result = 0;
    gint64 waited = timed([&] { result = halvo_api_get_volume("AA", &volume); });
    printf("service killed by the call: failed after %lld ms\n", (long long)waited);
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
    EXPECT_EQ(g_volume_signals, 1);
    EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED), 0);
}

/* What an application sees when the bus daemon dies, and how it recovers:
 * calls fail at once; once its main context has run, each call tries to
 * connect anew, and once a bus is back the next call connects to it by
 * itself.  Subscriptions died with the old connection: only unsetting and
 * setting them again (deinitialise plus initialise for the firmware
 * result) makes them deliver again. */
TEST(BusFaults, DaemonKilledCallsFailAtOnceAndRecoveryNeedsResubscription)
{
    /* A fixed socket, so that the bus can come back at the same address. */
    gchar *dir = g_dir_make_tmp("halvo-bus-XXXXXX", nullptr);
    PrivateBus bus(std::string("unix:path=") + dir + "/bus");
    bus.start_daemon();
    bus.start_peer();
    forget_system_bus();
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), TRUE);

    bus.reply("get_volume_by_address", g_variant_new("(ii)", 0, 9));
    int volume = -1;
    ASSERT_EQ(halvo_api_get_volume("AA", &volume), 0);
    ASSERT_EQ(halvo_initialize(), 0);
    g_volume_signals = 0;
    ASSERT_EQ(_halvo_api_subscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, volume_handler, nullptr), 0);
    flush_system_bus();
    bus.emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 1));
    bus.sync_signals();
    ASSERT_EQ(g_volume_signals, 1);

    bus.stop_peer();
    bus.kill_daemon();
    LogCapture log;
    for (int i = 0; i < 3; i++) {
        int result = 0;
        gint64 ms = timed([&] { result = halvo_api_get_volume("AA", &volume); });
        printf("bus daemon gone, call %d: %d after %lld ms\n", i + 1, result, (long long)ms);
        EXPECT_EQ(result, 5);
        EXPECT_LT(ms, 500);
    }
    /* GIO gives its dead connection back until the main context runs; the
     * library takes that for no bus, and subscribing raises no critical. */
    EXPECT_TRUE(log.contains("g_bus_get_sync fail, reason: the connection is closed"));
    EXPECT_EQ(_halvo_api_subscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CONTROLABLE_CHANGED, volume_handler,
                                                   nullptr),
              5);
    EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED), 5)
        << "no bus: the row keeps its id";

    /* Once the application's main context has run, GIO drops its dead
     * shared connection and calls try to connect anew. */
    EXPECT_TRUE(run_until([] {
        GDBusConnection *shared = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
        bool dropped = shared == nullptr || !g_dbus_connection_is_closed(shared);
        if (shared)
            g_object_unref(shared);
        return dropped;
    }));
    log.clear();
    gint64 ms = timed([&] { EXPECT_EQ(halvo_api_get_volume("AA", &volume), 5); });
    printf("bus daemon gone, after the main context ran: failed after %lld ms\n", (long long)ms);
    EXPECT_LT(ms, 500);
    EXPECT_TRUE(log.contains("g_bus_get_sync fail, reason: Could not connect"));

    /* The bus comes back at the same address, with a new service. */
    bus.start_daemon();
    bus.start_peer();
    bus.reply("get_volume_by_address", g_variant_new("(ii)", 0, 11));
    EXPECT_EQ(halvo_api_get_volume("AA", &volume), 0) << "the next call connects by itself";
    EXPECT_EQ(volume, 11);

    /* The old subscription is gone, and setting it again is a no-op while
     * the row still holds the dead connection's id. */
    EXPECT_EQ(_halvo_api_subscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, volume_handler, nullptr), 0);
    EXPECT_TRUE(log.contains("same signal is already subscribed"));
    g_is_zemo_update_done = false;
    bus.emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 2));
    bus.emit("zemo_fw_update_result", g_variant_new("(s)", "OK"));
    bus.sync_signals();
    EXPECT_EQ(g_volume_signals, 1) << "nothing arrives on the lost subscription";
    EXPECT_FALSE(g_is_zemo_update_done);

    /* Recovery: unset and set again; deinitialise and initialise again. */
    EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED), 0);
    EXPECT_EQ(_halvo_api_subscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, volume_handler, nullptr), 0);
    EXPECT_EQ(halvo_deinitialzie(), 0);
    EXPECT_EQ(halvo_initialize(), 0);
    flush_system_bus();
    bus.emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 3));
    bus.emit("zemo_fw_update_result", g_variant_new("(s)", "OK"));
    bus.sync_signals();
    EXPECT_EQ(g_volume_signals, 2);
    EXPECT_TRUE(g_is_zemo_update_done);

    EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED), 0);
    EXPECT_EQ(halvo_deinitialzie(), 0);
    forget_system_bus();
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_address().c_str(), TRUE);
    bus.stop_peer();
    bus.kill_daemon();
    g_rmdir(dir);
    g_free(dir);
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

    /* The names in the key's directory. */
    std::vector<std::string> files()
    {
        std::vector<std::string> names;
        GDir *d = g_dir_open(dir_.c_str(), 0, nullptr);
        while (const char *n = d ? g_dir_read_name(d) : nullptr)
            names.push_back(n);
        if (d)
            g_dir_close(d);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
    struct rlimit saved_ = {};
};

TEST_F(StoreFaults, InfoSyncMarkThatCannotBeWrittenLeavesTheDocument)
{
    const std::string key = "db/com.marlox.tv.bt-rilomanager/btinfosync/devices";
    const std::string doc = R"({"d1":{"address":"AA","name":"one"},"d2":{"address":"BB","name":"two"}})";
    store_write(key, doc);
    break_store(key);
    LogCapture log;
    EXPECT_EQ(halvo_remove_info_sync_device("d1"), 0) << "a failed write goes unreported";
    mend_store();
    EXPECT_TRUE(log.contains("fail to write valko"));
    EXPECT_EQ(store_read(key), doc);
    EXPECT_EQ(files(), std::vector<std::string>{"devices"}) << "no temporary file left";
    GSList *list = nullptr;
    ASSERT_EQ(halvo_get_info_sync_devices(&list), 0);
    EXPECT_EQ(g_slist_length(list), 2u);
    halvo_free_info_sync_devices(&list);

    /* Once the store writes again, so does the mark. */
    EXPECT_EQ(halvo_remove_info_sync_device("d1"), 0);
    EXPECT_NE(store_read(key).find("\"deleted_on_tv\":true"), std::string::npos);
}

TEST_F(StoreFaults, UnblockThatCannotBeWrittenLeavesTheDocument)
{
    const std::string key = "db/pellix/pairing_blocekd_devices";
    const std::string doc = R"({"AA:01":{"isBlocked":true,"name":"one"},"AA:02":{"isBlocked":true,"name":"two"}})";
    store_write(key, doc);
    break_store(key);
    LogCapture log;
    EXPECT_EQ(halvo_remove_pairing_blocked_devices("AA:01"), 0) << "a failed write goes unreported";
    mend_store();
    EXPECT_TRUE(log.contains("fail to write valko"));
    EXPECT_EQ(store_read(key), doc);
    EXPECT_EQ(files(), std::vector<std::string>{"pairing_blocekd_devices"}) << "no temporary file left";

    EXPECT_EQ(halvo_remove_pairing_blocked_devices("AA:01"), 0);
    EXPECT_EQ(store_read(key), R"({"AA:02":{"isBlocked":true,"name":"two"}})");
}

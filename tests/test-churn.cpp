/* Subscription churn: every callback family set and unset thousands of
 * times while the peer keeps signals in flight.  A callback runs only
 * while its family is set; none runs after unset once the main context
 * has been drained. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <cstdlib>

using namespace halvo_test;

namespace {

enum Family { INFO, STATUS, VOLUME, CONTROLABLE, TUVO, FAMILIES };

struct Tally {
    bool armed[FAMILIES] = {};
    int delivered[FAMILIES] = {};
    int late = 0; /* callbacks while their family was not set */
};
Tally *g_tally = nullptr;

void hit(Family f)
{
    if (g_tally->armed[f])
        g_tally->delivered[f]++;
    else
        g_tally->late++;
}

void on_info(speaker_t *, void *) { hit(INFO); }
void on_status(int, void *) { hit(STATUS); }
void on_volume(const char *, int, void *) { hit(VOLUME); }
void on_controlable(const char *, bool, void *) { hit(CONTROLABLE); }
void on_tuvo(int, const char *, int, void *) { hit(TUVO); }

/* How to set and unset each family, and a signal it receives. */
const struct {
    int (*set)();
    int (*unset)();
    const char *signal;
    GVariant *(*payload)();
} kFamilies[FAMILIES] = {
    {[] { return halvo_register_bt_spaeker_info_changed_cb(on_info, nullptr); },
     halvo_unregister_bt_spaeker_info_changed_cb, "bt_spk_info_changed",
     [] {
         return g_variant_new("(s)", R"({"vsid":["v1"],"address":"AA","name":"spk","iconType":"01","audioType":1})");
     }},
    {[] { return halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(on_status, nullptr); },
     halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb, "last_connecting_status_changed",
     [] { return g_variant_new("(s)", "InProgress"); }},
    {[] { return halvo_api_set_volume_changed_callback(on_volume, nullptr); }, halvo_api_unset_volume_changed_callback,
     "bt_spk_volume_changed_by_address", [] { return g_variant_new("(si)", "AA", 30); }},
    {[] { return halvo_api_set_volume_controlable_changed_callback(on_controlable, nullptr); },
     halvo_api_unset_volume_controlable_changed_callback, "bt_spk_volume_controlable_changed_by_address",
     [] { return g_variant_new("(si)", "AA", 1); }},
    {[] { return halvo_tuvo_switching_set_connection_state_cb(on_tuvo, nullptr); },
     halvo_tuvo_switching_unset_connection_state_cb, "tuvo_swtiching_connection_state_changed",
     [] { return g_variant_new("(isi)", 0, "AA", 1); }},
};

int set(Family f)
{
    return kFamilies[f].set();
}

int unset(Family f)
{
    return kFamilies[f].unset();
}

/* @count signals of family @f. */
void emit(Family f, unsigned count)
{
    Peer::emit_many(kFamilies[f].signal, kFamilies[f].payload(), count);
}

void emit_all(unsigned count)
{
    for (int f = 0; f < FAMILIES; f++)
        emit(Family(f), count);
}

void dispatch_pending()
{
    GMainContext *ctx = g_main_context_default();
    for (int i = 0; i < 4 && g_main_context_iteration(ctx, FALSE); i++) {
    }
}

/* A standing subscription of the test's own on the library's connection, so
 * that the bus routes every signal of the path to this process whatever
 * the library has subscribed at that moment: the signals then really are
 * in flight while the library subscribes and unsubscribes. */
class Observer {
  public:
    Observer()
    {
        bus_ = __halvo_api_get_system_connection();
        id_ = g_dbus_connection_signal_subscribe(
            bus_, nullptr, nullptr, nullptr, "/org/velmo/pellix", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
               gpointer seen) { ++*static_cast<int *>(seen); },
            &seen_, nullptr);
        /* The match rule is in place once the bus has answered. */
        GVariant *ping = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                     "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                                     G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (ping)
            g_variant_unref(ping);
    }
    ~Observer()
    {
        g_dbus_connection_signal_unsubscribe(bus_, id_);
        g_object_unref(bus_);
    }
    int seen() const { return seen_; }
    /* Waits until @count signals have arrived in all (slow under valgrind). */
    void drain(int count) { EXPECT_TRUE(run_until([&] { return seen_ >= count; }, 120000)); }

  private:
    GDBusConnection *bus_;
    guint id_;
    int seen_ = 0;
};

int cycles()
{
    const char *env = g_getenv("HALVO_CHURN_CYCLES");
    return env ? atoi(env) : 10000;
}

} // namespace

TEST(Churn, SetAndUnsetWhileSignalsAreInFlight)
{
    Tally tally;
    g_tally = &tally;
    Observer observer;
    int emitted = 0;
    const int n = cycles();
    for (int i = 0; i < n; i++) {
        Family f = Family(i % FAMILIES);
        ASSERT_EQ(set(f), 0) << "cycle " << i;
        tally.armed[f] = true;
        /* A burst now and then, still arriving while the family is unset
         * and the next one set. */
        if (i % 4 == 0) {
            emit(f, 10);
            emitted += 10;
        }
        dispatch_pending();
        ASSERT_EQ(unset(f), 0) << "cycle " << i;
        tally.armed[f] = false;
        dispatch_pending();
    }
    /* Everything emitted has been dispatched: nothing ran while unset. */
    observer.drain(emitted);
    Peer::sync_signals();
    EXPECT_EQ(tally.late, 0);
    int during = 0;
    for (int d : tally.delivered)
        during += d;
    printf("%d cycles, %d signals: %d callbacks while set, %d after unset\n", n, observer.seen(), during,
           tally.late);
    EXPECT_GT(during, 0) << "signals did arrive between set and unset";

    /* The subscriptions still work after the churn: each family once. */
    for (int f = 0; f < FAMILIES; f++) {
        ASSERT_EQ(set(Family(f)), 0);
        tally.armed[f] = true;
        tally.delivered[f] = 0;
    }
    emit_all(1);
    Peer::sync_signals();
    for (int f = 0; f < FAMILIES; f++) {
        EXPECT_EQ(tally.delivered[f], 1) << "family " << f;
        EXPECT_EQ(unset(Family(f)), 0);
        tally.armed[f] = false;
    }
    emit_all(1);
    Peer::sync_signals();
    EXPECT_EQ(tally.late, 0);
    g_tally = nullptr;
}

/* The same through the internal-signal API that the families build on,
 * with the handler checking its row is subscribed when it runs. */
TEST(Churn, InternalRowsSubscribeAndUnsubscribe)
{
    static int late = 0, delivered = 0;
    static bool armed = false;
    auto handler = [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
                      gpointer) { armed ? delivered++ : late++; };
    Observer observer;
    int emitted = 0;
    const int n = cycles();
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(_halvo_api_subscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, handler, nullptr), 0);
        armed = true;
        if (i % 4 == 0) {
            Peer::emit_many("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 1), 10);
            emitted += 10;
        }
        dispatch_pending();
        ASSERT_EQ(_halvo_api_unsubscribe_internal_signal(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED), 0);
        armed = false;
        dispatch_pending();
    }
    observer.drain(emitted);
    Peer::sync_signals();
    printf("%d cycles, %d signals: %d deliveries while subscribed, %d after\n", n, observer.seen(), delivered,
           late);
    EXPECT_EQ(late, 0);
    EXPECT_GT(delivered, 0);
}

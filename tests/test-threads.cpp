/* Several threads call the library and set and unset every callback
 * family, each from its own main context, while the peer emits the
 * families' signals.  Built with -DHALVO_SANITIZE=thread, this is the
 * ThreadSanitizer stress. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <atomic>
#include <cstdlib>
#include <iterator>
#include <thread>
#include <vector>

using namespace halvo_test;

namespace {

std::atomic<int> g_delivered{0};

template <typename... Args> void count(Args...) { g_delivered++; }
void count_last(GSList *list, void *)
{
    halvo_free_last_bluetooth_speakers(&list);
    g_delivered++;
}
/* Calls the library from inside a callback, and unsets itself. */
void volume_once(const char *, int, void *)
{
    int volume = 0;
    halvo_api_get_volume("AA", &volume);
    halvo_api_unset_volume_changed_callback();
    g_delivered++;
}

/* Each family: set, unset.  A set answers 0 (a bus is there); an unset 0,
 * or 3 when another thread unset first. */
struct Family {
    int (*set)();
    int (*unset)();
};

const Family kFamilies[] = {
    {[] { return halvo_register_bt_spaeker_info_changed_cb(count, nullptr); },
     halvo_unregister_bt_spaeker_info_changed_cb},
    {[] { return halvo_set_last_bluetooth_speakers_changed_cb(count_last, nullptr); },
     [] { return halvo_unset_last_bluetooth_speakers_changed_cb() == 5 ? 3 : 0; }},
    {[] { return halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(count, nullptr); },
     halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb},
    {[] { return halvo_api_set_volume_changed_callback(volume_once, nullptr); },
     halvo_api_unset_volume_changed_callback},
    {[] { return halvo_api_set_volume_controlable_changed_callback(count, nullptr); },
     halvo_api_unset_volume_controlable_changed_callback},
    {[] { return halvo_tuvo_switching_set_connection_state_cb(count, nullptr); },
     halvo_tuvo_switching_unset_connection_state_cb},
};

/* Every signal the families listen to, with a body in GVariant text. */
void emit_every_signal(unsigned count)
{
    static const char *const signals[][2] = {
        {"bt_spk_info_changed", "('InProgress',)"},
        {"last_connecting_status_changed", "('InProgress',)"},
        {"bt_spk_volume_changed_by_address", "('AA', 3)"},
        {"bt_spk_volume_controlable_changed_by_address", "('AA', 3)"},
        {"tuvo_swtiching_connection_state_changed", "(0, 'AA', 1)"},
        {"zemo_fw_update_result", "('InProgress',)"},
    };
    for (const auto &s : signals)
        Peer::emit_many(s[0], g_variant_new_parsed(s[1]), count);
}

/* Rounds per thread: HALVO_THREAD_ROUNDS, or 60. */
const int kRounds = getenv("HALVO_THREAD_ROUNDS") ? atoi(getenv("HALVO_THREAD_ROUNDS")) : 60;

/* One thread: its own main context, every family and a call per round. */
std::atomic<int> g_running{0};

void worker(int id, GMainContext *context, std::atomic<int> *failures)
{
    g_main_context_push_thread_default(context);
    /* Past its rounds, a thread goes on until some signal has been
     * delivered somewhere, so that deliveries do overlap the churn. */
    for (int round = 0; round < kRounds || (g_delivered == 0 && round < 100 * kRounds); round++) {
        const Family &f = kFamilies[size_t(round + id) % std::size(kFamilies)];
        if (f.set() != 0)
            (*failures)++;
        int volume = -1;
        if (halvo_api_get_volume("AA", &volume) != 0 || volume != 7)
            (*failures)++;
        halvo_cb_container_s row = {id % 3, nullptr, nullptr, nullptr};
        _halvo_set_cb(id % 3, "AA", reinterpret_cast<void *>(&worker), &row);
        _halvo_get_cb(&row);
        free(row.remote_address);
        _halvo_unset_cb(id % 3);
        while (g_main_context_iteration(context, FALSE)) {
        }
        int unset = kFamilies[size_t(round * 7 + id) % std::size(kFamilies)].unset();
        if (unset != 0 && unset != 3)
            (*failures)++;
    }
    g_main_context_pop_thread_default(context);
    g_running--;
}

} // namespace

TEST(Threads, EveryFamilyFromSeveralThreadsWhileSignalsArrive)
{
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 7));
    ASSERT_EQ(halvo_initialize(), 0);
    const int n = 4;
    std::vector<GMainContext *> contexts;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    g_running = n;
    for (int i = 0; i < n; i++) {
        contexts.push_back(g_main_context_new());
        threads.emplace_back(worker, i, contexts.back(), &failures);
    }
    /* The peer keeps emitting while the threads run. */
    while (g_running > 0)
        emit_every_signal(5);
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    printf("%d rounds in %d threads: %d callbacks\n", kRounds, n, g_delivered.load());
    EXPECT_GT(g_delivered.load(), 0);

    /* Whatever the interleaving, unsetting every family leaves no
     * subscription behind. */
    for (const Family &f : kFamilies) {
        int unset = f.unset();
        EXPECT_TRUE(unset == 0 || unset == 3) << unset;
    }
    EXPECT_EQ(halvo_deinitialzie(), 0);
    for (const halvo_signal_info_s &row : inter_signal_info)
        EXPECT_EQ(row.subscription_id, 0u) << row.signal_name;
    EXPECT_EQ(signal_info[0].subscription_id, 0u);
    for (GMainContext *context : contexts) {
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_context_unref(context);
    }

    /* Nothing is delivered any more. */
    int before = g_delivered.load();
    emit_every_signal(1);
    Peer::sync_signals();
    EXPECT_EQ(g_delivered.load(), before);
}

/* The non-blocking calls: where and when they finish, cancellation in
 * every state, calls in flight when the service or the bus goes away, and
 * the failure detail of both paths. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <signal.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace halvo_test;

namespace {

const char *const ADDRESS = "AA:BB:CC:DD:EE:01";

/* What one call's callback saw. */
struct Done {
    int calls = 0;
    int rc = -1000;
    int value = -1;
    halvo_failure_e failure = HALVO_FAILURE_NONE;
    GThread *thread = nullptr;
    GAsyncResult *result = nullptr; /* kept when asked to */
    bool keep = false;
};

void volume_done(GObject *, GAsyncResult *result, gpointer data)
{
    auto *d = static_cast<Done *>(data);
    d->calls++;
    d->thread = g_thread_self();
    d->rc = halvo_api_get_volume_finish(result, &d->value);
    d->failure = halvo_api_last_failure();
    if (d->keep)
        d->result = G_ASYNC_RESULT(g_object_ref(result));
}

bool all_done(const std::vector<Done> &done)
{
    for (const Done &d : done)
        if (d.calls == 0)
            return false;
    return true;
}

void expect_once(const std::vector<Done> &done, int rc, halvo_failure_e failure)
{
    for (const Done &d : done) {
        EXPECT_EQ(d.calls, 1);
        EXPECT_EQ(d.rc, rc);
        EXPECT_EQ(d.failure, failure) << halvo_api_failure_name(d.failure);
        EXPECT_EQ(d.value, -1) << "a failed call writes no output";
    }
}

bool held_calls(size_t n)
{
    return Peer::calls("get_volume_by_address").size() == n;
}

} // namespace

/* The callback runs in the main context of the thread that started the
 * call (the twin tables hold "never inside _async"); a foreign or spent
 * result is refused without a critical. */
TEST(Async, TheCallbackRunsWhereTheCallStartedAndOnlyThere)
{
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 7));
    Done remote;
    remote.keep = true;
    std::atomic<bool> started{false};
    std::thread other([&] {
        GMainContext *ctx = g_main_context_new();
        g_main_context_push_thread_default(ctx);
        halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &remote);
        started = true;
        while (remote.calls == 0)
            g_main_context_iteration(ctx, TRUE);
        g_main_context_pop_thread_default(ctx);
        g_main_context_unref(ctx);
    });
    /* Answered while this thread iterates its own context: not here. */
    EXPECT_TRUE(run_until([&] { return started && held_calls(1); }));
    other.join();
    EXPECT_EQ(remote.rc, 0);
    EXPECT_EQ(remote.value, 7);
    EXPECT_NE(remote.thread, g_thread_self());

    int volume = -1;
    EXPECT_EQ(halvo_api_get_volume_finish(remote.result, &volume), 3) << "finished twice";
    EXPECT_EQ(halvo_api_get_volume_finish(nullptr, &volume), 3);
    GTask *foreign = g_task_new(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(halvo_api_get_volume_finish(G_ASYNC_RESULT(foreign), &volume), 3);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_INVALID_ARGUMENT);
    EXPECT_EQ(volume, -1);
    g_object_unref(foreign);
    g_object_unref(remote.result);

    /* A _finish refuses an output that already holds something, and
     * leaves the record to the call, which frees it. */
    Peer::reply("get_device_info", g_variant_new("(s)", R"({"result":true,"data":{"address":"AA:01"}})"));
    Peer::reply("get_device_type", g_variant_new("(i)", 2));
    static halvo_device_info_s mine;
    int refused = 0;
    halvo_get_paired_dev_info_async("AA:01", nullptr, [](GObject *, GAsyncResult *r, gpointer d) {
        halvo_device_info_s *kept = &mine;
        *static_cast<int *>(d) += halvo_get_paired_dev_info_finish(r, &kept) == 3 && kept == &mine;
    }, &refused);
    EXPECT_TRUE(run_until([&] { return refused == 1; }));
}

/* Cancelled before it is sent, while the service holds it, from another
 * thread, and after the answer came but before the callback ran: the
 * callback runs once, promptly, and the call writes nothing. */
TEST(Async, ACancelledCallFinishesOnceAndWritesNothing)
{
    enum When { BEFORE, IN_FLIGHT, OTHER_THREAD, ANSWERED };
    for (When when : {BEFORE, IN_FLIGHT, OTHER_THREAD, ANSWERED}) {
        SCOPED_TRACE(when);
        Peer::reset();
        if (when == ANSWERED)
            Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 9));
        else
            Peer::hold("get_volume_by_address", g_variant_new("(ii)", 0, 9));
        GCancellable *cancel = g_cancellable_new();
        std::vector<Done> done(1);
        if (when == BEFORE)
            g_cancellable_cancel(cancel);
        if (when != ANSWERED) {
            halvo_api_get_volume_async(ADDRESS, cancel, volume_done, &done[0]);
            EXPECT_EQ(done[0].calls, 0);
            if (when != BEFORE) {
                ASSERT_TRUE(run_until([] { return held_calls(1); }));
            }
            if (when == IN_FLIGHT)
                g_cancellable_cancel(cancel);
            if (when == OTHER_THREAD)
                std::thread([cancel] { g_cancellable_cancel(cancel); }).join();
            /* Finished while the service still holds the call. */
            EXPECT_TRUE(run_until([&] { return all_done(done); }));
            Peer::release("get_volume_by_address");
        } else {
            /* Started on a thread whose context waits: the answer is in
             * (the bus has passed it on) before the cancel. */
            std::atomic<int> step{0};
            std::thread other([&] {
                GMainContext *ctx = g_main_context_new();
                g_main_context_push_thread_default(ctx);
                halvo_api_get_volume_async(ADDRESS, cancel, volume_done, &done[0]);
                step = 1;
                while (step != 2)
                    g_thread_yield();
                while (done[0].calls == 0)
                    g_main_context_iteration(ctx, TRUE);
                g_main_context_pop_thread_default(ctx);
                g_main_context_unref(ctx);
            });
            ASSERT_TRUE(run_until([&] { return step == 1 && held_calls(1); }));
            flush_system_bus();
            g_cancellable_cancel(cancel);
            step = 2;
            other.join();
        }
        expect_once(done, HALVO_ERROR_CANCELLED, HALVO_FAILURE_CANCELLED);
        EXPECT_EQ(Peer::calls("get_volume_by_address").size(), when == BEFORE ? 0u : 1u);
        g_object_unref(cancel);
    }
}

/* Calls overlap at the service, none waiting for another's answer.  In
 * flight when the service goes, or the bus daemon dies, each finishes once
 * with a failure; the bus back, calls work again. */
TEST(Async, CallsInFlightFailOnceWhenTheServiceOrTheBusGoes)
{
    Peer::hold("get_volume_by_address", g_variant_new("(ii)", 0, 1));
    std::vector<Done> done(3);
    for (Done &d : done)
        halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &d);
    ASSERT_TRUE(run_until([] { return held_calls(3); }));
    Peer::stop();
    EXPECT_TRUE(run_until([&] { return all_done(done); }));
    expect_once(done, HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_NO_SERVICE);
    Peer::start();

    OwnBus own;
    own.bus.start_peer();
    g_autoptr(GVariant) held =
        own.bus.control("SetHeld", g_variant_new("(sv)", "get_volume_by_address", g_variant_new("(ii)", 0, 1)));
    std::vector<Done> cut(3);
    for (Done &d : cut)
        halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &d);
    ASSERT_TRUE(run_until([&] {
        g_autoptr(GVariant) calls = own.bus.control("GetCalls", nullptr, "(a(sssavb))");
        g_autoptr(GVariant) list = calls ? g_variant_get_child_value(calls, 0) : nullptr;
        return list && g_variant_n_children(list) == 3;
    }));
    own.bus.kill_daemon();
    EXPECT_TRUE(run_until([&] { return all_done(cut); }));
    expect_once(cut, HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_NO_BUS);

    /* The peer lost its bus: killed outright, as a sanitizer's exit-time
     * checks may stall in a process whose connection went like that. */
    kill(own.bus.peer_pid(), SIGKILL);
    own.bus.stop_peer();
    /* With no bus at all, a call fails once the attempt to connect does. */
    std::vector<Done> none(1);
    halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &none[0]);
    EXPECT_TRUE(run_until([&] { return all_done(none); }));
    expect_once(none, HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_NO_BUS);
    own.bus.start_daemon();
    own.bus.start_peer();
    own.bus.reply("get_volume_by_address", g_variant_new("(ii)", 0, 5));
    std::vector<Done> again(1);
    halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &again[0]);
    EXPECT_TRUE(run_until([&] { return all_done(again); }));
    EXPECT_EQ(again[0].rc, 0);
    EXPECT_EQ(again[0].value, 5);

    /* No connection yet and the daemon stopped: calls wait for the attempt,
     * which hangs; a cancel ends one at once, the other ends at the bound,
     * a time-out whether its own bound or the attempt's comes first (the
     * later the call starts, the likelier the attempt's). */
    forget_system_bus();
    own.bus.stop_daemon();
    GCancellable *cancel = g_cancellable_new();
    std::vector<Done> waiting(2);
    halvo_api_get_volume_async(ADDRESS, cancel, volume_done, &waiting[0]);
    halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &waiting[1]);
    g_cancellable_cancel(cancel);
    EXPECT_TRUE(run_until([&] { return waiting[0].calls == 1; }));
    EXPECT_EQ(waiting[1].calls, 0) << "still waiting for the bus";
    EXPECT_TRUE(run_until([&] { return waiting[1].calls == 1; }, 10000));
    own.bus.continue_daemon();
    EXPECT_EQ(waiting[0].rc, HALVO_ERROR_CANCELLED);
    EXPECT_EQ(waiting[1].failure, HALVO_FAILURE_TIMEOUT);
    g_object_unref(cancel);
}

/* The service's own failure code: both paths tell it as the service's
 * and hand over the value that came with it.  The other kinds are held by
 * the twin tables and the tests above. */
TEST(FailureDetail, TheServicesOwnCodeComesWithItsValueBothWays)
{
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 3, 30));
    int value = -1;
    EXPECT_EQ(halvo_api_get_volume(ADDRESS, &value), 3);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_SERVICE_ANSWERED);
    EXPECT_EQ(value, 30);
    Done d;
    halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &d);
    EXPECT_TRUE(run_until([&] { return d.calls == 1; }));
    EXPECT_EQ(d.rc, 3);
    EXPECT_EQ(d.failure, HALVO_FAILURE_SERVICE_ANSWERED);
    EXPECT_EQ(d.value, 30);
    EXPECT_STREQ(halvo_api_failure_name(halvo_failure_e(99)), "unknown failure");
}

/* A silent service: both ways time out at the bound, and the non-blocking
 * one waits alongside the blocking one. */
TEST(FailureDetail, ASilentServiceTimesOutBothWays)
{
    Peer::silent("get_volume_by_address");
    Done d;
    halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &d);
    int value = -1;
    EXPECT_EQ(halvo_api_get_volume(ADDRESS, &value), 5);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_TIMEOUT);
    EXPECT_TRUE(run_until([&] { return d.calls == 1; }));
    EXPECT_EQ(d.rc, 5);
    EXPECT_EQ(d.failure, HALVO_FAILURE_TIMEOUT);
}

/* Every pair at once from two threads, each with its own context, the
 * service and the store answering some and refusing others: for the thread
 * checker, and each call must finish exactly once. */
TEST(Async, EveryPairRunsAlongsideItselfOnTwoThreads)
{
    using Start = void (*)(GAsyncReadyCallback, gpointer);
    using Finish = void (*)(GAsyncResult *);
    /* Inputs are the caller's only until _async returns: freed then. */
    static thread_local char *address, *data;
    static thread_local bt_spk_info_t info;
    /* The outputs are freed as any caller would. */
    static const std::pair<Start, Finish> pairs[] = {
#define PAIR(start_args, ...) {[](GAsyncReadyCallback cb, gpointer d) { start_args; }, [](GAsyncResult *r) { __VA_ARGS__; }}
#define LIST(NAME, ...) PAIR(NAME##_async(nullptr, cb, d), GSList *l = nullptr; NAME##_finish(r, &l); if (l) __VA_ARGS__)
        PAIR(halvo_get_paired_dev_info_async(address, nullptr, cb, d),
             halvo_device_info_s *i = nullptr; halvo_get_paired_dev_info_finish(r, &i); if (i) halvo_free_paired_dev_info(i)),
        LIST(halvo_get_paired_dev_info_list, halvo_free_paired_dev_info_list(l)),
        PAIR(halvo_get_device_type_async(address, nullptr, cb, d), int t; halvo_get_device_type_finish(r, &t)),
        PAIR(halvo_set_use_dontuse_status_async("n", address, true, nullptr, cb, d), halvo_set_use_dontuse_status_finish(r)),
        PAIR(halvo_get_use_dontuse_status_async(address, nullptr, cb, d), halvo_get_use_dontuse_status_finish(r)),
        PAIR(halvo_remove_use_dontuse_status_async(address, nullptr, cb, d), halvo_remove_use_dontuse_status_finish(r)),
        LIST(halvo_get_dontuse_device_list, halvo_free_paired_dev_info_list(l)),
        PAIR(halvo_parse_manufacturer_data_async(1, data, 2, 0, nullptr, cb, d),
             char *o = nullptr; int n; halvo_parse_manufacturer_data_finish(r, &o, &n); g_free(o)),
        PAIR(halvo_read_specific_manufacturer_data_async(address, 1, nullptr, cb, d),
             char *o = nullptr; int n; halvo_read_specific_manufacturer_data_finish(r, &o, &n); g_free(o)),
        PAIR(halvo_read_manufacturer_data_async(address, nullptr, cb, d),
             char *o = nullptr; int n, opt; halvo_read_manufacturer_data_finish(r, &opt, &o, &n); g_free(o)),
        PAIR(halvo_write_manufacturer_data_async(address, 1, data, 2, nullptr, cb, d), halvo_write_manufacturer_data_finish(r)),
        PAIR(halvo_send_custom_command_async("c", nullptr, cb, d),
             char *o = nullptr; halvo_send_custom_command_finish(r, &o); free(o)),
        PAIR(halvo_enter_bt_dut_mode_async(nullptr, cb, d), halvo_enter_bt_dut_mode_finish(r)),
        PAIR(halvo_enter_bt_dut_mode_new_async("s", "m", 1, 2, nullptr, cb, d), halvo_enter_bt_dut_mode_new_finish(r)),
        PAIR(halvo_stop_bt_dut_mode_new_async(nullptr, cb, d), halvo_stop_bt_dut_mode_new_finish(r)),
        PAIR(halvo_update_zemo_fw_async(nullptr, cb, d), halvo_update_zemo_fw_finish(r)),
        LIST(halvo_get_connected_bt_speaker_infos, halvo_free_connected_bt_spaekr_infos(&l)),
        PAIR(halvo_set_connected_bt_speaker_info_async("v", &info, nullptr, cb, d), halvo_set_connected_bt_speaker_info_finish(r)),
        PAIR(halvo_set_connected_bt_speaker_info_with_serialization_async("{}", nullptr, cb, d),
             halvo_set_connected_bt_speaker_info_with_serialization_finish(r)),
        LIST(halvo_get_last_bluetooth_speakers, halvo_free_last_bluetooth_speakers(&l)),
        PAIR(halvo_connect_to_last_bluetooth_speakers_async(true, nullptr, cb, d), halvo_connect_to_last_bluetooth_speakers_finish(r)),
        PAIR(halvo_disconnect_to_last_bluetooth_speakers_async(nullptr, cb, d), halvo_disconnect_to_last_bluetooth_speakers_finish(r)),
        PAIR(halvo_api_get_volume_controlable_async(address, nullptr, cb, d), bool b; halvo_api_get_volume_controlable_finish(r, &b)),
        PAIR(halvo_api_set_volume_async(address, 3, nullptr, cb, d), halvo_api_set_volume_finish(r)),
        PAIR(halvo_api_get_volume_async(address, nullptr, cb, d), int v; halvo_api_get_volume_finish(r, &v)),
        PAIR(halvo_api_get_num_of_connected_spaker_async(nullptr, cb, d), int n; halvo_api_get_num_of_connected_spaker_finish(r, &n)),
        PAIR(halvo_api_mute_unmute_async(nullptr, cb, d), halvo_api_mute_unmute_finish(r)),
        PAIR(halvo_api_volume_down_async(nullptr, cb, d), halvo_api_volume_down_finish(r)),
        PAIR(halvo_api_volume_up_async(nullptr, cb, d), halvo_api_volume_up_finish(r)),
        PAIR(halvo_api_get_mute_state_async(nullptr, cb, d), bool b; halvo_api_get_mute_state_finish(r, &b)),
        PAIR(halvo_api_set_mute_async(false, nullptr, cb, d), halvo_api_set_mute_finish(r)),
        PAIR(halvo_api_get_last_bluetooth_speaker_icon_path_async("SB", nullptr, cb, d),
             char *p = nullptr; halvo_api_get_last_bluetooth_speaker_icon_path_finish(r, &p); free(p)),
        PAIR(halvo_api_replace_current_speaker_async(address, nullptr, cb, d), halvo_api_replace_current_speaker_finish(r)),
        LIST(halvo_get_info_sync_devices, halvo_free_info_sync_devices(&l)),
        PAIR(halvo_remove_info_sync_device_async("K", nullptr, cb, d), halvo_remove_info_sync_device_finish(r)),
        PAIR(halvo_foreach_blocked_devices_async([](const char *, char *, void *) { return true; }, nullptr, nullptr, cb, d),
             halvo_foreach_blocked_devices_finish(r)),
        PAIR(halvo_remove_pairing_blocked_devices_async(address, nullptr, cb, d), halvo_remove_pairing_blocked_devices_finish(r)),
        PAIR(halvo_tuvo_switching_connect_async(address, nullptr, cb, d), halvo_tuvo_switching_connect_finish(r)),
        PAIR(halvo_tuvo_switching_disconnect_async(address, nullptr, cb, d), halvo_tuvo_switching_disconnect_finish(r)),
        LIST(halvo_api_speakers_with_volumes, halvo_free_speakers_with_volumes(&l)),
#undef LIST
#undef PAIR
    };
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 4));
    Peer::reply("get_volume_controlable_by_address", g_variant_new("(ii)", 0, 1));
    Peer::reply("get_devices_info", g_variant_new("(s)", R"({"result":true,"data":{"Devices":[{"address":"A"}]}})"));
    Peer::reply("get_device_type", g_variant_new("(i)", 2));
    store_write("memory/org.velmo.pellix/soundoutput_info", R"([{"address":"AA:01"},{"address":"AA:02"}])");
    store_write("memory/menu/network/screenmirroring/get_volume_mute_bt", "0");
    store_write("db/com.marlox.tv.bt-rilomanager/btinfosync/devices", R"({"K":{"address":"A","name":"n"}})");

    /* One record per call: its finish, and how often its callback ran. */
    struct Slot {
        Finish finish;
        int calls = 0;
    };
    auto run_all = [] {
        std::vector<Slot> slots;
        for (const auto &p : pairs)
            slots.push_back({p.second});
        address = g_strdup(ADDRESS);
        data = g_strdup("\x01\x02");
        info = {data, data, data, BT_SPK_AUDIO_TYPE_FIRST};
        for (size_t i = 0; i < slots.size(); i++)
            pairs[i].first(
                [](GObject *, GAsyncResult *r, gpointer d) {
                    auto *slot = static_cast<Slot *>(d);
                    slot->calls++;
                    slot->finish(r);
                },
                &slots[i]);
        g_clear_pointer(&address, g_free);
        g_clear_pointer(&data, g_free);
        /* A generous bound: valgrind runs this too. */
        run_until([&] {
            for (const Slot &slot : slots)
                if (slot.calls == 0)
                    return false;
            return true;
        }, 30000);
        for (size_t i = 0; i < slots.size(); i++)
            EXPECT_EQ(slots[i].calls, 1) << "pair " << i;
    };
    std::thread other([&] {
        GMainContext *ctx = g_main_context_new();
        g_main_context_push_thread_default(ctx);
        run_all();
        g_main_context_pop_thread_default(ctx);
        g_main_context_unref(ctx);
    });
    run_all();
    other.join();
}

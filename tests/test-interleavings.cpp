/* Interleavings of the non-blocking core: a callback that runs a nested
 * loop, several threads racing for the first connection, edits of one
 * document at once, and cancels while calls wait their turn. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace halvo_test;

namespace {

const char *const ADDRESS = "AA:BB:CC:DD:EE:01";

/* A thread with a context of its own, iterated until it is told to stop. */
class LoopThread {
  public:
    explicit LoopThread(std::function<void()> start = nullptr)
        : context_(g_main_context_new()), thread_([this, start] {
              g_main_context_push_thread_default(context_);
              if (start)
                  start();
              while (!stop_)
                  g_main_context_iteration(context_, TRUE);
              g_main_context_pop_thread_default(context_);
          })
    {
    }
    ~LoopThread()
    {
        stop_ = true;
        g_main_context_wakeup(context_);
        thread_.join();
        g_main_context_unref(context_);
    }
    GMainContext *context() const { return context_; }

  private:
    GMainContext *context_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Ended {
    std::atomic<int> calls{0};
    std::atomic<int> rc{-1000};
};

template <int (*Finish)(GAsyncResult *)> void ended(GObject *, GAsyncResult *result, gpointer data)
{
    auto *e = static_cast<Ended *>(data);
    e->rc = Finish(result);
    e->calls++;
}

} // namespace

/* A callback that runs a nested loop, as a modal dialog does, while a
 * store notification of the library is delivered: nothing of the call that
 * just ended may be touched then (AddressSanitizer sees it). */
TEST(Interleavings, ACallbackMayRunANestedLoopWhileTheLibraryNotifies)
{
    store_write(kMuteKey, "1");
    static std::atomic<int> mute_events{0};
    ASSERT_EQ(0, halvo_api_set_mute_changed_callback([](bool, void *) { mute_events++; }, nullptr));
    Peer::stop();
    struct Ctx {
        int rc = -1000;
        halvo_failure_e failure = HALVO_FAILURE_NONE;
        bool done = false;
    } ctx;
    halvo_api_get_volume_async(
        ADDRESS, nullptr,
        [](GObject *, GAsyncResult *result, gpointer data) {
            auto *c = static_cast<Ctx *>(data);
            int volume = -1;
            c->rc = halvo_api_get_volume_finish(result, &volume);
            c->failure = halvo_api_last_failure();
            /* The library reads the removed key, and fails, in here. */
            store_remove(kMuteKey);
            store_settle();
            c->done = true;
        },
        &ctx);
    EXPECT_TRUE(run_until([&] { return ctx.done; }));
    EXPECT_EQ(ctx.rc, HALVO_ERROR_OPERATION_FAILED);
    EXPECT_EQ(ctx.failure, HALVO_FAILURE_NO_SERVICE);
    EXPECT_EQ(mute_events, 0) << "a key that is gone is no state to report";
    EXPECT_EQ(0, halvo_api_unset_mute_changed_callback());
    Peer::start();
}

/* Threads that start calls while another sets a callback, all as the first
 * connection is made: one connection comes of it, and the subscription is
 * on it, so every signal reaches the callback. */
TEST(Interleavings, RacingForTheFirstConnectionKeepsTheSubscription)
{
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 1));
    static std::atomic<int> heard{0};
    for (int round = 0; round < 8; round++) {
        SCOPED_TRACE(round);
        forget_system_bus();
        heard = 0;
        std::atomic<bool> go{false}, set{false};
        std::vector<Ended> done(400);
        std::atomic<int> started{0}, starters_done{0};
        {
            auto starter = [&](int first) {
                return [&, first] {
                    while (!go)
                        std::this_thread::yield();
                    for (int i = first; i < int(done.size()) && !set; i += 2, started++)
                        halvo_api_get_volume_async(
                            ADDRESS, nullptr,
                            [](GObject *, GAsyncResult *r, gpointer d) {
                                int v;
                                halvo_api_get_volume_finish(r, &v);
                                static_cast<Ended *>(d)->calls++;
                            },
                            &done[i]);
                    starters_done++;
                };
            };
            LoopThread a(starter(0)), b(starter(1));
            go = true;
            ASSERT_EQ(0, halvo_api_set_volume_changed_callback([](const char *, int, void *) { heard++; }, nullptr));
            set = true;
            /* A starter may still be making its last call: wait for it, or
             * that call's answer goes to a context nobody iterates. */
            EXPECT_TRUE(run_until([&] {
                int n = 0;
                for (Ended &e : done)
                    n += e.calls;
                return starters_done == 2 && n == started;
            }));
        }
        Peer::emit_many("bt_spk_volume_changed_by_address", g_variant_new("(si)", ADDRESS, 5), 3);
        Peer::sync_signals();
        EXPECT_EQ(heard, 3);
        EXPECT_EQ(0, halvo_api_unset_volume_changed_callback());
    }
}

/* Edits of one document started together, non-blocking and blocking, from
 * two threads: each reads what the one before wrote, so none is lost. */
TEST(Interleavings, EditsOfOneDocumentAreNeverLost)
{
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE(round);
        store_write(kBlockedKey, R"({"A1":{"name":"a"},"A2":{"name":"b"},"A3":{"name":"c"},"A4":{"name":"d"}})");
        std::vector<Ended> done(2);
        halvo_remove_pairing_blocked_devices_async("A1", nullptr, ended<halvo_remove_pairing_blocked_devices_finish>,
                                                   &done[0]);
        halvo_remove_pairing_blocked_devices_async("A2", nullptr, ended<halvo_remove_pairing_blocked_devices_finish>,
                                                   &done[1]);
        std::thread other([] { EXPECT_EQ(0, halvo_remove_pairing_blocked_devices("A3")); });
        EXPECT_EQ(0, halvo_remove_pairing_blocked_devices("A4"));
        other.join();
        EXPECT_TRUE(run_until([&] { return done[0].calls + done[1].calls == 2; }));
        EXPECT_EQ(done[0].rc, 0);
        EXPECT_EQ(done[1].rc, 0);
        EXPECT_EQ(store_read(kBlockedKey), "{}");

        store_write(kInfoSyncKey, R"({"k1":{"deleted_on_tv":false},"k2":{"deleted_on_tv":false}})");
        std::thread sync_other([] { EXPECT_EQ(0, halvo_remove_info_sync_device("k1")); });
        EXPECT_EQ(0, halvo_remove_info_sync_device("k2"));
        sync_other.join();
        EXPECT_EQ(store_read(kInfoSyncKey), R"({"k1":{"deleted_on_tv":true},"k2":{"deleted_on_tv":true}})");
    }
}

/* Mute changes against a service that never answers, then cancelled: every
 * one finishes at once, waiting its turn or not, while the service still
 * holds the first. */
TEST(Interleavings, CancelledMuteChangesFinishWhileTheServiceHoldsThem)
{
    store_write(kMuteKey, "0");
    Peer::hold("spk_mute_unmute", g_variant_new("(i)", 0));
    GCancellable *screen = g_cancellable_new();
    std::vector<Ended> done(20);
    for (size_t i = 0; i < done.size(); i++)
        halvo_api_set_mute_async(i % 2 == 0, screen, ended<halvo_api_set_mute_finish>, &done[i]);
    ASSERT_TRUE(run_until([] { return Peer::calls("spk_mute_unmute").size() == 1; }));

    g_cancellable_cancel(screen);
    EXPECT_TRUE(run_until([&] {
        int n = 0;
        for (Ended &e : done)
            n += e.calls;
        return n == int(done.size());
    }));
    for (Ended &e : done)
        EXPECT_EQ(e.rc, HALVO_ERROR_CANCELLED);
    EXPECT_EQ(Peer::calls("spk_mute_unmute").size(), 1u) << "a call cancelled in its turn sends nothing";
    Peer::release("spk_mute_unmute");
    g_object_unref(screen);
}

/* A store that blocks holds up only the edit in hand: a change waiting its
 * turn behind that edit still ends at its own bound. */
TEST(Interleavings, AChangeWaitingBehindAStalledStoreEndsAtItsBound)
{
    store_write(kMuteKey, "0");
    const std::string fifo = store_root() + "/.stall";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::atomic<bool> first_returned{false};
    std::thread first([&] {
        halvo_api_set_mute(true);
        first_returned = true;
    });
    /* The first edit holds the turn once it waits in the store's read. */
    int stall = -1;
    while ((stall = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO)
        g_usleep(1000);
    ASSERT_GE(stall, 0);
    Ended second;
    halvo_api_set_mute_async(false, nullptr, ended<halvo_api_set_mute_finish>, &second);
    EXPECT_TRUE(run_until([&] { return second.calls == 1; }, 30000));
    EXPECT_EQ(second.rc, HALVO_ERROR_OPERATION_FAILED);
    EXPECT_FALSE(first_returned) << "the first edit was still in the store";
    close(stall);
    unlink(fifo.c_str());
    first.join();
}

/* An unset from another thread returns only once the callback running
 * meanwhile has returned: the callback stays in until the unset either
 * waits for it or has returned without waiting. */
TEST(Interleavings, AnUnsetFromAnotherThreadWaitsForTheRunningCallback)
{
    static std::atomic<bool> set{false}, entered{false}, returned{false}, overtaken{false}, left{false};
    LoopThread delivering([] {
        EXPECT_EQ(0, halvo_api_set_volume_changed_callback(
                         [](const char *, int, void *) {
                             entered = true;
                             while (halvo_core::listeners::waiting() == 0 && !returned)
                                 std::this_thread::yield();
                             overtaken = returned.load();
                             left = true;
                         },
                         nullptr));
        set = true;
    });
    ASSERT_TRUE(run_until([] { return set.load(); }));
    Peer::emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", ADDRESS, 5));
    ASSERT_TRUE(run_until([] { return entered.load(); }));
    std::thread([] {
        EXPECT_EQ(0, halvo_api_unset_volume_changed_callback());
        returned = true;
    }).join();
    ASSERT_TRUE(run_until([] { return left.load(); }));
    EXPECT_FALSE(overtaken) << "the unset returned while the callback still ran";
}

/* A callback set again from another thread is called there, even while
 * the first setter's thread no longer iterates its context. */
TEST(Interleavings, ACallbackSetAgainRunsInTheNewSettersContext)
{
    static std::atomic<int> heard{0};
    static std::atomic<GThread *> where{nullptr};
    auto callback = [](const char *, int, void *) {
        where = g_thread_self();
        heard++;
    };
    /* This thread sets it first, then stops iterating. */
    ASSERT_EQ(0, halvo_api_set_volume_changed_callback(callback, nullptr));
    std::atomic<GThread *> other{nullptr};
    {
        LoopThread second([&] {
            EXPECT_EQ(0, halvo_api_set_volume_changed_callback(callback, nullptr));
            other = g_thread_self(); /* once the set has returned */
        });
        ASSERT_TRUE(run_until([&] { return other != nullptr; }));
        Peer::emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", ADDRESS, 9));
        /* Without iterating this thread's context; the bound only ends a
         * failing run, as run_until's does. */
        gint64 give_up = g_get_monotonic_time() + 15 * G_USEC_PER_SEC;
        while (heard == 0 && g_get_monotonic_time() < give_up)
            std::this_thread::yield();
        EXPECT_EQ(heard, 1);
        EXPECT_EQ(where.load(), other.load());
    }
    EXPECT_EQ(0, halvo_api_unset_volume_changed_callback());
}

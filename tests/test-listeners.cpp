/* Listeners: several per event on threads of their own, mixed with the
 * single-slot setter; the service's presence; and a thread that iterates
 * no GLib context, served through the event descriptor. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace halvo_test;

namespace {

const char *const ADDRESS = "AA:BB:CC:DD:EE:01";
const char *const VOLUME_SIGNAL = "bt_spk_volume_changed_by_address";

struct Heard {
    std::atomic<int> events{0};
    std::atomic<int> destroyed{0};
    GMainContext *expected = nullptr;
    std::atomic<int> elsewhere{0}; /* events that ran in another context */
};

void on_volume(const char *, int, gpointer data)
{
    auto *h = static_cast<Heard *>(data);
    if (!g_main_context_is_owner(h->expected))
        h->elsewhere++;
    h->events++;
}

void on_destroy(gpointer data)
{
    static_cast<Heard *>(data)->destroyed++;
}

gulong connect_volume(Heard *h)
{
    h->expected = g_main_context_get_thread_default();
    return halvo_api_connect(HALVO_EVENT_VOLUME_CHANGED, G_CALLBACK(on_volume), h, on_destroy);
}

} // namespace

/* Three listeners on their own threads and one on this thread beside the
 * single-slot setter: each event reaches each, in its own context; one
 * disconnected meanwhile hears no more, and each destroy runs once. */
TEST(Listeners, SeveralPerEventEachInItsOwnContext)
{
    EXPECT_EQ(0u, halvo_api_connect(HALVO_EVENT_VOLUME_CHANGED, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, halvo_api_connect(halvo_event_e(0), G_CALLBACK(on_volume), nullptr, nullptr));
    {
        /* A store that cannot watch the key (its directory is a file) refuses
         * the listener, says so, and leaves the data to the caller. */
        std::string dir = store_root() + "/" + kMuteKey;
        dir.erase(dir.rfind('/'));
        ASSERT_EQ(0, g_mkdir_with_parents(dir.substr(0, dir.rfind('/')).c_str(), 0755));
        ASSERT_TRUE(g_file_set_contents(dir.c_str(), "", 0, nullptr));
        LogCapture log;
        Heard refused;
        EXPECT_EQ(0u, halvo_api_connect(HALVO_EVENT_MUTE_CHANGED, G_CALLBACK(on_volume), &refused, on_destroy));
        EXPECT_TRUE(log.contains("fail to watch"));
        EXPECT_EQ(refused.destroyed, 0);
        unlink(dir.c_str());
    }

    static std::atomic<int> slot_events{0};
    ASSERT_EQ(0, halvo_api_set_volume_changed_callback([](const char *, int, void *) { slot_events++; }, nullptr));
    Heard here, away[3];
    gulong here_id = connect_volume(&here);
    ASSERT_NE(0u, here_id);

    std::atomic<bool> stop{false};
    std::atomic<int> connected{0};
    std::vector<std::thread> threads;
    GMainContext *contexts[3];
    for (int i = 0; i < 3; i++)
        threads.emplace_back([&, i, context = contexts[i] = g_main_context_new()] {
            Heard &h = away[i];
            g_main_context_push_thread_default(context);
            gulong id = connect_volume(&h);
            connected++;
            while (!stop)
                g_main_context_iteration(context, TRUE);
            halvo_api_disconnect(id);
            halvo_api_disconnect(id); /* a second time: nothing */
            g_main_context_pop_thread_default(context);
            g_main_context_unref(context);
        });
    ASSERT_TRUE(run_until([&] { return connected == 3; }));

    Peer::emit_many(VOLUME_SIGNAL, g_variant_new("(si)", ADDRESS, 5), 3);
    EXPECT_TRUE(run_until([&] { return here.events == 3 && slot_events == 3 && away[2].events == 3; }));
    halvo_api_disconnect(here_id);
    EXPECT_EQ(here.destroyed, 1);
    Peer::emit_many(VOLUME_SIGNAL, g_variant_new("(si)", ADDRESS, 6), 2);
    EXPECT_TRUE(run_until([&] { return away[0].events == 5 && away[1].events == 5 && away[2].events == 5; }));
    EXPECT_TRUE(run_until([&] { return slot_events == 5; }));
    stop = true;
    for (int i = 0; i < 3; i++) {
        g_main_context_wakeup(contexts[i]);
        threads[size_t(i)].join();
    }
    EXPECT_EQ(here.events, 3);
    for (Heard &h : away) {
        EXPECT_EQ(h.elsewhere, 0);
        EXPECT_EQ(h.destroyed, 1);
    }
    EXPECT_EQ(0, halvo_api_unset_volume_changed_callback());
}

/* A listener that disconnects itself: the disconnect returns at once and
 * the destroy notify runs after the listener has returned. */
TEST(Listeners, ADisconnectFromInsideDestroysOnReturn)
{
    struct Self {
        gulong id = 0;
        int calls = 0;
        int destroyed_inside = -1;
        int destroyed = 0;
    } self;
    self.id = halvo_api_connect(
        HALVO_EVENT_VOLUME_CHANGED, G_CALLBACK(+[](const char *, int, gpointer d) {
            auto *s = static_cast<Self *>(d);
            s->calls++;
            halvo_api_disconnect(s->id);
            s->destroyed_inside = s->destroyed;
        }),
        &self, [](gpointer d) { static_cast<Self *>(d)->destroyed++; });
    ASSERT_NE(0u, self.id);
    Peer::emit_many(VOLUME_SIGNAL, g_variant_new("(si)", ADDRESS, 1), 2);
    EXPECT_TRUE(run_until([&] { return self.destroyed == 1; }));
    flush_deliveries();
    EXPECT_EQ(self.calls, 1);
    EXPECT_EQ(self.destroyed_inside, 0);
}

/* A presence listener, once the service is there, hears exactly
 * {false, true} across @leave and @come_back. */
static void expect_presence_lost_and_found(const std::function<void()> &leave, const std::function<void()> &come_back)
{
    static std::vector<bool> changes;
    gulong id = halvo_api_connect(HALVO_EVENT_SERVICE_CHANGED,
                                  G_CALLBACK(+[](bool present, gpointer) { changes.push_back(present); }), nullptr,
                                  nullptr);
    ASSERT_NE(0u, id);
    /* Heard as a change, unless the library had heard it before. */
    ASSERT_TRUE(run_until([] { return halvo_api_service_present(); }));
    flush_deliveries();
    changes.clear();
    leave();
    EXPECT_TRUE(run_until([] { return changes.size() == 1; }));
    EXPECT_FALSE(halvo_api_service_present());
    come_back();
    EXPECT_TRUE(run_until([] { return changes.size() == 2; }));
    EXPECT_TRUE(halvo_api_service_present());
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));
    halvo_api_disconnect(id);
}

/* The service's presence follows its name: lost when the peer stops,
 * back when it returns, each change told once. */
TEST(Listeners, PresenceFollowsTheServiceLeavingAndComingBack)
{
    expect_presence_lost_and_found(Peer::stop, Peer::start);
}

/* The bus daemon itself dies and comes back: presence is lost with the
 * connection and found again by the library's own reconnection, with
 * only a presence listener to want one. */
TEST(Listeners, PresenceFollowsTheBusDaemonGoingAndComingBack)
{
    OwnBus own;
    own.bus.start_peer();
    expect_presence_lost_and_found(
        [&] {
            own.bus.kill_daemon();
            own.bus.stop_peer();
        },
        [&] {
            own.bus.start_daemon();
            own.bus.start_peer();
        });
    forget_system_bus();
}

/* A thread that iterates no GLib context: its call's answer and its
 * listener's events come through the descriptor and dispatch alone. */
TEST(Listeners, AThreadWithoutAGLibLoopIsServedThroughTheDescriptor)
{
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 17));
    std::thread plain([] {
        int fd = halvo_api_event_fd();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(fd, halvo_api_event_fd());
        Heard heard;
        gulong id = connect_volume(&heard);
        ASSERT_NE(0u, id);
        struct Answer {
            int rc = -1000, volume = -1;
            bool done = false;
        } answer;
        halvo_api_get_volume_async(
            ADDRESS, nullptr,
            [](GObject *, GAsyncResult *r, gpointer d) {
                auto *a = static_cast<Answer *>(d);
                a->rc = halvo_api_get_volume_finish(r, &a->volume);
                a->done = true;
                /* Caused after the listener was there: it must hear it. */
                Peer::emit(VOLUME_SIGNAL, g_variant_new("(si)", ADDRESS, a->volume));
            },
            &answer);
        pollfd p{fd, POLLIN, 0};
        while (!answer.done || heard.events == 0) {
            ASSERT_GE(poll(&p, 1, halvo_api_event_timeout()), 0);
            halvo_api_dispatch();
        }
        /* A timer of the thread's own comes through the time-out. */
        bool fired = false;
        GSource *timer = g_timeout_source_new(1);
        g_source_set_callback(timer, [](gpointer d) -> gboolean { return *static_cast<bool *>(d) = true, FALSE; },
                              &fired, nullptr);
        g_source_attach(timer, g_main_context_get_thread_default());
        g_source_unref(timer);
        while (!fired) {
            ASSERT_GE(poll(&p, 1, halvo_api_event_timeout()), 0);
            halvo_api_dispatch();
        }
        EXPECT_EQ(answer.rc, 0);
        EXPECT_EQ(answer.volume, 17);
        EXPECT_EQ(heard.events, 1);
        EXPECT_EQ(heard.elsewhere, 0);
        halvo_api_disconnect(id);
        EXPECT_EQ(heard.destroyed, 1);
    });
    plain.join();
    /* A thread that ends gives its descriptors back. */
    auto open_fds = [] {
        GDir *dir = g_dir_open("/proc/self/fd", 0, nullptr);
        int n = 0;
        while (g_dir_read_name(dir))
            n++;
        g_dir_close(dir);
        return n;
    };
    int before = open_fds();
    for (int i = 0; i < 3; i++)
        std::thread([] { EXPECT_GE(halvo_api_event_fd(), 0); }).join();
    EXPECT_EQ(open_fds(), before);
    /* A thread iterating a context of its own keeps it. */
    GMainContext *own = g_main_context_new();
    g_main_context_push_thread_default(own);
    EXPECT_EQ(-1, halvo_api_event_fd());
    g_main_context_pop_thread_default(own);
    g_main_context_unref(own);
}

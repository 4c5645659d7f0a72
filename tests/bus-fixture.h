/* bus-fixture.h - what the tests share: a private bus, the scriptable peer,
 * the store's root, log capture, and waiting on the main context. */
#ifndef HALVO_BUS_FIXTURE_H
#define HALVO_BUS_FIXTURE_H

#include <gio/gio.h>
#include <halvo-api.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace halvo_test {

/* @s, or "<null>" for NULL, so that EXPECT_EQ can compare it. */
inline std::string str(const char *s)
{
    return s ? s : "<null>";
}

/* str() of a string the library handed over, which it frees. */
inline std::string take(char *s)
{
    std::string r = str(s);
    free(s);
    return r;
}

/* The private bus of this test process; DBUS_SYSTEM_BUS_ADDRESS points at
 * it.  Started once per process by the test main, before any test. */
const std::string &bus_address();

/* Iterates the thread-default main context until @done holds or
 * @timeout_ms passes.  Returns @done's last value.  The bound only ends a
 * failing run: it is wide enough for valgrind on a loaded machine. */
bool run_until(const std::function<bool()> &done, int timeout_ms = 15000);

/* "<failure kind>: <result>" of the operation that just returned @result;
 * read before its outputs are freed (a free is an operation too). */
std::string outcome(int result);
std::string outcome(const char *result);

/* outcome() and an output after it, read once the call has returned. */
template <typename T> std::string outcome(int result, const T *value)
{
    return outcome(result) + "|" + std::to_string(*value);
}
/* The same for a string handed over, which is freed. */
std::string outcome(int result, char **text);

/* A copy of @text (NULL stays NULL) that expect_twins_agree() spoils and
 * frees once the call given it returns: no call may read it later. */
const char *arg(const char *text);
/* arg() of an address, or of text that is not UTF-8 when @bad. */
inline const char *address(bool bad)
{
    return arg(bad ? "\xff" : "AA:01");
}

/* A list holding one blank record of @size bytes, which a call that
 * appends leaves first. */
inline GSList *held_list(size_t size)
{
    return g_slist_prepend(nullptr, calloc(1, size));
}

using Ready = GAsyncReadyCallback;

/* One operation both ways, each folded into outcome() and its outputs
 * (outputs start set, and owned ones are freed as a caller would).  @bad:
 * with an input it refuses. */
struct Twin {
    const char *method; /* the call to script; NULL: the operation works on the store */
    const char *reply;  /* its reply for a success, in GVariant text */
    bool refuses;       /* has an input to refuse */
    std::string (*blocking)(bool bad);
    void (*start)(bool bad, GCancellable *cancellable, Ready callback, gpointer data);
    std::string (*finish)(GAsyncResult *result, bool bad);
    /* The failure when the service answers with an error, or the store
     * is as @script leaves it when failing. */
    halvo_failure_e on_error = HALVO_FAILURE_ERROR_REPLY;
};

/* The calls of a Twin row, NAME, NAME_async and NAME_finish, given NAME's
 * inputs (which may use `bad`).  TWIN_CALLS: FOLD(result) prints the
 * outcome.  TWIN_OUT_CALLS: one output too, a T `o` that starts as INIT,
 * and FOLD(result, &o) prints both (and frees what was handed over).
 * TWIN_OUTS_CALLS: the outputs handed to NAME and NAME_finish are OUTS,
 * a parenthesised list made from `o` (and `bad`). */
#define TWIN_CALLS(FOLD, NAME, ...)                                                                        \
    [](bool bad) { (void)bad; return FOLD(NAME(__VA_ARGS__)); }, TWIN_START(NAME, __VA_ARGS__),            \
        [](GAsyncResult *r, bool) { return FOLD(NAME##_finish(r)); }
#define TWIN_OUT_CALLS(FOLD, T, INIT, NAME, ...) TWIN_OUTS_CALLS(FOLD, T, INIT, (&o), NAME, __VA_ARGS__)
#define TWIN_OUTS_CALLS(FOLD, T, INIT, OUTS, NAME, ...)                                                    \
    [](bool bad) {                                                                                         \
        (void)bad;                                                                                         \
        T o = INIT;                                                                                        \
        return FOLD(NAME(__VA_ARGS__ __VA_OPT__(, ) TWIN_UNPAREN OUTS), &o);                               \
    },                                                                                                     \
        TWIN_START(NAME, __VA_ARGS__), [](GAsyncResult *r, bool bad) {                                     \
            (void)bad;                                                                                     \
            T o = INIT;                                                                                    \
            return FOLD(NAME##_finish(r, TWIN_UNPAREN OUTS), &o);                                          \
        }
#define TWIN_UNPAREN(...) __VA_ARGS__
#define TWIN_START(NAME, ...)                                                                              \
    [](bool bad, GCancellable *c, Ready cb, gpointer d) {                                                  \
        (void)bad;                                                                                         \
        NAME##_async(__VA_ARGS__ __VA_OPT__(, ) c, cb, d);                                                 \
    }

/* Runs each twin for a success, a refused input (sent nowhere), a failure
 * and a cancel before the start; @script (peer rules, the store) runs
 * before each run.  The pair must finish through its callback, never
 * inside _async, as the blocking call returned, with the same failure
 * kind, having sent the same calls.  A failed, refused or cancelled call
 * writes no output, and _finish refuses a foreign result. */
void expect_twins_agree(const Twin *twins, size_t count, void (*script)(bool failing) = nullptr);

/* Returns once every event the library's bus thread has taken in so far
 * has been handed to this thread's context and run there. */
void flush_deliveries();

/* Returns once the bus has handled every message the library's connection
 * sent so far, its match rules included. */
void flush_system_bus();

/* One call the peer received. */
struct Call {
    std::string destination, interface, member;
    std::shared_ptr<GVariant> body; /* the call's tuple ("()" when it had none) */
    bool no_reply = false;          /* sent saying it wants no reply */
    std::string text() const;       /* body printed without type annotations */
};

/* A private dbus-daemon with the scriptable peer (tests/peer/halvo-testpeer.c)
 * on it, owning both service names and scripted through a connection of
 * its own.  The test process has one, behind Peer; a test may start more. */
class PrivateBus {
  public:
    /* Empty @address: the daemon picks one.  Otherwise it listens there, so
     * that it can be started again at the same address. */
    explicit PrivateBus(std::string address = "");
    ~PrivateBus();
    const std::string &address() const { return address_; }
    void start_daemon();
    void kill_daemon();
    /* SIGSTOP, returning once the daemon has stopped; and SIGCONT. */
    void stop_daemon();
    void continue_daemon();
    /* Starts the peer and waits until it owns its names. */
    void start_peer();
    /* Stops it (SIGTERM, then waits until the bus has seen it go). */
    void stop_peer();
    int peer_pid() const { return peer_; }
    /* A call on the peer's control interface; NULL (and a failure) on error. */
    GVariant *control(const char *method, GVariant *args, const char *reply_type = nullptr);
    void reply(const char *method, GVariant *body, const char *arg0 = "");
    void emit(const char *name, GVariant *body, const char *path = "/org/velmo/pellix",
              const char *iface = "org.velmo.pellix");
    /* Returns once every signal its peer emitted so far has been
     * dispatched on this thread's main context. */
    void sync_signals();

  private:
    GDBusConnection *connection();
    void wait_for_name(const char *name, bool owned);
    std::string socket_, address_;
    int daemon_ = 0, peer_ = 0;
    GDBusConnection *control_ = nullptr;
};

/* A bus daemon of the test's own, in a fresh directory, taken as the
 * system bus until the end of the scope. */
struct OwnBus {
    OwnBus();
    ~OwnBus();
    gchar *dir;
    PrivateBus bus;
};

/* The peer of the test process's own bus.  Rules stay until reset(). */
class Peer {
  public:
    static void start();
    static void stop();
    static bool running();
    static int pid();

    /* Reply to @method with @body (a tuple; floating is sunk).  With @arg0,
     * only calls whose first argument is that string. */
    static void reply(const char *method, GVariant *body, const char *arg0 = "");
    static void error(const char *method, const char *name = "org.halvo.Error.Failed",
                      const char *text = "failed on purpose");
    static void silent(const char *method);
    /* Holds the calls of @method until release(), which answers each with
     * @body. */
    static void hold(const char *method, GVariant *body);
    static void release(const char *method);
    /* The peer kills itself (SIGKILL) when @method is called. */
    static void die(const char *method);
    static void reset();
    static std::vector<Call> calls();
    static std::vector<Call> calls(const char *member);
    /* The first argument, a string, of each of those calls. */
    static std::vector<std::string> first_args(const char *member);
    /* Emits a signal from the peer.  @body is a tuple or a single value. */
    static void emit(const char *name, GVariant *body, const char *path = "/org/velmo/pellix",
                     const char *iface = "org.velmo.pellix");
    static void emit_many(const char *name, GVariant *body, unsigned count,
                          const char *path = "/org/velmo/pellix", const char *iface = "org.velmo.pellix");
    /* Returns once every signal the peer emitted so far has been dispatched
     * on this thread's main context (a marker signal round trip on the
     * shared system-bus connection). */
    static void sync_signals();
};

/* Captures the lines of the system log while alive, from every thread:
 * the library's own threads log too, at any moment. */
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    bool contains(const std::string &text) const;
    int count(const std::string &text) const;
    /* Lines are "<prio> <line>", e.g. "6 halvo-api.cpp: f(12) > Dbus failed". */
    std::vector<std::string> lines() const;
    void clear();

  private:
    static void sink(int prio, const char *tag, const char *line, void *data);
    std::vector<std::string> lines_;
};

/* The store's keys the library reads and edits. */
inline const char *const kConnectedKey = "memory/org.velmo.pellix/soundoutput_info";
inline const char *const kLastKey = "db/pellix/last_btspk_list";
inline const char *const kAddressesKey = "memory/pellix/connected_btspk_addr_list";
inline const char *const kInfoSyncKey = "db/com.marlox.tv.bt-rilomanager/btinfosync/devices";
inline const char *const kBlockedKey = "db/pellix/pairing_blocekd_devices";
inline const char *const kMuteKey = "memory/menu/network/screenmirroring/get_volume_mute_bt";

/* The store's root of this process (a fresh temporary directory). */
const std::string &store_root();
/* Writes a key's file atomically, as another process would. */
void store_write(const std::string &key, const std::string &value);
/* The key's file content; nullopt-like: @ok false when it does not exist. */
std::string store_read(const std::string &key, bool *ok = nullptr);
void store_remove(const std::string &key);
/* The names in directory @dir (none when it cannot be read). */
std::set<std::string> dir_entries(const std::string &dir);
/* Returns once every change made to the store so far has been reported
 * to this thread's main context (a marker key's notification). */
void store_settle();

/* Drops the library's bus connection and waits until it is gone, so that
 * the next use connects to whatever DBUS_SYSTEM_BUS_ADDRESS names then.  No
 * internal row may be subscribed. */
void forget_system_bus();

} // namespace halvo_test

#endif

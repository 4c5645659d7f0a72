/* bus-fixture.h - what the tests share: a private bus, the scriptable peer,
 * the store's root, log capture, and waiting on the main context. */
#ifndef HALVO_BUS_FIXTURE_H
#define HALVO_BUS_FIXTURE_H

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace halvo_test {

/* The private bus of this test process; DBUS_SYSTEM_BUS_ADDRESS points at
 * it.  Started once per process by the test main, before any test. */
const std::string &bus_address();

/* Iterates the thread-default main context until @done holds or
 * @timeout_ms passes.  Returns @done's last value. */
bool run_until(const std::function<bool()> &done, int timeout_ms = 3000);
/* Iterates the main context for @ms milliseconds. */
void run_for(int ms);

/* Returns once every signal emitted so far by the peer that @emit_marker
 * talks to has been dispatched on this thread's main context: it
 * subscribes on the shared system-bus connection, has @emit_marker send
 * the marker signal "(i)" (path /org/halvo/TestPeer, interface
 * org.halvo.TestPeer, member HalvoTestMarker), and waits for it; signals on
 * one connection arrive in order. */
void sync_signals_with(const std::function<void(GVariant *marker)> &emit_marker);

/* One call the peer received. */
struct Call {
    std::string destination, interface, member;
    GVariant *body = nullptr; /* the call's tuple ("()" when it had none); owned */
    std::string text() const; /* body printed without type annotations */
    Call() = default;
    Call(const Call &o);
    Call &operator=(const Call &o);
    ~Call();
};

/* The scriptable peer (tests/peer/halvo-testpeer.c), a separate process on
 * the private bus owning both service names.  Rules stay until reset(). */
class Peer {
  public:
    /* Starts the peer and waits until it owns its names. */
    static void start();
    /* Stops it (SIGTERM, then waits). */
    static void stop();
    static bool running();
    static int pid();

    /* Reply to @method with @body (a tuple; floating is sunk).  With @arg0,
     * only calls whose first argument is that string. */
    static void reply(const char *method, GVariant *body, const char *arg0 = "");
    static void error(const char *method, const char *name = "org.halvo.Error.Failed",
                      const char *text = "failed on purpose");
    static void silent(const char *method);
    static void delay(const char *method, unsigned ms);
    static void reset();
    static std::vector<Call> calls();
    static std::vector<Call> calls(const char *member);
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

/* Captures the lines of the system log while alive. */
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    bool contains(const std::string &text) const;
    int count(const std::string &text) const;
    /* Lines are "<prio> <line>", e.g. "6 halvo-api.cpp: f(12) > Dbus failed". */
    const std::vector<std::string> &lines() const { return lines_; }
    void clear() { lines_.clear(); }

  private:
    std::vector<std::string> lines_;
};

/* The store's root of this process (a fresh temporary directory). */
const std::string &store_root();
/* Writes a key's file atomically, as another process would. */
void store_write(const std::string &key, const std::string &value);
/* The key's file content; nullopt-like: @ok false when it does not exist. */
std::string store_read(const std::string &key, bool *ok = nullptr);
void store_remove(const std::string &key);

/* Drops the library's bus connection and waits until it is gone, so that
 * the next use connects to whatever DBUS_SYSTEM_BUS_ADDRESS names then.  No
 * internal row may be subscribed. */
void forget_system_bus();

/* Path of a built helper program next to the tests (set by CMake). */
std::string peer_program();

} // namespace halvo_test

#endif

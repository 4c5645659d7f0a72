/* bus-fixture.cpp - private bus, scriptable peer, store root, log capture. */
#include "bus-fixture.h"

#include <atomic>

#include "halvo-api-private.h"
#include "kerlo.h"
#include "valko.h"

#include <glib/gstdio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>

namespace halvo_test {
namespace {

std::string g_store_root;
PrivateBus *g_bus = nullptr;
LogCapture *g_capture = nullptr;
std::mutex g_capture_lock;

void die_with_parent(gpointer)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

/* With @out_fd (the daemon), its stderr, which only warns, is dropped. */
GPid spawn(const std::vector<std::string> &args, gint *out_fd)
{
    std::vector<gchar *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<gchar *>(a.c_str()));
    argv.push_back(nullptr);
    GPid pid = 0;
    GError *error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, argv.data(), nullptr,
                                  GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                              (out_fd ? G_SPAWN_STDERR_TO_DEV_NULL : 0)),
                                  die_with_parent, nullptr, &pid, nullptr, out_fd, nullptr, &error)) {
        fprintf(stderr, "cannot start %s: %s\n", argv[0], error->message);
        abort();
    }
    return pid;
}

void end(int *pid, int sig)
{
    if (*pid == 0)
        return;
    kill(*pid, SIGCONT);
    kill(*pid, sig);
    /* A process stuck on its way out (a sanitizer's exit-time check) must
     * not hold the test: after a while it is killed outright. */
    for (int waited = 0; waitpid(*pid, nullptr, WNOHANG) == 0; waited++) {
        if (waited == 1000)
            kill(*pid, SIGKILL);
        g_usleep(10000);
    }
    g_spawn_close_pid(*pid);
    *pid = 0;
}

void drop(GVariant *v)
{
    if (v)
        g_variant_unref(v);
}

} // namespace

/* The library keeps a connection of its own: once a round trip on it
 * returns, the bus has handled every match rule the library sent. */
void flush_system_bus()
{
    GDBusConnection *bus = __halvo_api_get_system_connection();
    ASSERT_NE(bus, nullptr);
    drop(g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer",
                                     "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    g_object_unref(bus);
}

namespace {

void control_void(const char *method, GVariant *args)
{
    drop(g_bus->control(method, args));
}

std::string key_path(const std::string &key)
{
    return store_root() + "/" + key;
}

} // namespace

const std::string &bus_address() { return g_bus->address(); }

bool run_until(const std::function<bool()> &done, int timeout_ms)
{
    GMainContext *ctx = g_main_context_get_thread_default();
    if (ctx == nullptr)
        ctx = g_main_context_default();
    gint64 deadline = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
    GSource *tick = g_timeout_source_new(5);
    g_source_set_callback(tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
    g_source_attach(tick, ctx);
    bool ok = done();
    while (!ok && g_get_monotonic_time() < deadline) {
        g_main_context_iteration(ctx, TRUE);
        ok = done();
    }
    g_source_destroy(tick);
    g_source_unref(tick);
    return ok;
}

std::string outcome(int result)
{
    return outcome(std::to_string(result).c_str());
}

std::string outcome(const char *result)
{
    return std::string(halvo_api_failure_name(halvo_api_last_failure())) + ": " + str(result);
}

std::string outcome(int result, char **text)
{
    return outcome(result) + "|" + take(*text);
}

namespace {

std::vector<char *> g_args;

/* Spoils and frees what arg() copied. */
void drop_args()
{
    for (char *a : g_args) {
        memset(a, 'X', strlen(a));
        free(a);
    }
    g_args.clear();
}

/* The calls the peer received since its reset.  A call that wants no
 * reply is in once the bus has passed on what the library sent. */
std::string sent()
{
    flush_system_bus();
    std::string s;
    for (const Call &c : Peer::calls())
        s += c.member + c.text() + ";";
    return s;
}

/* What a twin's outcome says of its outputs. */
std::string outputs(const std::string &s)
{
    return s.substr(std::min(s.find('|'), s.size()));
}

} // namespace

const char *arg(const char *text)
{
    if (text == nullptr)
        return nullptr;
    g_args.push_back(strdup(text));
    return g_args.back();
}

void expect_twins_agree(const Twin *twins, size_t count, void (*script)(bool failing))
{
    struct Seen {
        const Twin *twin;
        bool bad;
        std::string got; /* empty until the callback ran */
    };
    for (size_t i = 0; i < count; i++)
        for (halvo_failure_e kind : {HALVO_FAILURE_NONE, HALVO_FAILURE_INVALID_ARGUMENT, HALVO_FAILURE_ERROR_REPLY,
                                     HALVO_FAILURE_CANCELLED}) {
            const Twin &t = twins[i];
            bool bad = kind == HALVO_FAILURE_INVALID_ARGUMENT, failing = kind == HALVO_FAILURE_ERROR_REPLY;
            if (bad && !t.refuses)
                continue;
            SCOPED_TRACE("row " + std::to_string(i) + " (" + str(t.method) + "), " + halvo_api_failure_name(kind));
            kind = failing ? t.on_error : kind;
            /* Scripts the run; returns what a foreign result gives: the
             * invalid-argument answer and the outputs as they start. */
            auto prepare = [&] {
                Peer::reset();
                if (t.method)
                    failing ? Peer::error(t.method) : Peer::reply(t.method, g_variant_new_parsed(t.reply));
                if (script)
                    script(failing);
                return t.finish(nullptr, false);
            };
            const std::string refusal = "invalid argument: ", foreign = prepare(), untouched = outputs(foreign);
            EXPECT_EQ(foreign.rfind(refusal, 0), 0u) << foreign;
            /* Cancelled, a result code is HALVO_ERROR_CANCELLED; a bool (false),
             * the firmware request ("NG") and the mark's status (-1) answer as
             * when refused. */
            std::string refused = foreign.substr(refusal.size(), foreign.size() - refusal.size() - untouched.size());
            bool as_refused = refused == "0" || refused == "NG" || refused == "-1";
            std::string calls, want = "cancelled: " +
                                      (as_refused ? refused : std::to_string(HALVO_ERROR_CANCELLED)) + untouched;
            if (kind != HALVO_FAILURE_CANCELLED) {
                want = t.blocking(bad);
                drop_args();
                calls = sent();
                EXPECT_EQ(want.rfind(std::string(halvo_api_failure_name(kind)) + ":", 0), 0u) << want;
                EXPECT_TRUE(!bad || calls.empty()) << "a refused call was sent";
                prepare();
            }
            GCancellable *cancellable = g_cancellable_new();
            if (kind == HALVO_FAILURE_CANCELLED)
                g_cancellable_cancel(cancellable);
            Seen seen{&t, bad, ""};
            t.start(bad, cancellable, [](GObject *, GAsyncResult *result, gpointer data) {
                auto *s = static_cast<Seen *>(data);
                s->got = s->twin->finish(result, s->bad);
            }, &seen);
            drop_args();
            EXPECT_TRUE(seen.got.empty()) << "finished inside _async";
            ASSERT_TRUE(run_until([&] { return !seen.got.empty(); }, 10000));
            g_object_unref(cancellable);
            EXPECT_EQ(seen.got, want);
            EXPECT_TRUE(kind == HALVO_FAILURE_NONE || outputs(seen.got) == untouched)
                << seen.got << ": a failed call wrote an output";
            EXPECT_EQ(sent(), calls) << "not sent both ways (a cancelled call sends nothing)";
        }
}

std::string Call::text() const
{
    g_autofree gchar *t = body ? g_variant_print(body.get(), FALSE) : nullptr;
    return t ? t : "";
}

PrivateBus::PrivateBus(std::string address) : address_(std::move(address))
{
    if (!address_.empty())
        socket_ = address_.substr(address_.find('=') + 1);
}

PrivateBus::~PrivateBus()
{
    stop_peer();
    kill_daemon();
}

void PrivateBus::start_daemon()
{
    std::vector<std::string> argv = {"dbus-daemon", "--session", "--nofork", "--print-address=1"};
    if (!socket_.empty())
        argv.push_back("--address=" + address_);
    gint out_fd = -1;
    daemon_ = spawn(argv, &out_fd);
    std::string line;
    char ch;
    while (read(out_fd, &ch, 1) == 1 && ch != '\n')
        line.push_back(ch);
    close(out_fd);
    if (line.empty()) {
        fprintf(stderr, "dbus-daemon printed no address\n");
        abort();
    }
    if (socket_.empty())
        address_ = line;
}

void PrivateBus::stop_daemon()
{
    int status = 0;
    ASSERT_EQ(kill(daemon_, SIGSTOP), 0);
    /* kill() returns before the daemon has stopped. */
    ASSERT_EQ(waitpid(daemon_, &status, WUNTRACED), daemon_);
    ASSERT_TRUE(WIFSTOPPED(status));
}

void PrivateBus::continue_daemon()
{
    kill(daemon_, SIGCONT);
}

void PrivateBus::kill_daemon()
{
    end(&daemon_, SIGKILL);
    if (control_) {
        g_dbus_connection_close_sync(control_, nullptr, nullptr);
        g_clear_object(&control_);
    }
    if (!socket_.empty())
        g_unlink(socket_.c_str());
}

GDBusConnection *PrivateBus::connection()
{
    if (control_ == nullptr) {
        GError *error = nullptr;
        control_ = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (control_ == nullptr) {
            fprintf(stderr, "control connection: %s\n", error->message);
            abort();
        }
        g_dbus_connection_set_exit_on_close(control_, FALSE);
    }
    return control_;
}

/* Waits on the bus's own report of @name's owner, not on the clock. */
void PrivateBus::wait_for_name(const char *name, bool owned)
{
    int state = -1;
    guint watch = g_bus_watch_name_on_connection(
        connection(), name, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection *, const gchar *, const gchar *, gpointer d) { *static_cast<int *>(d) = 1; },
        [](GDBusConnection *, const gchar *, gpointer d) { *static_cast<int *>(d) = 0; }, &state, nullptr);
    /* Only a bound: under qemu on a busy machine the start takes seconds. */
    EXPECT_TRUE(run_until([&] { return state == int(owned); }, 30000))
        << name << (owned ? " not taken" : " not released");
    g_bus_unwatch_name(watch);
}

void PrivateBus::start_peer()
{
    if (peer_)
        return;
    peer_ = spawn({HALVO_TESTPEER_PATH, address_}, nullptr);
    /* The peer takes the control name last. */
    wait_for_name("org.halvo.TestPeer", true);
}

void PrivateBus::stop_peer()
{
    if (!peer_)
        return;
    end(&peer_, SIGTERM);
    /* So that the next call sees no service. */
    if (daemon_)
        wait_for_name("com.marlox.tv.bt.connectionmanager", false);
}

GVariant *PrivateBus::control(const char *method, GVariant *args, const char *reply_type)
{
    GError *error = nullptr;
    GVariant *r = g_dbus_connection_call_sync(connection(), "org.halvo.TestPeer", "/org/halvo/TestPeer",
                                              "org.halvo.TestPeer", method, args,
                                              reply_type ? G_VARIANT_TYPE(reply_type) : nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (r == nullptr) {
        ADD_FAILURE() << "peer control " << method << ": " << error->message;
        g_error_free(error);
    }
    return r;
}

void PrivateBus::reply(const char *method, GVariant *body, const char *arg0)
{
    drop(control("SetReply", g_variant_new("(ssv)", method, arg0, body)));
}

void PrivateBus::emit(const char *name, GVariant *body, const char *path, const char *iface)
{
    flush_system_bus();
    drop(control("Emit", g_variant_new("(sssv)", path, iface, name, body)));
}

/* Signals on one connection arrive in order: once the marker has been
 * dispatched, so has everything the peer emitted before it. */
void PrivateBus::sync_signals()
{
    static int serial = 0;
    int want = ++serial;
    /* On the library's connection, where the signals under test come in. */
    GDBusConnection *bus = __halvo_api_get_system_connection();
    ASSERT_NE(bus, nullptr);
    int seen = 0;
    guint id = g_dbus_connection_signal_subscribe(
        bus, nullptr, "org.halvo.TestPeer", "HalvoTestMarker", "/org/halvo/TestPeer", nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *p, gpointer d) {
            if (g_variant_is_of_type(p, G_VARIANT_TYPE("(i)")))
                g_variant_get(p, "(i)", static_cast<int *>(d));
        },
        &seen, nullptr);
    /* The match rule must be in place at the bus before the marker goes out. */
    flush_system_bus();
    emit("HalvoTestMarker", g_variant_new("(i)", want), "/org/halvo/TestPeer", "org.halvo.TestPeer");
    EXPECT_TRUE(run_until([&] { return seen == want; })) << "marker signal did not arrive";
    g_dbus_connection_signal_unsubscribe(bus, id);
    g_object_unref(bus);
    flush_deliveries();
}

/* The process's peer is its bus's. */
void Peer::start() { g_bus->start_peer(); }
void Peer::stop() { g_bus->stop_peer(); }
bool Peer::running() { return g_bus->peer_pid() != 0; }
int Peer::pid() { return g_bus->peer_pid(); }
void Peer::reply(const char *method, GVariant *body, const char *arg0) { g_bus->reply(method, body, arg0); }
void Peer::sync_signals() { g_bus->sync_signals(); }
void Peer::emit(const char *name, GVariant *body, const char *path, const char *iface)
{
    g_bus->emit(name, body, path, iface);
}

void Peer::error(const char *method, const char *name, const char *text)
{
    control_void("SetError", g_variant_new("(sss)", method, name, text));
}

void Peer::silent(const char *method) { control_void("SetSilent", g_variant_new("(s)", method)); }
void Peer::hold(const char *method, GVariant *body)
{
    control_void("SetHeld", g_variant_new("(sv)", method, body));
}
void Peer::release(const char *method) { control_void("Release", g_variant_new("(s)", method)); }
void Peer::die(const char *method) { control_void("SetDie", g_variant_new("(s)", method)); }
void Peer::reset() { control_void("Reset", nullptr); }

std::vector<Call> Peer::calls()
{
    std::vector<Call> out;
    g_autoptr(GVariant) r = g_bus->control("GetCalls", nullptr, "(a(sssavb))");
    g_autoptr(GVariantIter) it = nullptr;
    if (r)
        g_variant_get(r, "(a(sssavb))", &it);
    const char *dest, *iface, *member;
    GVariantIter *args;
    gboolean no_reply;
    while (it && g_variant_iter_next(it, "(&s&s&savb)", &dest, &iface, &member, &args, &no_reply)) {
        GVariantBuilder body;
        g_variant_builder_init(&body, G_VARIANT_TYPE_TUPLE);
        GVariant *arg;
        while (g_variant_iter_next(args, "v", &arg)) {
            g_variant_builder_add_value(&body, arg);
            g_variant_unref(arg);
        }
        g_variant_iter_free(args);
        out.push_back({dest, iface, member, {g_variant_ref_sink(g_variant_builder_end(&body)), g_variant_unref},
                       no_reply != FALSE});
    }
    return out;
}

std::vector<Call> Peer::calls(const char *member)
{
    std::vector<Call> out;
    for (const Call &c : calls())
        if (c.member == member)
            out.push_back(c);
    return out;
}

std::vector<std::string> Peer::first_args(const char *member)
{
    std::vector<std::string> out;
    for (const Call &c : calls(member)) {
        const char *arg = nullptr;
        g_variant_get_child(c.body.get(), 0, "&s", &arg);
        out.push_back(arg);
    }
    return out;
}

void Peer::emit_many(const char *name, GVariant *body, unsigned count, const char *path, const char *iface)
{
    flush_system_bus();
    control_void("EmitMany", g_variant_new("(sssvu)", path, iface, name, body, count));
}

/* The sink may still be running on another thread when the capture ends:
 * the lock keeps the capture alive until it returns. */
void LogCapture::sink(int prio, const char *, const char *line, void *)
{
    std::lock_guard<std::mutex> hold(g_capture_lock);
    if (g_capture)
        g_capture->lines_.push_back(std::to_string(prio) + " " + line);
}

LogCapture::LogCapture()
{
    {
        std::lock_guard<std::mutex> hold(g_capture_lock);
        g_capture = this;
    }
    kerlo_set_sink(sink, nullptr);
}

LogCapture::~LogCapture()
{
    kerlo_set_sink(nullptr, nullptr);
    std::lock_guard<std::mutex> hold(g_capture_lock);
    g_capture = nullptr;
}

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard<std::mutex> hold(g_capture_lock);
    return lines_;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> hold(g_capture_lock);
    lines_.clear();
}

bool LogCapture::contains(const std::string &text) const { return count(text) > 0; }

int LogCapture::count(const std::string &text) const
{
    int n = 0;
    for (const std::string &l : lines())
        if (l.find(text) != std::string::npos)
            n++;
    return n;
}

const std::string &store_root() { return g_store_root; }

void store_write(const std::string &key, const std::string &value)
{
    std::string path = key_path(key);
    g_autofree gchar *dir = g_path_get_dirname(path.c_str());
    g_mkdir_with_parents(dir, 0755);
    GError *error = nullptr;
    if (!g_file_set_contents(path.c_str(), value.data(), gssize(value.size()), &error)) {
        ADD_FAILURE() << "store_write " << key << ": " << error->message;
        g_error_free(error);
    }
}

std::string store_read(const std::string &key, bool *ok)
{
    g_autofree gchar *data = nullptr;
    gsize len = 0;
    bool found = g_file_get_contents(key_path(key).c_str(), &data, &len, nullptr);
    if (ok)
        *ok = found;
    return found ? std::string(data, len) : std::string();
}

void store_remove(const std::string &key)
{
    g_unlink(key_path(key).c_str());
}

std::set<std::string> dir_entries(const std::string &dir)
{
    std::set<std::string> names;
    if (GDir *d = g_dir_open(dir.c_str(), 0, nullptr)) {
        while (const char *n = g_dir_read_name(d))
            names.insert(n);
        g_dir_close(d);
    }
    return names;
}

/* A change is reported once its key has been quiet for a moment, so
 * changes settle in the order they were made: a marker key changed now is
 * reported last. */
void flush_deliveries()
{
    halvo_core::run_on_bus([] {});
    bool flushed = false;
    GSource *idle = g_idle_source_new();
    g_source_set_callback(idle, [](gpointer d) -> gboolean { return *static_cast<bool *>(d) = true, FALSE; }, &flushed,
                          nullptr);
    g_source_attach(idle, g_main_context_get_thread_default());
    g_source_unref(idle);
    EXPECT_TRUE(run_until([&] { return flushed; }));
}

void store_settle()
{
    static int serial;
    /* Watched where the library watches: on its bus thread. */
    static std::atomic<int> seen;
    seen = 0;
    auto marked = [](valko_keynode_t *, void *) { seen++; };
    int rc = -1;
    halvo_core::run_on_bus([&] { rc = valko_notify_key_changed("halvo-test/marker", marked, nullptr); });
    ASSERT_EQ(0, rc);
    ASSERT_EQ(0, valko_set_int("halvo-test/marker", ++serial));
    EXPECT_TRUE(run_until([&] { return seen > 0; })) << "marker change not reported";
    halvo_core::run_on_bus([&] { rc = valko_ignore_key_changed("halvo-test/marker", marked); });
    EXPECT_EQ(0, rc);
    flush_deliveries();
}

void forget_system_bus()
{
    GDBusConnection *bus = __halvo_api_get_system_connection();
    if (bus == nullptr)
        return;
    GWeakRef weak;
    g_weak_ref_init(&weak, bus);
    g_object_unref(bus);
    halvo_initialize();
    halvo_deinitialzie();
    /* GDBus's pending work may hold the connection a little longer. */
    EXPECT_TRUE(run_until([&] {
        GObject *alive = static_cast<GObject *>(g_weak_ref_get(&weak));
        if (alive)
            g_object_unref(alive);
        return alive == nullptr;
    })) << "the bus connection is still held";
    g_weak_ref_clear(&weak);
}

OwnBus::OwnBus()
    : dir(g_dir_make_tmp("halvo-bus-XXXXXX", nullptr)), bus(std::string("unix:path=") + dir + "/bus")
{
    bus.start_daemon();
    forget_system_bus();
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), TRUE);
}

OwnBus::~OwnBus()
{
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_address().c_str(), TRUE);
    bus.stop_peer();
    bus.kill_daemon();
    g_rmdir(dir);
    g_free(dir);
}

/* ------------------------------------------------------------------ */
/* Process set-up: the bus, the peer and the store root.               */
/* ------------------------------------------------------------------ */

namespace {

class BusEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        gchar *root = g_dir_make_tmp("halvo-store-XXXXXX", nullptr);
        g_store_root = root;
        g_free(root);
        g_setenv("VALKO_ROOT", g_store_root.c_str(), TRUE);
        g_setenv("VALKO_STALL", (g_store_root + "/.stall").c_str(), TRUE);
        g_bus = new PrivateBus;
        g_bus->start_daemon();
        g_setenv("DBUS_SYSTEM_BUS_ADDRESS", g_bus->address().c_str(), TRUE);
        g_setenv("DBUS_SESSION_BUS_ADDRESS", g_bus->address().c_str(), TRUE);
        g_bus->start_peer();
    }

    void TearDown() override
    {
        delete g_bus;
        g_bus = nullptr;
        std::error_code ignored;
        if (!g_store_root.empty())
            std::filesystem::remove_all(g_store_root, ignored);
    }
};

} // namespace

/* Restarts the daemon-less parts between tests of one process: peer rules
 * and recorded calls. */
class PeerReset : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override
    {
        if (Peer::running())
            Peer::reset();
    }
};

void install_environment()
{
    ::testing::AddGlobalTestEnvironment(new BusEnvironment);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PeerReset);
}

} // namespace halvo_test

/* bus-fixture.cpp - private bus, scriptable peer, store root, log capture. */
#include "bus-fixture.h"

#include "halvo-api-private.h"
#include "kerlo.h"

#include <glib/gstdio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace halvo_test {
namespace {

std::string g_address;
std::string g_store_root;
GPid g_daemon_pid = 0;
GPid g_peer_pid = 0;
GDBusConnection *g_control = nullptr;
LogCapture *g_capture = nullptr;

void die_with_parent(gpointer)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

GDBusConnection *control()
{
    if (g_control == nullptr) {
        GError *error = nullptr;
        g_control = g_dbus_connection_new_for_address_sync(
            g_address.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (g_control == nullptr) {
            ADD_FAILURE() << "control connection: " << error->message;
            g_error_free(error);
            abort();
        }
        g_dbus_connection_set_exit_on_close(g_control, FALSE);
    }
    return g_control;
}

GVariant *control_call(const char *method, GVariant *args, const char *reply_type = nullptr)
{
    GError *error = nullptr;
    GVariant *r = g_dbus_connection_call_sync(control(), "org.halvo.TestPeer", "/org/halvo/TestPeer",
                                              "org.halvo.TestPeer", method, args,
                                              reply_type ? G_VARIANT_TYPE(reply_type) : nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (r == nullptr) {
        ADD_FAILURE() << "peer control " << method << ": " << error->message;
        g_error_free(error);
    }
    return r;
}

void control_void(const char *method, GVariant *args)
{
    GVariant *r = control_call(method, args);
    if (r)
        g_variant_unref(r);
}

bool name_has_owner(const char *name)
{
    GVariant *r = g_dbus_connection_call_sync(control(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name),
                                              G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (r) {
        g_variant_get(r, "(b)", &owned);
        g_variant_unref(r);
    }
    return owned;
}

void capture_sink(int prio, const char *, const char *line, void *)
{
    if (g_capture)
        const_cast<std::vector<std::string> &>(g_capture->lines()).push_back(std::to_string(prio) + " " + line);
}

std::string key_path(const std::string &key)
{
    return store_root() + "/" + key;
}

} // namespace

const std::string &bus_address()
{
    return g_address;
}

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

void run_for(int ms)
{
    gint64 end = g_get_monotonic_time() + gint64(ms) * 1000;
    run_until([end] { return g_get_monotonic_time() >= end; }, ms + 100);
}

Call::Call(const Call &o) : destination(o.destination), interface(o.interface), member(o.member)
{
    body = o.body ? g_variant_ref(o.body) : nullptr;
}

Call &Call::operator=(const Call &o)
{
    if (this != &o) {
        destination = o.destination;
        interface = o.interface;
        member = o.member;
        GVariant *b = o.body ? g_variant_ref(o.body) : nullptr;
        if (body)
            g_variant_unref(body);
        body = b;
    }
    return *this;
}

Call::~Call()
{
    if (body)
        g_variant_unref(body);
}

std::string Call::text() const
{
    if (!body)
        return "";
    gchar *t = g_variant_print(body, FALSE);
    std::string s(t);
    g_free(t);
    return s;
}

void Peer::start()
{
    if (running())
        return;
    std::string prog = peer_program();
    gchar *argv[] = {const_cast<gchar *>(prog.c_str()), const_cast<gchar *>(g_address.c_str()), nullptr};
    GError *error = nullptr;
    if (!g_spawn_async(nullptr, argv, nullptr, GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD), die_with_parent, nullptr,
                       &g_peer_pid, &error)) {
        ADD_FAILURE() << "spawn peer: " << error->message;
        g_error_free(error);
        return;
    }
    /* Only a bound: under qemu on a busy machine the start takes seconds. */
    gint64 deadline = g_get_monotonic_time() + 30 * G_USEC_PER_SEC;
    while (!name_has_owner("org.halvo.TestPeer")) {
        if (g_get_monotonic_time() > deadline) {
            ADD_FAILURE() << "peer did not take its names";
            return;
        }
        g_usleep(2000);
    }
}

void Peer::stop()
{
    if (!g_peer_pid)
        return;
    kill(g_peer_pid, SIGCONT);
    kill(g_peer_pid, SIGTERM);
    int status = 0;
    waitpid(g_peer_pid, &status, 0);
    g_spawn_close_pid(g_peer_pid);
    g_peer_pid = 0;
    /* Wait until the bus has noticed, so that the next call sees no service. */
    gint64 deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
    while (name_has_owner("com.marlox.tv.bt.connectionmanager") && g_get_monotonic_time() < deadline)
        g_usleep(2000);
}

bool Peer::running()
{
    return g_peer_pid != 0;
}

int Peer::pid()
{
    return g_peer_pid;
}

void Peer::reply(const char *method, GVariant *body, const char *arg0)
{
    control_void("SetReply", g_variant_new("(ssv)", method, arg0, body));
}

void Peer::error(const char *method, const char *name, const char *text)
{
    control_void("SetError", g_variant_new("(sss)", method, name, text));
}

void Peer::silent(const char *method)
{
    control_void("SetSilent", g_variant_new("(s)", method));
}

void Peer::delay(const char *method, unsigned ms)
{
    control_void("SetDelay", g_variant_new("(su)", method, ms));
}

void Peer::reset()
{
    control_void("Reset", nullptr);
}

std::vector<Call> Peer::calls()
{
    std::vector<Call> out;
    GVariant *r = control_call("GetCalls", nullptr, "(a(sssav))");
    if (!r)
        return out;
    GVariantIter *it;
    g_variant_get(r, "(a(sssav))", &it);
    const char *dest, *iface, *member;
    GVariantIter *args;
    while (g_variant_iter_next(it, "(&s&s&sav)", &dest, &iface, &member, &args)) {
        std::vector<GVariant *> children;
        GVariant *child;
        while (g_variant_iter_next(args, "v", &child))
            children.push_back(child);
        g_variant_iter_free(args);
        Call c;
        c.destination = dest;
        c.interface = iface;
        c.member = member;
        c.body = g_variant_ref_sink(g_variant_new_tuple(children.data(), children.size()));
        for (GVariant *v : children)
            g_variant_unref(v);
        out.push_back(c);
    }
    g_variant_iter_free(it);
    g_variant_unref(r);
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

void Peer::emit(const char *name, GVariant *body, const char *path, const char *iface)
{
    control_void("Emit", g_variant_new("(sssv)", path, iface, name, body));
}

void Peer::emit_many(const char *name, GVariant *body, unsigned count, const char *path, const char *iface)
{
    control_void("EmitMany", g_variant_new("(sssvu)", path, iface, name, body, count));
}

void sync_signals_with(const std::function<void(GVariant *marker)> &emit_marker)
{
    static int serial = 0;
    int want = ++serial;
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
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
    GVariant *ping = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                                 G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (ping)
        g_variant_unref(ping);
    emit_marker(g_variant_new("(i)", want));
    EXPECT_TRUE(run_until([&] { return seen == want; })) << "marker signal did not arrive";
    g_dbus_connection_signal_unsubscribe(bus, id);
    g_object_unref(bus);
}

void Peer::sync_signals()
{
    sync_signals_with([](GVariant *marker) {
        emit("HalvoTestMarker", marker, "/org/halvo/TestPeer", "org.halvo.TestPeer");
    });
}

LogCapture::LogCapture()
{
    g_capture = this;
    kerlo_set_sink(capture_sink, nullptr);
}

LogCapture::~LogCapture()
{
    kerlo_set_sink(nullptr, nullptr);
    g_capture = nullptr;
}

bool LogCapture::contains(const std::string &text) const
{
    return count(text) > 0;
}

int LogCapture::count(const std::string &text) const
{
    int n = 0;
    for (const std::string &l : lines_)
        if (l.find(text) != std::string::npos)
            n++;
    return n;
}

const std::string &store_root()
{
    return g_store_root;
}

void store_write(const std::string &key, const std::string &value)
{
    std::string path = key_path(key);
    gchar *dir = g_path_get_dirname(path.c_str());
    g_mkdir_with_parents(dir, 0755);
    g_free(dir);
    GError *error = nullptr;
    if (!g_file_set_contents(path.c_str(), value.data(), gssize(value.size()), &error)) {
        ADD_FAILURE() << "store_write " << key << ": " << error->message;
        g_error_free(error);
    }
}

std::string store_read(const std::string &key, bool *ok)
{
    gchar *data = nullptr;
    gsize len = 0;
    bool found = g_file_get_contents(key_path(key).c_str(), &data, &len, nullptr);
    if (ok)
        *ok = found;
    std::string s = found ? std::string(data, len) : std::string();
    g_free(data);
    return s;
}

void store_remove(const std::string &key)
{
    g_unlink(key_path(key).c_str());
}

void forget_system_bus()
{
    GDBusConnection *bus = __halvo_api_get_system_connection();
    if (bus == nullptr)
        return;
    GWeakRef weak;
    g_weak_ref_init(&weak, bus);
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

std::string peer_program()
{
    return HALVO_TESTPEER_PATH;
}

/* ------------------------------------------------------------------ */
/* Process set-up: the bus, the peer and the store root.               */
/* ------------------------------------------------------------------ */

namespace {

void rm_rf(const std::string &path)
{
    GDir *dir = g_dir_open(path.c_str(), 0, nullptr);
    if (dir) {
        const char *name;
        while ((name = g_dir_read_name(dir)) != nullptr)
            rm_rf(path + "/" + name);
        g_dir_close(dir);
        g_rmdir(path.c_str());
    } else {
        g_unlink(path.c_str());
    }
}

class BusEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        gchar *root = g_dir_make_tmp("halvo-store-XXXXXX", nullptr);
        g_store_root = root;
        g_free(root);
        g_setenv("VALKO_ROOT", g_store_root.c_str(), TRUE);

        gchar *argv[] = {const_cast<gchar *>("dbus-daemon"), const_cast<gchar *>("--session"),
                         const_cast<gchar *>("--nofork"), const_cast<gchar *>("--print-address=1"), nullptr};
        gint out_fd = -1;
        GError *error = nullptr;
        if (!g_spawn_async_with_pipes(nullptr, argv, nullptr,
                                      GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
                                      die_with_parent,
                                      nullptr, &g_daemon_pid, nullptr, &out_fd, nullptr, &error)) {
            fprintf(stderr, "cannot start dbus-daemon: %s\n", error->message);
            abort();
        }
        std::string line;
        char ch;
        while (read(out_fd, &ch, 1) == 1 && ch != '\n')
            line.push_back(ch);
        close(out_fd);
        if (line.empty()) {
            fprintf(stderr, "dbus-daemon printed no address\n");
            abort();
        }
        g_address = line;
        g_setenv("DBUS_SYSTEM_BUS_ADDRESS", g_address.c_str(), TRUE);
        g_setenv("DBUS_SESSION_BUS_ADDRESS", g_address.c_str(), TRUE);
        Peer::start();
    }

    void TearDown() override
    {
        Peer::stop();
        if (g_control) {
            g_dbus_connection_close_sync(g_control, nullptr, nullptr);
            g_clear_object(&g_control);
        }
        if (g_daemon_pid) {
            kill(g_daemon_pid, SIGTERM);
            waitpid(g_daemon_pid, nullptr, 0);
            g_spawn_close_pid(g_daemon_pid);
            g_daemon_pid = 0;
        }
        if (!g_store_root.empty())
            rm_rf(g_store_root);
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

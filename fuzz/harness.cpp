/* harness.cpp - see harness.h. */
#include "harness.h"

#include "kerlo.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace halvo_fuzz {

static std::string g_store_root;

/* Once per process, before the first input. */
static void init()
{
    /* A warning or critical from GLib, GIO or json-glib is a finding. */
    g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    /* Every log line is formatted (a bad format argument shows up under
     * the sanitizers) and dropped. */
    kerlo_set_level(100);
    kerlo_set_sink([](int, const char *, const char *, void *) {}, nullptr);

    const char *base = g_file_test("/dev/shm", G_FILE_TEST_IS_DIR) ? "/dev/shm" : g_get_tmp_dir();
    gchar *root = g_build_filename(base, "halvo-fuzz-XXXXXX", nullptr);
    if (g_mkdtemp(root) == nullptr)
        finding("cannot make a store root in %s", base);
    g_store_root = root;
    g_free(root);
    g_setenv("VALKO_ROOT", g_store_root.c_str(), TRUE);
    /* No bus unless a target starts its own: calls fail at once. */
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/halvo-fuzz-bus", TRUE);
    atexit([] {
        const char *argv[] = {"rm", "-rf", g_store_root.c_str(), nullptr};
        g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    });
}

void finding(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    abort();
}

void touch(std::initializer_list<const char *> strings)
{
    for (const char *s : strings)
        if (s != nullptr)
            (void)strlen(s);
}

halvo_core::Variant variant_from(Input &in, std::initializer_list<const char *> types)
{
    /* A high first byte means the type string is written in the input. */
    uint8_t pick = in.byte();
    std::string type = pick >= 0x80 ? in.until('\0') : types.begin()[pick % types.size()];
    /* Only a tuple D-Bus can carry, as replies and signals are: no maybe
     * types, no handles (they need a file descriptor), no empty structures
     * inside. */
    if (type.size() > 32 || !g_variant_type_string_is_valid(type.c_str()) || type[0] != '(' ||
        !g_variant_type_is_definite(G_VARIANT_TYPE(type.c_str())) || type.find_first_of("mh") != std::string::npos ||
        (type != "()" && type.find("()") != std::string::npos))
        type = *types.begin();

    std::string body = in.rest();
    GBytes *bytes = g_bytes_new(body.data(), body.size());
    GVariant *raw = g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(type.c_str()), bytes, FALSE));
    g_bytes_unref(bytes);
    halvo_core::Variant normal(g_variant_get_normal_form(raw));
    g_variant_unref(raw);
    return normal;
}

halvo_core::Variant payload_from(Input &in, bool typed, std::initializer_list<const char *> types)
{
    if (typed)
        return variant_from(in, types);
    std::string s = in.rest();
    s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
    gchar *valid = g_utf8_make_valid(s.c_str(), gssize(s.size()));
    halvo_core::Variant text(g_variant_ref_sink(g_variant_new("(s)", valid)));
    g_free(valid);
    return text;
}

namespace service {

static std::mutex g_lock;
static std::map<std::string, GVariant *> g_replies; /* NULL: reply with an error */
static GDBusConnection *g_service = nullptr;

static GDBusMessage *filter(GDBusConnection *connection, GDBusMessage *message, gboolean incoming, gpointer)
{
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
        return message;
    const char *member = g_dbus_message_get_member(message);
    GDBusMessage *answer = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        auto it = member ? g_replies.find(member) : g_replies.end();
        if (it != g_replies.end() && it->second != nullptr) {
            answer = g_dbus_message_new_method_reply(message);
            if (g_variant_n_children(it->second) > 0)
                g_dbus_message_set_body(answer, it->second);
        } else {
            answer = g_dbus_message_new_method_error_literal(message, "org.halvo.Error.Failed", "scripted failure");
        }
    }
    if (!g_dbus_connection_send_message(connection, answer, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr)) {
        /* Never leave the caller waiting for its time-out. */
        GDBusMessage *error = g_dbus_message_new_method_error_literal(message, "org.halvo.Error.Failed", "unsendable");
        g_dbus_connection_send_message(connection, error, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(error);
    }
    g_object_unref(answer);
    g_object_unref(message);
    return nullptr;
}

void start()
{
    /* Never torn down: its watcher process stops the daemon when this
     * process ends, however it ends. */
    GTestDBus *bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", g_test_dbus_get_bus_address(bus), TRUE);
    GError *error = nullptr;
    g_service = g_dbus_connection_new_for_address_sync(
        g_test_dbus_get_bus_address(bus),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (g_service == nullptr)
        finding("cannot connect to the private bus: %s", error->message);
    g_dbus_connection_set_exit_on_close(g_service, FALSE);
    for (const char *name : {"com.marlox.tv.bt.connectionmanager", "com.marlox.tv.bt.updatemanager"}) {
        GVariant *r = g_dbus_connection_call_sync(
            g_service, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
            g_variant_new("(su)", name, 0u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (r == nullptr)
            finding("cannot own %s", name);
        g_variant_unref(r);
    }
    g_dbus_connection_add_filter(g_service, filter, nullptr, nullptr);
}

void emit(const char *name, GVariant *body)
{
    GVariant *held = g_variant_ref_sink(body);
    g_dbus_connection_emit_signal(g_service, nullptr, "/org/velmo/pellix", "org.velmo.pellix", name, held, nullptr);
    g_variant_unref(held);
}

void reply(const char *method, GVariant *body)
{
    GVariant *held = body ? g_variant_ref_sink(body) : nullptr;
    std::lock_guard<std::mutex> hold(g_lock);
    GVariant *&slot = g_replies[method];
    if (slot)
        g_variant_unref(slot);
    slot = held;
}

} // namespace service
} // namespace halvo_fuzz

/* libFuzzer and the replay driver both call this before the first input. */
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    halvo_fuzz::init();
    if (halvo_fuzz::target.start != nullptr)
        halvo_fuzz::target.start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    halvo_fuzz::Input in(data, size);
    const auto &cases = halvo_fuzz::target.cases;
    cases[in.byte() % cases.size()](in);
    return 0;
}

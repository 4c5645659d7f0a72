/* harness.cpp - see harness.h. */
#include "harness.h"

#include "halvo-api-private.h"
#include "kerlo.h"
#include "valko.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace halvo_fuzz {
namespace {

std::string g_store_root;

GLogWriterOutput fatal_writer(GLogLevelFlags level, const GLogField *fields, gsize n_fields, gpointer)
{
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) {
        g_log_writer_standard_streams(level, fields, n_fields, nullptr);
        abort();
    }
    return G_LOG_WRITER_HANDLED;
}

/* Formats each line (a bad format argument shows up under the sanitizers)
 * and drops it. */
void quiet_sink(int, const char *, const char *, void *) {}

} // namespace

void init()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    /* A warning or critical from GLib, GIO or json-glib is a finding. */
    g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    g_log_set_writer_func(fatal_writer, nullptr, nullptr);
    kerlo_set_level(100);
    kerlo_set_sink(quiet_sink, nullptr);

    const char *base = g_file_test("/dev/shm", G_FILE_TEST_IS_DIR) ? "/dev/shm" : g_get_tmp_dir();
    gchar *tmpl = g_build_filename(base, "halvo-fuzz-XXXXXX", nullptr);
    if (g_mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    g_store_root = tmpl;
    g_free(tmpl);
    g_setenv("VALKO_ROOT", g_store_root.c_str(), TRUE);
    /* No bus unless a target starts its own: calls fail at once. */
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/halvo-fuzz-bus", TRUE);
    atexit([] {
        gchar *argv[] = {const_cast<gchar *>("rm"), const_cast<gchar *>("-rf"),
                         const_cast<gchar *>(g_store_root.c_str()), nullptr};
        g_spawn_sync(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    });

    /* GLib's one-time set-up (type classes, quarks) happens here, not
     * inside the first input, where it would look like a leak. */
    JsonParser *p = json_parser_new();
    json_parser_load_from_data(p, "{\"a\":[1,\"b\",true,null,1.5]}", -1, nullptr);
    JsonReader *r = json_reader_new(json_parser_get_root(p));
    json_reader_read_member(r, "x");
    json_reader_end_member(r);
    JsonGenerator *g = json_generator_new();
    json_generator_set_root(g, json_parser_get_root(p));
    g_free(json_generator_to_data(g, nullptr));
    JsonBuilder *b = json_builder_new();
    json_builder_begin_object(b);
    json_builder_end_object(b);
    g_object_unref(b);
    g_object_unref(g);
    g_object_unref(r);
    g_object_unref(p);
    g_variant_unref(g_variant_ref_sink(g_variant_new_parsed("(1, 'a', [byte 1], <2>, {'k': 1})")));
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

JsonNode *parse(const std::string &text)
{
    JsonParser *parser = json_parser_new();
    JsonNode *root = nullptr;
    if (halvo_json_parse(parser, text.c_str(), -1) && json_parser_get_root(parser) != nullptr)
        root = json_node_copy(json_parser_get_root(parser));
    g_object_unref(parser);
    return root;
}

std::vector<std::string> members_of(JsonObject *object)
{
    std::vector<std::string> names;
    GList *list = json_object_get_members(object);
    for (GList *l = list; l; l = l->next)
        names.push_back(static_cast<const char *>(l->data));
    g_list_free(list);
    return names;
}

JsonNode *rewritten(const std::string &before, const std::string &after, size_t inserted)
{
    /* One span of @before replaced by at most @inserted bytes. */
    size_t prefix = 0, suffix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
        prefix++;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        suffix++;
    if (after.size() - prefix - suffix > inserted)
        finding("bytes outside the edited member changed:\n%s\n->\n%s", before.c_str(), after.c_str());
    JsonNode *root = parse(after);
    if (root == nullptr || !JSON_NODE_HOLDS_OBJECT(root))
        finding("rewritten document does not parse:\n%s\n->\n%s", before.c_str(), after.c_str());
    return root;
}

std::string stored(const char *key)
{
    char *text = valko_get_str(key);
    std::string s = text ? text : "<unreadable>";
    free(text);
    return s;
}

uint8_t Input::byte()
{
    return p_ < end_ ? *p_++ : 0;
}

std::string Input::until(char sep)
{
    const uint8_t *stop = static_cast<const uint8_t *>(memchr(p_, sep, left()));
    std::string s(reinterpret_cast<const char *>(p_), stop ? size_t(stop - p_) : left());
    p_ = stop ? stop + 1 : end_;
    return s;
}

std::string Input::rest()
{
    std::string s(reinterpret_cast<const char *>(p_), left());
    p_ = end_;
    return s;
}

std::string dbus_text(const std::string &raw)
{
    std::string s(raw);
    s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
    gchar *valid = g_utf8_make_valid(s.c_str(), gssize(s.size()));
    std::string out(valid);
    g_free(valid);
    return out;
}

/* A tuple type that D-Bus can carry: no maybe types, no handles (they
 * need a file descriptor), no empty structures inside. */
static bool dbus_tuple_type(const std::string &type)
{
    return type.size() <= 32 && g_variant_type_string_is_valid(type.c_str()) && type[0] == '(' &&
           g_variant_type_is_definite(G_VARIANT_TYPE(type.c_str())) && type.find_first_of("mh") == std::string::npos &&
           (type == "()" || type.find("()") == std::string::npos);
}

GVariant *variant_from(Input &in, const char *const *types, size_t n_types)
{
    /* A high first byte means the type string is written in the input.
     * Every value is a tuple D-Bus can carry, as replies and signals are. */
    uint8_t pick = in.byte();
    std::string type;
    if (pick >= 0x80 || n_types == 0)
        type = in.until('\0');
    else
        type = types[pick % n_types];
    if (!dbus_tuple_type(type))
        type = n_types ? types[0] : "(s)";

    std::string body = in.rest();
    GBytes *bytes = g_bytes_new(body.data(), body.size());
    GVariant *raw = g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(type.c_str()), bytes, FALSE));
    g_bytes_unref(bytes);
    GVariant *normal = g_variant_get_normal_form(raw);
    g_variant_unref(raw);
    return normal;
}

/* ------------------------------------------------------------------ */
/* The in-process service                                              */
/* ------------------------------------------------------------------ */

namespace service {
namespace {

std::mutex g_lock;
std::map<std::string, GVariant *> g_replies; /* NULL: reply with an error */
GDBusConnection *g_service = nullptr;

GDBusMessage *filter(GDBusConnection *connection, GDBusMessage *message, gboolean incoming, gpointer)
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

void own(const char *name)
{
    GVariant *r = g_dbus_connection_call_sync(g_service, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name, 0u),
                                              G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (r == nullptr) {
        fprintf(stderr, "cannot own %s\n", name);
        abort();
    }
    g_variant_unref(r);
}

} // namespace

void start()
{
    if (g_service != nullptr)
        return;
    gchar *argv[] = {const_cast<gchar *>("dbus-daemon"), const_cast<gchar *>("--session"),
                     const_cast<gchar *>("--nofork"), const_cast<gchar *>("--print-address=1"), nullptr};
    gint out_fd = -1;
    GPid pid = 0;
    GError *error = nullptr;
    if (!g_spawn_async_with_pipes(
            nullptr, argv, nullptr, GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
            [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGKILL); }, nullptr, &pid, nullptr, &out_fd, nullptr, &error)) {
        fprintf(stderr, "cannot start dbus-daemon: %s\n", error->message);
        abort();
    }
    /* libFuzzer's time-out check interrupts with SIGALRM. */
    std::string address;
    for (;;) {
        char ch;
        ssize_t n = read(out_fd, &ch, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != 1 || ch == '\n')
            break;
        address.push_back(ch);
    }
    close(out_fd);
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), TRUE);

    g_service = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (g_service == nullptr) {
        fprintf(stderr, "cannot connect to the private bus: %s\n", error->message);
        abort();
    }
    g_dbus_connection_set_exit_on_close(g_service, FALSE);
    own("com.marlox.tv.bt.connectionmanager");
    own("com.marlox.tv.bt.updatemanager");
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

/* Every target starts the same way; libFuzzer and the replay driver both
 * call this before the first input. */
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    halvo_fuzz::init();
    return 0;
}

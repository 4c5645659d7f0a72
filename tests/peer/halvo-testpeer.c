/*
 * halvo-testpeer - a scriptable stand-in for the Bluetooth application
 * service and its update manager, for tests and benchmarks.
 *
 * It owns both service names and answers every method call by a rule that
 * the test sets through the control interface:
 *
 *   org.halvo.TestPeer at /org/halvo/TestPeer (bus name org.halvo.TestPeer)
 *     SetReply(s method, s arg0, v body)   reply with the tuple in body; a
 *                                          non-empty arg0 matches only calls
 *                                          whose first argument is that string
 *     SetError(s method, s name, s text)   reply with a D-Bus error
 *     SetSilent(s method)                  never reply
 *     SetDie(s method)                     kill itself (SIGKILL) when called
 *     Reset()                              forget rules and recorded calls
 *     GetCalls() -> a(sssav)               destination, interface, member,
 *                                          the arguments one by one
 *     Emit(s path, s iface, s name, v body)
 *     EmitMany(s path, s iface, s name, v body, u count)
 *
 * A call with no rule gets org.freedesktop.DBus.Error.UnknownMethod.
 *
 * Every call is handled in a connection filter, that is, in GDBus's worker
 * thread, so the rules and the record need no lock.
 */
#include <gio/gio.h>
#include <glib-unix.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#define CONTROL_NAME "org.halvo.TestPeer"
#define CONTROL_PATH "/org/halvo/TestPeer"
#define CONTROL_IFACE "org.halvo.TestPeer"

typedef enum { RULE_REPLY, RULE_ERROR, RULE_SILENT, RULE_DIE } RuleKind;

typedef struct {
    RuleKind kind;
    GVariant *body;     /* RULE_REPLY */
    char *error_name;   /* RULE_ERROR */
    char *error_text;
} Rule;

static GHashTable *rules;  /* "method\x1f" "arg0" -> Rule */
static GPtrArray *calls;   /* GVariant "(sssv)" */
static GMainLoop *loop;

static void rule_free(gpointer p)
{
    Rule *r = p;
    if (r->body)
        g_variant_unref(r->body);
    g_free(r->error_name);
    g_free(r->error_text);
    g_free(r);
}

static char *rule_key(const char *method, const char *arg0)
{
    return g_strdup_printf("%s\x1f%s", method, arg0 ? arg0 : "");
}

static void set_rule(const char *method, const char *arg0, Rule *rule)
{
    g_hash_table_replace(rules, rule_key(method, arg0), rule);
}

static Rule *find_rule(const char *method, GVariant *body)
{
    if (body && g_variant_is_container(body) && g_variant_n_children(body) > 0) {
        GVariant *first = g_variant_get_child_value(body, 0);
        Rule *r = NULL;
        if (g_variant_is_of_type(first, G_VARIANT_TYPE_STRING)) {
            char *key = rule_key(method, g_variant_get_string(first, NULL));
            r = g_hash_table_lookup(rules, key);
            g_free(key);
        }
        g_variant_unref(first);
        if (r)
            return r;
    }
    char *key = rule_key(method, "");
    Rule *r = g_hash_table_lookup(rules, key);
    g_free(key);
    return r;
}

static void send_reply(GDBusConnection *connection, GDBusMessage *reply)
{
    g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, NULL, NULL);
    g_object_unref(reply);
}

static void reply_body(GDBusConnection *connection, GDBusMessage *call, GVariant *body)
{
    GDBusMessage *reply = g_dbus_message_new_method_reply(call);
    if (body)
        g_dbus_message_set_body(reply, body);
    send_reply(connection, reply);
}

static void reply_error(GDBusConnection *connection, GDBusMessage *call, const char *name, const char *text)
{
    GDBusMessage *reply = g_dbus_message_new_method_error_literal(call, name, text);
    send_reply(connection, reply);
}

static void emit(GDBusConnection *connection, const char *path, const char *iface, const char *name,
                 GVariant *body)
{
    /* The body is a tuple already; a non-tuple is wrapped so that tests can
     * send any single value. */
    GVariant *params = g_variant_is_of_type(body, G_VARIANT_TYPE_TUPLE) ? g_variant_ref(body)
                                                                         : g_variant_ref_sink(g_variant_new_tuple(&body, 1));
    GDBusMessage *msg = g_dbus_message_new_signal(path, iface, name);
    g_dbus_message_set_body(msg, params);
    g_dbus_connection_send_message(connection, msg, G_DBUS_SEND_MESSAGE_FLAGS_NONE, NULL, NULL);
    g_object_unref(msg);
    g_variant_unref(params);
}

static void handle_control(GDBusConnection *connection, GDBusMessage *call)
{
    const char *member = g_dbus_message_get_member(call);
    GVariant *args = g_dbus_message_get_body(call);

    if (g_strcmp0(member, "SetReply") == 0 && args && g_variant_is_of_type(args, G_VARIANT_TYPE("(ssv)"))) {
        const char *method, *arg0;
        GVariant *body;
        g_variant_get(args, "(&s&sv)", &method, &arg0, &body);
        Rule *r = g_new0(Rule, 1);
        r->kind = RULE_REPLY;
        r->body = body;
        set_rule(method, arg0, r);
        reply_body(connection, call, NULL);
    } else if (g_strcmp0(member, "SetError") == 0 && args && g_variant_is_of_type(args, G_VARIANT_TYPE("(sss)"))) {
        const char *method, *name, *text;
        g_variant_get(args, "(&s&s&s)", &method, &name, &text);
        Rule *r = g_new0(Rule, 1);
        r->kind = RULE_ERROR;
        r->error_name = g_strdup(name);
        r->error_text = g_strdup(text);
        set_rule(method, "", r);
        reply_body(connection, call, NULL);
    } else if ((g_strcmp0(member, "SetSilent") == 0 || g_strcmp0(member, "SetDie") == 0) && args &&
               g_variant_is_of_type(args, G_VARIANT_TYPE("(s)"))) {
        const char *method;
        g_variant_get(args, "(&s)", &method);
        Rule *r = g_new0(Rule, 1);
        r->kind = member[3] == 'D' ? RULE_DIE : RULE_SILENT;
        set_rule(method, "", r);
        reply_body(connection, call, NULL);
    } else if (g_strcmp0(member, "Reset") == 0) {
        g_hash_table_remove_all(rules);
        g_ptr_array_set_size(calls, 0);
        reply_body(connection, call, NULL);
    } else if (g_strcmp0(member, "GetCalls") == 0) {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(sssav)"));
        for (guint i = 0; i < calls->len; i++)
            g_variant_builder_add_value(&b, g_ptr_array_index(calls, i));
        reply_body(connection, call, g_variant_new("(a(sssav))", &b));
    } else if (g_strcmp0(member, "Emit") == 0 && args && g_variant_is_of_type(args, G_VARIANT_TYPE("(sssv)"))) {
        const char *path, *iface, *name;
        GVariant *body;
        g_variant_get(args, "(&s&s&sv)", &path, &iface, &name, &body);
        emit(connection, path, iface, name, body);
        g_variant_unref(body);
        reply_body(connection, call, NULL);
    } else if (g_strcmp0(member, "EmitMany") == 0 && args && g_variant_is_of_type(args, G_VARIANT_TYPE("(sssvu)"))) {
        const char *path, *iface, *name;
        GVariant *body;
        guint count;
        g_variant_get(args, "(&s&s&svu)", &path, &iface, &name, &body, &count);
        for (guint i = 0; i < count; i++)
            emit(connection, path, iface, name, body);
        g_variant_unref(body);
        reply_body(connection, call, NULL);
    } else {
        reply_error(connection, call, "org.freedesktop.DBus.Error.InvalidArgs", "bad control call");
    }
}

static void handle_service(GDBusConnection *connection, GDBusMessage *call)
{
    const char *member = g_dbus_message_get_member(call);
    GVariant *body = g_dbus_message_get_body(call);
    /* D-Bus has no empty structure, so the arguments travel as "av". */
    GVariantBuilder args;
    g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
    if (body) {
        for (gsize i = 0; i < g_variant_n_children(body); i++) {
            GVariant *child = g_variant_get_child_value(body, i);
            g_variant_builder_add(&args, "v", child);
            g_variant_unref(child);
        }
    }
    g_ptr_array_add(calls, g_variant_ref_sink(g_variant_new("(sssav)", g_dbus_message_get_destination(call) ?: "",
                                                            g_dbus_message_get_interface(call) ?: "", member ?: "",
                                                            &args)));

    Rule *r = member ? find_rule(member, body) : NULL;
    if (r && r->kind == RULE_DIE)
        raise(SIGKILL);
    gboolean no_reply = g_dbus_message_get_flags(call) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED;
    if (no_reply)
        return;
    GDBusMessage *reply;
    if (r == NULL)
        reply = g_dbus_message_new_method_error(call, "org.freedesktop.DBus.Error.UnknownMethod",
                                                "no rule for %s", member ? member : "(null)");
    else if (r->kind == RULE_SILENT)
        return;
    else if (r->kind == RULE_ERROR)
        reply = g_dbus_message_new_method_error_literal(call, r->error_name, r->error_text);
    else {
        reply = g_dbus_message_new_method_reply(call);
        if (r->body && g_variant_n_children(r->body) > 0)
            g_dbus_message_set_body(reply, r->body);
    }
    send_reply(connection, reply);
}

static GDBusMessage *filter(GDBusConnection *connection, GDBusMessage *message, gboolean incoming, gpointer data)
{
    (void)data;
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
        return message;
    if (g_strcmp0(g_dbus_message_get_interface(message), CONTROL_IFACE) == 0)
        handle_control(connection, message);
    else
        handle_service(connection, message);
    g_object_unref(message);
    return NULL;
}

static gboolean on_signal(gpointer data)
{
    (void)data;
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

static gboolean request_name(GDBusConnection *c, const char *name)
{
    GError *error = NULL;
    GVariant *r = g_dbus_connection_call_sync(c, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name, 4u),
                                              G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, NULL, &error);
    if (!r) {
        fprintf(stderr, "halvo-testpeer: RequestName %s: %s\n", name, error->message);
        g_error_free(error);
        return FALSE;
    }
    guint32 code;
    g_variant_get(r, "(u)", &code);
    g_variant_unref(r);
    return code == 1 || code == 4;
}

int main(int argc, char **argv)
{
    const char *address = argc > 1 ? argv[1] : g_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!address) {
        fprintf(stderr, "usage: halvo-testpeer [ADDRESS]  (default: DBUS_SYSTEM_BUS_ADDRESS)\n");
        return 2;
    }
    rules = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, rule_free);
    calls = g_ptr_array_new_with_free_func((GDestroyNotify)g_variant_unref);
    loop = g_main_loop_new(NULL, FALSE);

    GError *error = NULL;
    GDBusConnection *c = g_dbus_connection_new_for_address_sync(
        address, G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION,
        NULL, NULL, &error);
    if (!c) {
        fprintf(stderr, "halvo-testpeer: %s\n", error->message);
        return 1;
    }
    g_dbus_connection_set_exit_on_close(c, FALSE);
    g_dbus_connection_add_filter(c, filter, NULL, NULL);
    /* The control name comes last: a test that sees it knows the others are owned. */
    if (!request_name(c, "com.marlox.tv.bt.connectionmanager") || !request_name(c, "com.marlox.tv.bt.updatemanager") ||
        !request_name(c, CONTROL_NAME))
        return 1;

    g_unix_signal_add(SIGTERM, on_signal, NULL);
    g_unix_signal_add(SIGINT, on_signal, NULL);
    g_signal_connect_swapped(c, "closed", G_CALLBACK(g_main_loop_quit), loop);
    g_main_loop_run(loop);

    g_dbus_connection_close_sync(c, NULL, NULL);
    g_object_unref(c);
    g_main_loop_unref(loop);
    g_ptr_array_unref(calls);
    g_hash_table_unref(rules);
    return 0;
}

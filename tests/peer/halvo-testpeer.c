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
 *     SetHeld(s method, v body)            hold the calls until Release
 *     Release(s method)                    answer the held calls with body
 *     SetDelay(s method, u ms, v body)     reply with body after ms (benchmarks)
 *     SetDie(s method)                     kill itself (SIGKILL) when called
 *     Reset()                              forget rules and recorded calls
 *     GetCalls() -> a(sssavb)              destination, interface, member,
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

typedef enum { RULE_REPLY, RULE_ERROR, RULE_SILENT, RULE_DIE, RULE_HOLD, RULE_DELAY } RuleKind;

typedef struct {
    RuleKind kind;
    guint delay_ms;
    GVariant *body; /* the reply's tuple, or the error's "(ss)" name and text */
} Rule;

static GHashTable *rules;  /* "method\x1f" "arg0" -> Rule */
static GPtrArray *calls;   /* GVariant "(sssv)" */
static GPtrArray *held;    /* GDBusMessage: calls waiting for Release */
static GMainLoop *loop;

static void rule_free(gpointer p)
{
    Rule *r = p;
    if (r->body)
        g_variant_unref(r->body);
    g_free(r);
}

static Rule *lookup(const char *method, const char *arg0)
{
    char *key = g_strdup_printf("%s\x1f%s", method, arg0);
    Rule *r = g_hash_table_lookup(rules, key);
    g_free(key);
    return r;
}

static void set_rule(const char *method, const char *arg0, RuleKind kind, GVariant *body)
{
    Rule *r = g_new0(Rule, 1);
    r->kind = kind;
    r->body = body ? g_variant_ref_sink(body) : NULL;
    g_hash_table_replace(rules, g_strdup_printf("%s\x1f%s", method, arg0), r);
}

static Rule *find_rule(const char *method, GVariant *body)
{
    Rule *r = NULL;
    if (body && g_variant_n_children(body) > 0) {
        GVariant *first = g_variant_get_child_value(body, 0);
        if (g_variant_is_of_type(first, G_VARIANT_TYPE_STRING))
            r = lookup(method, g_variant_get_string(first, NULL));
        g_variant_unref(first);
    }
    return r ? r : lookup(method, "");
}

static void send(GDBusConnection *connection, GDBusMessage *message)
{
    g_dbus_connection_send_message(connection, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, NULL, NULL);
    g_object_unref(message);
}

static void send_reply(GDBusConnection *connection, GDBusMessage *call, GVariant *body)
{
    GDBusMessage *reply = g_dbus_message_new_method_reply(call);
    if (body)
        g_dbus_message_set_body(reply, body);
    send(connection, reply);
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
    send(connection, msg);
    g_variant_unref(params);
}

static void handle_control(GDBusConnection *connection, GDBusMessage *call)
{
    const char *member = g_dbus_message_get_member(call);
    GVariant *args = g_dbus_message_get_body(call);
    const char *type = args ? g_variant_get_type_string(args) : "()";
    const char *method, *s1, *s2;
    GVariant *body;
    guint count = 1;

    if (g_strcmp0(member, "SetReply") == 0 && strcmp(type, "(ssv)") == 0) {
        g_variant_get(args, "(&s&sv)", &method, &s1, &body);
        set_rule(method, s1, RULE_REPLY, body);
        g_variant_unref(body);
    } else if (g_strcmp0(member, "SetError") == 0 && strcmp(type, "(sss)") == 0) {
        g_variant_get(args, "(&s&s&s)", &method, &s1, &s2);
        set_rule(method, "", RULE_ERROR, g_variant_new("(ss)", s1, s2));
    } else if ((g_strcmp0(member, "SetSilent") == 0 || g_strcmp0(member, "SetDie") == 0) && strcmp(type, "(s)") == 0) {
        g_variant_get(args, "(&s)", &method);
        set_rule(method, "", member[3] == 'D' ? RULE_DIE : RULE_SILENT, NULL);
    } else if (g_strcmp0(member, "SetHeld") == 0 && strcmp(type, "(sv)") == 0) {
        g_variant_get(args, "(&sv)", &method, &body);
        set_rule(method, "", RULE_HOLD, body);
        g_variant_unref(body);
    } else if (g_strcmp0(member, "SetDelay") == 0 && strcmp(type, "(suv)") == 0) {
        guint ms;
        g_variant_get(args, "(&suv)", &method, &ms, &body);
        set_rule(method, "", RULE_DELAY, body);
        lookup(method, "")->delay_ms = ms;
        g_variant_unref(body);
    } else if (g_strcmp0(member, "Release") == 0 && strcmp(type, "(s)") == 0) {
        g_variant_get(args, "(&s)", &method);
        Rule *r = lookup(method, "");
        for (guint i = 0; i < held->len;) {
            GDBusMessage *m = g_ptr_array_index(held, i);
            if (r && r->kind == RULE_HOLD && g_strcmp0(g_dbus_message_get_member(m), method) == 0) {
                send_reply(connection, m, r->body);
                g_ptr_array_remove_index(held, i);
            } else {
                i++;
            }
        }
    } else if (g_strcmp0(member, "Reset") == 0) {
        g_hash_table_remove_all(rules);
        g_ptr_array_set_size(calls, 0);
    } else if (g_strcmp0(member, "GetCalls") == 0) {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(sssavb)"));
        for (guint i = 0; i < calls->len; i++)
            g_variant_builder_add_value(&b, g_ptr_array_index(calls, i));
        send_reply(connection, call, g_variant_new("(a(sssavb))", &b));
        return;
    } else if ((g_strcmp0(member, "Emit") == 0 && strcmp(type, "(sssv)") == 0) ||
               (g_strcmp0(member, "EmitMany") == 0 && strcmp(type, "(sssvu)") == 0)) {
        if (type[5] == 'u')
            g_variant_get(args, "(&s&s&svu)", &method, &s1, &s2, &body, &count);
        else
            g_variant_get(args, "(&s&s&sv)", &method, &s1, &s2, &body);
        for (guint i = 0; i < count; i++)
            emit(connection, method, s1, s2, body);
        g_variant_unref(body);
    } else {
        send(connection, g_dbus_message_new_method_error_literal(call, "org.freedesktop.DBus.Error.InvalidArgs",
                                                                 "bad control call"));
        return;
    }
    send_reply(connection, call, NULL);
}

typedef struct {
    GDBusConnection *connection;
    GDBusMessage *call;
    GVariant *body;
} Delayed;

static gboolean answer_delayed(gpointer data)
{
    Delayed *d = data;
    send_reply(d->connection, d->call, d->body);
    g_object_unref(d->call);
    g_object_unref(d->connection);
    g_variant_unref(d->body);
    g_free(d);
    return G_SOURCE_REMOVE;
}

static void handle_service(GDBusConnection *connection, GDBusMessage *call)
{
    const char *member = g_dbus_message_get_member(call);
    GVariant *body = g_dbus_message_get_body(call);
    /* D-Bus has no empty structure, so the arguments travel as "av". */
    GVariantBuilder args;
    g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
    for (gsize i = 0; body && i < g_variant_n_children(body); i++) {
        GVariant *child = g_variant_get_child_value(body, i);
        g_variant_builder_add(&args, "v", child);
        g_variant_unref(child);
    }
    gboolean no_reply = (g_dbus_message_get_flags(call) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) != 0;
    g_ptr_array_add(calls, g_variant_ref_sink(g_variant_new("(sssavb)", g_dbus_message_get_destination(call) ?: "",
                                                            g_dbus_message_get_interface(call) ?: "", member ?: "",
                                                            &args, no_reply)));

    Rule *r = member ? find_rule(member, body) : NULL;
    if (r && r->kind == RULE_DIE)
        raise(SIGKILL);
    if (no_reply)
        return;
    const char *name, *text;
    if (r == NULL) {
        send(connection, g_dbus_message_new_method_error(call, "org.freedesktop.DBus.Error.UnknownMethod",
                                                         "no rule for %s", member ? member : "(null)"));
    } else if (r->kind == RULE_ERROR) {
        g_variant_get(r->body, "(&s&s)", &name, &text);
        send(connection, g_dbus_message_new_method_error_literal(call, name, text));
    } else if (r->kind == RULE_DELAY) {
        /* Answered from the main loop, so that delayed calls overlap. */
        Delayed *d = g_new0(Delayed, 1);
        d->connection = g_object_ref(connection);
        d->call = g_object_ref(call);
        d->body = g_variant_ref(r->body);
        GSource *t = g_timeout_source_new(r->delay_ms);
        g_source_set_callback(t, answer_delayed, d, NULL);
        g_source_attach(t, NULL);
        g_source_unref(t);
    } else if (r->kind == RULE_HOLD) {
        g_ptr_array_add(held, g_object_ref(call));
    } else if (r->kind == RULE_REPLY) {
        send_reply(connection, call, g_variant_n_children(r->body) > 0 ? r->body : NULL);
    }
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
    held = g_ptr_array_new_with_free_func(g_object_unref);
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
    /* The rules and the record go with the process: the worker thread wrote
     * them last, and what orders that before this point is GLib's own locks,
     * which ThreadSanitizer cannot see. */
    return 0;
}

/* commands-sim.cpp - halvoctl sim: drives a running halvo-sim through its
 * control interface on the same bus.  This talks to the simulator, not to
 * the library: the other commands then show what the library makes of it. */
#include "halvoctl.h"
#include "sim-control.h"

#include <gio/gio.h>

#include <cstdio>
#include <cstring>

namespace ctl {

namespace {

/* Calls a control method; on failure prints the simulator's message and
 * returns the exit status: 2 for what the scenario loader would refuse,
 * 8 when no simulator is on the bus. */
int control(Ctx &ctx, const char *method, GVariant *args, GVariant **reply = nullptr)
{
    GError *error = nullptr;
    bool timed_out = false;
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    GVariant *r = nullptr;
    if (bus) {
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        r = BusCall(bus, SIM_CONTROL_NAME, SIM_CONTROL_PATH, SIM_CONTROL_INTERFACE, method, args, nullptr)
                .wait(ctx, &error, &timed_out);
        g_object_unref(bus);
    } else if (args) {
        g_variant_unref(g_variant_ref_sink(args));
    }
    if (r) {
        if (reply)
            *reply = r;
        else
            g_variant_unref(r);
        return EXIT_OK;
    }
    if (timed_out)
        return fail_timeout(ctx, ctx.timeout_message);
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
        g_error_free(error);
        return not_on_bus(ctx, "reaching the simulator");
    }
    gchar *remote = g_dbus_error_get_remote_error(error);
    g_dbus_error_strip_remote_error(error);
    int status = EXIT_FAILED;
    if (remote && strcmp(remote, SIM_CONTROL_ERROR_INVALID) == 0) {
        status = EXIT_USAGE;
        gchar **lines = g_strsplit(error->message, "\n", -1);
        for (gchar **l = lines; *l; l++)
            fprintf(stderr, "halvoctl %s: %s\n", ctx.command.c_str(), *l);
        g_strfreev(lines);
    } else if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED)) {
        status = fail_text(ctx, "the bus policy does not let this user drive the simulator "
                                "(root and the halvo-sim group may)");
    } else {
        status = fail_text(ctx, std::string("reaching the simulator failed: ") + error->message);
    }
    g_free(remote);
    g_error_free(error);
    return status;
}

/* A value typed as a scenario file types it: what reads as a JSON value
 * is that value (33, true, "33"), anything else is text.  nullptr for
 * null, which a file treats as absent. */
GVariant *typed(const std::string &text, bool *absent)
{
    *absent = false;
    JsonParser *parser = json_parser_new();
    GVariant *v = nullptr;
    if (json_parser_load_from_data(parser, text.c_str(), -1, nullptr)) {
        JsonNode *n = json_parser_get_root(parser);
        if (JSON_NODE_HOLDS_NULL(n))
            *absent = true;
        else if (!JSON_NODE_HOLDS_VALUE(n))
            v = json_gvariant_deserialize(n, nullptr, nullptr);
        else if (json_node_get_value_type(n) == G_TYPE_INT64)
            v = g_variant_new_int64(json_node_get_int(n));
        else if (json_node_get_value_type(n) == G_TYPE_DOUBLE)
            v = g_variant_new_double(json_node_get_double(n));
        else if (json_node_get_value_type(n) == G_TYPE_BOOLEAN)
            v = g_variant_new_boolean(json_node_get_boolean(n));
        else
            v = g_variant_new_string(json_node_get_string(n));
    }
    g_object_unref(parser);
    return v || *absent ? v : g_variant_new_string(text.c_str());
}

int act(Ctx &ctx)
{
    GVariantBuilder fields;
    g_variant_builder_init(&fields, G_VARIANT_TYPE("a{sv}"));
    for (size_t i = 1; i < ctx.args.size(); i++) {
        const std::string &a = ctx.args[i];
        size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) {
            g_variant_builder_clear(&fields);
            return usage_error(ctx, "expected KEY=VALUE, not \"" + a + "\"");
        }
        bool absent = false;
        GVariant *v = typed(a.substr(eq + 1), &absent);
        if (!absent)
            g_variant_builder_add(&fields, "{sv}", a.substr(0, eq).c_str(), v);
    }
    const std::string &action = ctx.args[0];
    int rc = control(ctx, "Act", g_variant_new("(sa{sv})", action.c_str(), &fields));
    if (rc == EXIT_OK)
        confirm(ctx, action + ": done", tools::JsonWriter().obj().s("action", action).b("done", true).end_obj());
    return rc;
}

int fault(Ctx &ctx)
{
    if (ctx.args.size() != 3)
        return usage_error(ctx, "expected fault METHOD error|silent|latency=MS|clear");
    std::string kind = ctx.args[2];
    int ms = 0;
    if (kind.rfind("latency=", 0) == 0) {
        if (!parse_int(kind.substr(8), &ms) || ms < 0)
            return usage_error(ctx, "latency=MS takes milliseconds from 0");
        kind = "latency";
    }
    int rc = control(ctx, "SetFault", g_variant_new("(ssi)", ctx.args[1].c_str(), kind.c_str(), ms));
    if (rc == EXIT_OK)
        confirm(ctx, ctx.args[1] + ": " + ctx.args[2],
                tools::JsonWriter().obj().s("method", ctx.args[1]).s("fault", ctx.args[2]).end_obj());
    return rc;
}

/* The state as the simulator gives it: a scenario document. */
JsonNode *get_state(Ctx &ctx, int *rc)
{
    GVariant *reply = nullptr;
    *rc = control(ctx, "GetState", nullptr, &reply);
    if (*rc != EXIT_OK)
        return nullptr;
    const char *text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    JsonNode *root = json_from_string(text, nullptr);
    g_variant_unref(reply);
    if (!root || !JSON_NODE_HOLDS_OBJECT(root)) {
        if (root)
            json_node_unref(root);
        *rc = fail_text(ctx, "the simulator's state is not a JSON object");
        return nullptr;
    }
    return root;
}

/* Members of the kind asked for, or nullptr. */
JsonNode *member(JsonObject *o, const char *name, JsonNodeType kind)
{
    JsonNode *n = o ? json_object_get_member(o, name) : nullptr;
    return n && JSON_NODE_TYPE(n) == kind ? n : nullptr;
}
JsonObject *object_member(JsonObject *o, const char *name)
{
    JsonNode *n = member(o, name, JSON_NODE_OBJECT);
    return n ? json_node_get_object(n) : nullptr;
}
JsonArray *array_member(JsonObject *o, const char *name)
{
    JsonNode *n = member(o, name, JSON_NODE_ARRAY);
    return n ? json_node_get_array(n) : nullptr;
}

std::string member_text(JsonObject *o, const char *name)
{
    JsonNode *n = member(o, name, JSON_NODE_VALUE);
    if (!n)
        return "-";
    if (json_node_get_value_type(n) == G_TYPE_STRING)
        return or_dash(json_node_get_string(n));
    if (json_node_get_value_type(n) == G_TYPE_BOOLEAN)
        return json_node_get_boolean(n) ? "yes" : "no";
    return std::to_string(json_node_get_int(n));
}

/* Prints @array's objects as a table of @members under @title; the
 * headers are the members' names in capitals, up to the first capital. */
void section(JsonObject *top, const char *array, const char *title, const std::vector<const char *> &members)
{
    printf("%s:\n", title);
    JsonArray *a = array_member(top, array);
    std::vector<std::string> headers;
    for (const char *m : members) {
        headers.emplace_back();
        for (const char *c = m; *c && !(c > m && g_ascii_isupper(*c)); c++)
            headers.back() += g_ascii_toupper(*c);
    }
    Table t(headers);
    for (guint i = 0; a && i < json_array_get_length(a); i++) {
        JsonNode *n = json_array_get_element(a, i);
        JsonObject *o = JSON_NODE_HOLDS_OBJECT(n) ? json_node_get_object(n) : nullptr;
        std::vector<std::string> row;
        for (const char *m : members)
            row.push_back(member_text(o, m));
        t.add(row);
    }
    if (t.empty())
        printf("  none\n");
    else
        t.print();
}

int state(Ctx &ctx)
{
    int rc = EXIT_OK;
    JsonNode *root = get_state(ctx, &rc);
    if (!root)
        return rc;
    if (ctx.json) {
        gchar *text = json_to_string(root, FALSE);
        printf("%s\n", text);
        g_free(text);
        json_node_unref(root);
        return EXIT_OK;
    }
    JsonObject *top = json_node_get_object(root);
    section(top, "devices", "Paired devices", {"address", "name", "type", "connected"});
    section(top, "speakers", "Speakers", {"address", "name", "iconType", "volume", "controllable", "connected"});
    section(top, "earphones", "Earphones", {"address", "name", "connected"});
    printf("Mute: %s\n", member_text(top, "mute").c_str());
    JsonObject *faults = object_member(top, "faults");
    std::string list;
    auto add = [&list](const std::string &item) { list += (list.empty() ? "" : ", ") + item; };
    if (faults) {
        if (member_text(faults, "latency_ms") != "0" && member_text(faults, "latency_ms") != "-")
            add("* latency=" + member_text(faults, "latency_ms"));
        if (JsonObject *per = object_member(faults, "latency")) {
            GList *names = json_object_get_members(per);
            for (GList *l = names; l; l = l->next)
                add(std::string(static_cast<char *>(l->data)) + " latency=" +
                    member_text(per, static_cast<char *>(l->data)));
            g_list_free(names);
        }
        for (const char *kind : {"error", "no_reply"}) {
            JsonArray *a = array_member(faults, kind);
            for (guint i = 0; a && i < json_array_get_length(a); i++)
                add(or_dash(json_node_get_string(json_array_get_element(a, i))) + (kind[0] == 'e' ? " error" : " silent"));
        }
    }
    printf("Faults: %s\n", list.empty() ? "none" : list.c_str());
    json_node_unref(root);
    return EXIT_OK;
}

int save(Ctx &ctx)
{
    int rc = EXIT_OK;
    JsonNode *root = get_state(ctx, &rc);
    if (!root)
        return rc;
    gchar *text = json_to_string(root, TRUE);
    json_node_unref(root);
    GError *error = nullptr;
    std::string doc = std::string(text) + "\n";
    g_free(text);
    if (!g_file_set_contents(ctx.args[1].c_str(), doc.c_str(), -1, &error)) {
        rc = fail_text(ctx, error->message);
        g_error_free(error);
        return rc;
    }
    confirm(ctx, "state saved to " + ctx.args[1], tools::JsonWriter().obj().s("saved", ctx.args[1]).end_obj());
    return EXIT_OK;
}

int load(Ctx &ctx)
{
    /* The simulator resolves a name of its shipped scenarios; a file here
     * is given to it by its full path. */
    std::string path = ctx.args[1];
    if (g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) {
        gchar *full = g_canonicalize_filename(path.c_str(), nullptr);
        path = full;
        g_free(full);
    }
    int rc = control(ctx, "LoadScenario", g_variant_new("(s)", path.c_str()));
    if (rc == EXIT_OK)
        confirm(ctx, path + " loaded", tools::JsonWriter().obj().s("loaded", path).end_obj());
    return rc;
}

int reset(Ctx &ctx)
{
    int rc = control(ctx, "Reset", nullptr);
    if (rc == EXIT_OK)
        confirm(ctx, "back to the starting scenario", tools::JsonWriter().obj().b("reset", true).end_obj());
    return rc;
}

struct Verb {
    const char *name;
    size_t args; /* including the verb */
    int (*run)(Ctx &ctx);
};
const Verb verbs[] = {{"fault", 3, fault}, {"state", 1, state}, {"save", 2, save}, {"load", 2, load}, {"reset", 1, reset}};

int sim(Ctx &ctx)
{
    ctx.service = SIM_CONTROL_NAME;
    for (const auto &v : verbs) {
        if (ctx.args[0] != v.name)
            continue;
        if (ctx.args.size() != v.args)
            return usage_error(ctx, std::string("wrong number of arguments for ") + v.name);
        return v.run(ctx);
    }
    return act(ctx);
}

} // namespace

const Command sim_commands[] = {
    {"sim", "ACTION [KEY=VALUE...] | fault METHOD KIND | state | save FILE | load FILE | reset",
     "Drive a running halvo-sim: events, faults, its state",
     "Talks to halvo-sim's control interface (" SIM_CONTROL_NAME ") on the bus, not\n"
     "through the library; the other commands then show what the library reads.\n"
     "  ACTION KEY=VALUE...   run an event now, as a scenario's \"events\" would:\n"
     "                        add_device, remove_device, connect_speaker,\n"
     "                        disconnect_speaker, speaker_info, volume,\n"
     "                        controllable, mute, block, unblock, info_sync_add,\n"
     "                        earphone, fw_result, connecting_status.  Values are\n"
     "                        typed as in the file: 33 and true are a number and a\n"
     "                        flag, '\"33\"' is text, anything else is text.\n"
     "  fault METHOD KIND     KIND: error (an error reply), silent (no reply until\n"
     "                        cleared), latency=MS, clear; METHOD * is every method\n"
     "  state                 the paired devices, speakers, earphones, mute and\n"
     "                        faults (--json: the whole state as a scenario file)\n"
     "  save FILE             the whole state as a scenario file\n"
     "  load FILE             replace the state by a scenario (or a shipped one's name)\n"
     "  reset                 back to the scenario the simulator started with\n"
     "A request the scenario loader would refuse exits 2 with its message.",
     "", 1, -1, sim},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

} // namespace ctl

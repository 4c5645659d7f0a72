/* main.cpp - halvo-sim: options, the bus, the three names, fault injection
 * and a clean stop on SIGINT and SIGTERM. */
#include "service.h"
#include "sim-control.h"

#include <glib-unix.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace halvo_core;

namespace sim {

struct Pending {
    Sim *sim;
    const Method *method;
    GDBusMethodInvocation *invocation;
    guint id;
};

} // namespace sim

using sim::Sim;

namespace {

struct Registration {
    Sim *sim;
    const sim::Interface *iface;
};

void answer(Sim *s, const sim::Method *m, GDBusMethodInvocation *inv)
{
    GVariant *args = g_dbus_method_invocation_get_parameters(inv);
    Variant reply(g_variant_ref_sink(m->handle(s->state, args)));
    GString_ a(g_variant_print(args, FALSE)), r(g_variant_print(reply.get(), FALSE));
    s->state.log("call %s %s -> %s", m->name, a.get(), r.get());
    g_dbus_method_invocation_return_value(inv, reply.get());
}

/* Runs in the main loop, like every handler: the state needs no lock. */
void method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method_name,
                 GVariant *, GDBusMethodInvocation *inv, gpointer user_data)
{
    auto *reg = static_cast<Registration *>(user_data);
    const sim::Method *m = sim::find_method(*reg->iface, method_name);
    if (!m) { /* introspection already refuses unknown names */
        g_dbus_method_invocation_return_dbus_error(inv, "org.freedesktop.DBus.Error.UnknownMethod", method_name);
        return;
    }
    sim::dispatch(*reg->sim, m, inv);
}

const GDBusInterfaceVTable vtable = {method_call, nullptr, nullptr, {nullptr}};

} // namespace

void sim::dispatch(Sim &s, const Method *m, GDBusMethodInvocation *inv)
{
    Fault f = s.state.faults().of(m->name);
    if (f.kind == Fault::SILENT) {
        s.state.log("call %s: left unanswered (injected)", m->name);
        s.held.emplace_back(m, inv);
        return;
    }
    if (f.kind == Fault::ERROR) {
        s.state.log("call %s: error reply (injected)", m->name);
        g_dbus_method_invocation_return_dbus_error(inv, "org.halvo.Sim.Error.Injected",
                                                   (std::string("injected failure of ") + m->name).c_str());
        return;
    }
    if (f.kind != Fault::LATENCY || f.ms <= 0) {
        answer(&s, m, inv);
        return;
    }
    auto *pending = new Pending{&s, m, inv, 0};
    pending->id = g_timeout_add_full(G_PRIORITY_DEFAULT, guint(f.ms),
                                     [](gpointer p) -> gboolean {
                                         auto *d = static_cast<Pending *>(p);
                                         d->sim->delayed.erase(d);
                                         answer(d->sim, d->method, d->invocation);
                                         return G_SOURCE_REMOVE;
                                     },
                                     pending, [](gpointer p) { delete static_cast<Pending *>(p); });
    s.delayed.insert(pending);
}

void sim::release_held(Sim &s)
{
    auto held = std::move(s.held);
    s.held.clear();
    for (const auto &h : held)
        dispatch(s, h.first, h.second);
}

namespace {

void bus_gone(Sim *s)
{
    if (s->exit_code == 0)
        fprintf(stderr, "halvo-sim: the bus went away\n");
    s->exit_code = 1;
    g_main_loop_quit(s->loop);
}

void on_closed(GDBusConnection *, gboolean, GError *, gpointer user_data)
{
    bus_gone(static_cast<Sim *>(user_data));
}

/* The shipped policy: in the tree this program was installed with,
 * wherever that lies, or in the source tree. */
std::string policy_file()
{
    GString_ exe(g_file_read_link("/proc/self/exe", nullptr));
    GString_ bin(g_path_get_dirname(exe ? exe.get() : "."));
    GString_ installed(g_build_filename(bin.get(), "..", "share", "dbus-1", "system.d", "org.halvo.Simulator.conf",
                                        nullptr));
    GString_ clean(g_canonicalize_filename(installed.get(), nullptr));
    for (const char *path : {static_cast<const char *>(clean.get()), HALVO_SIM_POLICY})
        if (g_file_test(path, G_FILE_TEST_EXISTS))
            return path;
    return HALVO_SIM_INSTALLED_POLICY;
}

/* Says why the bus did not grant a name, with the rule that would. */
void refused(const char *name, guint32 reply, GError *error)
{
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED)) {
        struct passwd *pw = getpwuid(geteuid());
        std::string user = pw ? pw->pw_name : std::to_string(geteuid());
        std::string policy = policy_file();
        /* The shipped policy helps only the users it names. */
        if (user == "root" || user == "halvo-sim")
            fprintf(stderr, "halvo-sim: the bus policy does not let user %s own %s: install %s into the bus's "
                            "policy folder (/etc/dbus-1/system.d) or add an <allow own=\"%s\"/> rule for %s\n",
                    user.c_str(), name, policy.c_str(), name, user.c_str());
        else
            fprintf(stderr, "halvo-sim: the bus policy does not let user %s own %s: run as root or halvo-sim "
                            "with %s installed, or add an <allow own=\"%s\"/> rule for %s\n",
                    user.c_str(), name, policy.c_str(), name, user.c_str());
    } else if (error) {
        g_dbus_error_strip_remote_error(error);
        fprintf(stderr, "halvo-sim: cannot own %s: %s\n", name, error->message);
    } else if (reply == 3) { /* DBUS_REQUEST_NAME_REPLY_EXISTS */
        fprintf(stderr, "halvo-sim: cannot own %s: another process on the bus has it\n", name);
    } else {
        fprintf(stderr, "halvo-sim: cannot own %s: the bus answered %u\n", name, reply);
    }
}

/* Runs once the bus has answered every name: ready, or stop. */
void names_answered(Sim *s)
{
    if (s->names_owned < 3) {
        s->exit_code = 1;
        g_main_loop_quit(s->loop);
        return;
    }
    const char *root = g_getenv("VALKO_ROOT");
    printf("halvo-sim: ready (store %s)\n", root ? root : "at the per-user default root");
    fflush(stdout);
    s->state.start_events();
}

void name_requested(GObject *source, GAsyncResult *result, gpointer user_data)
{
    auto *n = static_cast<sim::Name *>(user_data);
    Error err;
    Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, out(err)));
    guint32 code = 0;
    if (reply)
        g_variant_get(reply.get(), "(u)", &code);
    n->owned = code == 1; /* DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER */
    if (n->owned) {
        n->sim->state.log("owns %s", n->name);
        n->sim->names_owned++;
    } else if (!g_dbus_connection_is_closed(G_DBUS_CONNECTION(source))) {
        refused(n->name, code, err.get());
    }
    if (++n->sim->names_answered == 3)
        names_answered(n->sim);
}

gboolean on_stop_signal(gpointer user_data)
{
    g_main_loop_quit(static_cast<Sim *>(user_data)->loop);
    return G_SOURCE_CONTINUE;
}

/* False, after saying so, when a name is not one of the methods. */
bool add_methods(std::map<std::string, sim::Fault> &to, char **list, sim::Fault::Kind kind, const char *option)
{
    for (char **p = list; p && *p; p++) {
        Strv parts(g_strsplit(*p, ",", -1));
        for (char **q = parts.get(); *q; q++) {
            const char *name = g_strstrip(*q);
            if (!*name)
                continue;
            if (strcmp(name, "*") != 0 && !sim::known_method(name)) {
                fprintf(stderr, "halvo-sim: %s: unknown method \"%s\"; the methods are:\n%s\n", option, name,
                        sim::method_names(78, "  ").c_str());
                return false;
            }
            to[name] = sim::Fault{kind, 0};
        }
    }
    return true;
}

/* The shipped scenarios and the methods, for --help. */
std::string help_description()
{
    std::string names;
    for (const char *dir : {HALVO_SIM_SCENARIO_DIR, HALVO_SIM_INSTALLED_SCENARIO_DIR}) {
        GDir *d = g_dir_open(dir, 0, nullptr);
        for (const char *f; d && (f = g_dir_read_name(d));)
            if (g_str_has_suffix(f, ".json")) {
                std::string name(f, strlen(f) - 5);
                if (names.find(" " + name + ",") == std::string::npos)
                    names += " " + name + ",";
            }
        if (d)
            g_dir_close(d);
    }
    if (!names.empty())
        names.pop_back();
    return "Shipped scenarios (for --scenario):" + (names.empty() ? std::string(" none found") : names) +
           "\n\nMethods (for --error and --no-reply; * is every method):\n" + sim::method_names(78, "  ") +
           "\n\nOn a system bus that denies by default, the bus reads the policy installed\n"
           "with halvo-sim (" HALVO_SIM_INSTALLED_POLICY "; from a\n"
           "prefix other than /usr, link it into /etc/dbus-1/system.d): root and the\n"
           "halvo-sim user may own the names, root and the halvo-sim group may drive\n"
           "the simulator.  Installed as a service, it is not enabled: the first call\n"
           "to the service starts it, and \"systemctl enable --now halvo-sim\" starts\n"
           "it at boot.  Its store is then /run/halvo-sim (VALKO_ROOT for the clients).";
}

} // namespace

std::string sim::scenario_path(const char *given)
{
    std::string name = given ? given : "default";
    if (name.find('/') != std::string::npos || g_str_has_suffix(name.c_str(), ".json"))
        return name;
    for (const char *dir : {HALVO_SIM_SCENARIO_DIR, HALVO_SIM_INSTALLED_SCENARIO_DIR}) {
        std::string path = std::string(dir) + "/" + name + ".json";
        if (g_file_test(path.c_str(), G_FILE_TEST_EXISTS))
            return path;
    }
    return name;
}

int main(int argc, char **argv)
{
    gboolean use_system = FALSE, use_session = FALSE, quiet = FALSE, version = FALSE;
    char *address = nullptr, *scenario = nullptr, *store_root = nullptr;
    int latency = -1;
    char **errors = nullptr, **no_reply = nullptr;
    GOptionEntry entries[] = {
        {"system", 0, 0, G_OPTION_ARG_NONE, &use_system, "Serve on the system bus (default)", nullptr},
        {"session", 0, 0, G_OPTION_ARG_NONE, &use_session, "Serve on the session bus", nullptr},
        {"address", 0, 0, G_OPTION_ARG_STRING, &address, "Serve on the bus at ADDR", "ADDR"},
        {"scenario", 's', 0, G_OPTION_ARG_FILENAME, &scenario,
         "Starting state and scripted events: a file, or a name of the shipped scenarios (default: default)", "FILE"},
        {"store-root", 0, 0, G_OPTION_ARG_FILENAME, &store_root, "Configuration store root (sets VALKO_ROOT)", "DIR"},
        {"latency", 'l', 0, G_OPTION_ARG_INT, &latency, "Answer every method after MS milliseconds", "MS"},
        {"error", 'e', 0, G_OPTION_ARG_STRING_ARRAY, &errors,
         "Answer METHOD with an error reply (repeatable, or a comma list)", "METHOD"},
        {"no-reply", 'n', 0, G_OPTION_ARG_STRING_ARRAY, &no_reply, "Never answer METHOD (repeatable, or a comma list)",
         "METHOD"},
        {"quiet", 'q', 0, G_OPTION_ARG_NONE, &quiet, "Print only the ready line and errors", nullptr},
        {"version", 'V', 0, G_OPTION_ARG_NONE, &version, "Print the version and exit", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

    GOptionContext *ctx = g_option_context_new("- simulate the Bluetooth application service");
    g_option_context_set_summary(ctx,
        "Owns com.marlox.tv.bt.connectionmanager and com.marlox.tv.bt.updatemanager,\n"
        "answers every method of the service from one state, writes the store\n"
        "documents and emits the service's signals whenever that state changes.\n"
        "Owns " SIM_CONTROL_NAME " too: \"halvoctl sim\" drives it while it runs.\n"
        "Prints \"halvo-sim: ready\" once all three names are owned.  Stops on SIGINT/SIGTERM.");
    std::string description = help_description();
    g_option_context_set_description(ctx, description.c_str());
    g_option_context_add_main_entries(ctx, entries, nullptr);
    Error err;
    if (!g_option_context_parse(ctx, &argc, &argv, out(err))) {
        fprintf(stderr, "halvo-sim: %s (try --help)\n", err->message);
        g_option_context_free(ctx);
        return 2;
    }
    g_option_context_free(ctx);
    /* Owned from here, so that every return frees them. */
    GString_ address_text(address), scenario_text(scenario), store_root_text(store_root);
    if (version) {
        printf("halvo-sim %s\n", HALVO_SIM_VERSION);
        return 0;
    }
    if (int(use_system) + int(use_session) + int(address != nullptr) > 1) {
        fprintf(stderr, "halvo-sim: choose one of --system, --session and --address\n");
        return 2;
    }
    if (store_root)
        g_setenv("VALKO_ROOT", store_root, TRUE);

    Sim s;
    s.state.set_verbose(!quiet);
    std::string path = sim::scenario_path(scenario), problem;
    if (!s.state.load(path, &problem)) {
        fprintf(stderr, "halvo-sim: unusable scenario\n%s\n", problem.c_str());
        return 2;
    }
    auto &faults = s.state.faults().by_method;
    if (latency >= 0)
        faults["*"] = sim::Fault{sim::Fault::LATENCY, latency};
    bool known = add_methods(faults, errors, sim::Fault::ERROR, "--error") &&
                 add_methods(faults, no_reply, sim::Fault::SILENT, "--no-reply");
    g_strfreev(errors);
    g_strfreev(no_reply);
    if (!known)
        return 2;

    if (address)
        s.bus = g_dbus_connection_new_for_address_sync(
            address,
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, out(err));
    else
        s.bus = g_bus_get_sync(use_session ? G_BUS_TYPE_SESSION : G_BUS_TYPE_SYSTEM, nullptr, out(err));
    if (!s.bus) {
        fprintf(stderr, "halvo-sim: cannot reach the bus: %s\n", err ? err->message : "unknown error");
        return 1;
    }
    g_dbus_connection_set_exit_on_close(s.bus, FALSE);
    g_signal_connect(s.bus, "closed", G_CALLBACK(on_closed), &s);
    s.state.set_emitter([&s](const char *name, GVariant *params) {
        Error e;
        if (!g_dbus_connection_emit_signal(s.bus, nullptr, HALVO_SIGNAL_PATH, HALVO_SIGNAL_INTERFACE, name, params,
                                           out(e)))
            fprintf(stderr, "halvo-sim: cannot emit %s: %s\n", name, e->message);
    });

    s.start = s.state;

    s.loop = g_main_loop_new(nullptr, FALSE);
    Registration regs[] = {{&s, &sim::service_interface}, {&s, &sim::update_interface}};
    guint objects[3] = {0, 0, 0};
    for (int i = 0; i < 2; i++) {
        const sim::Interface &iface = *regs[i].iface;
        GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(
            sim::interface_xml(iface.name, iface.methods, iface.count).c_str(), nullptr);
        objects[i] = g_dbus_connection_register_object(s.bus, regs[i].iface->path, info->interfaces[0], &vtable,
                                                       &regs[i], nullptr, out(err));
        g_dbus_node_info_unref(info);
        if (!objects[i]) {
            fprintf(stderr, "halvo-sim: cannot register %s: %s\n", regs[i].iface->path, err->message);
            return 1;
        }
    }
    objects[2] = sim::register_control(s, out(err));
    if (!objects[2]) {
        fprintf(stderr, "halvo-sim: cannot register %s: %s\n", SIM_CONTROL_PATH, err->message);
        return 1;
    }

    /* The documents are in place before a client can see the service. */
    s.state.publish_all();
    /* Never queued: a name someone else holds is a failure to start. */
    sim::Name names[] = {{&s, HALVO_SERVICE_NAME}, {&s, HALVO_UPDATE_NAME}, {&s, SIM_CONTROL_NAME}};
    for (auto &n : names)
        g_dbus_connection_call(s.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "RequestName", g_variant_new("(su)", n.name, 4u /* DO_NOT_QUEUE */),
                               G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, name_requested, &n);
    guint sigint = g_unix_signal_add(SIGINT, on_stop_signal, &s);
    guint sigterm = g_unix_signal_add(SIGTERM, on_stop_signal, &s);

    g_main_loop_run(s.loop);

    s.state.stop_timers();
    for (const auto &h : s.held)
        g_dbus_method_invocation_return_dbus_error(h.second, "org.halvo.Sim.Error.Stopped", "the simulator stopped");
    for (sim::Pending *d : std::set<sim::Pending *>(s.delayed)) {
        g_dbus_method_invocation_return_dbus_error(d->invocation, "org.halvo.Sim.Error.Stopped", "the simulator stopped");
        g_source_remove(d->id);
    }
    /* Only what the bus granted; closing would drop it too, but later. */
    for (auto &n : names) {
        if (n.owned && !g_dbus_connection_is_closed(s.bus))
            Variant released(g_dbus_connection_call_sync(s.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                         "org.freedesktop.DBus", "ReleaseName",
                                                         g_variant_new("(s)", n.name), nullptr,
                                                         G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
    }
    for (guint object : objects)
        g_dbus_connection_unregister_object(s.bus, object);
    g_dbus_connection_flush_sync(s.bus, nullptr, nullptr);
    g_dbus_connection_close_sync(s.bus, nullptr, nullptr);
    g_object_unref(s.bus);
    g_source_remove(sigint);
    g_source_remove(sigterm);
    g_main_loop_unref(s.loop);
    if (s.exit_code == 0 && !quiet)
        printf("halvo-sim: stopped\n");
    return s.exit_code;
}

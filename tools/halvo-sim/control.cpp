/* control.cpp - the control interface: runs an action now, sets faults,
 * saves, loads and resets the state while clients use the service.  Its
 * requests are checked as the scenario loader checks a file, with the same
 * messages. */
#include "service.h"
#include "sim-control.h"

#include <cstring>

using namespace halvo_core;

namespace sim {

namespace {

struct ControlMethod {
    const char *name;
    const char *in;
    const char *out;
    void (*handle)(Sim &s, GVariant *args, GDBusMethodInvocation *inv);
};

void refuse(GDBusMethodInvocation *inv, const char *error, const std::string &text)
{
    g_dbus_method_invocation_return_dbus_error(inv, error, text.c_str());
}

std::string lines(const std::vector<std::string> &list)
{
    std::string text;
    for (const auto &l : list)
        text += (text.empty() ? "" : "\n") + l;
    return text;
}

/* After the state was replaced: its documents, its events, its faults. */
void restart(Sim &s)
{
    s.state.publish_all();
    s.state.start_events();
    release_held(s);
}

void act(Sim &s, GVariant *args, GDBusMethodInvocation *inv)
{
    const char *action = nullptr;
    GVariant *fields = nullptr;
    g_variant_get(args, "(&s@a{sv})", &action, &fields);
    Variant owned(fields);
    /* The fields become the members of an event object, as in a file. */
    JsonNode *node = json_gvariant_serialize(fields);
    JsonObject *o = json_node_get_object(node);
    json_object_set_string_member(o, "action", action);
    Event e;
    std::vector<std::string> errors;
    bool ok = parse_event(o, "event", &e, &errors);
    json_node_unref(node);
    if (!ok)
        return refuse(inv, SIM_CONTROL_ERROR_INVALID, lines(errors));
    std::string problem = s.state.run(e);
    if (!problem.empty())
        return refuse(inv, SIM_CONTROL_ERROR_FAILED, problem);
    g_dbus_method_invocation_return_value(inv, nullptr);
}

struct FaultName {
    const char *name;
    Fault::Kind kind;
};
const FaultName fault_names[] = {
    {"clear", Fault::NONE}, {"latency", Fault::LATENCY}, {"error", Fault::ERROR}, {"silent", Fault::SILENT}};

/* "*" sets the fault of every method without one of its own; clearing
 * "*" clears every fault. */
void set_fault(Sim &s, GVariant *args, GDBusMethodInvocation *inv)
{
    const char *method = nullptr, *name = nullptr;
    int ms = 0;
    g_variant_get(args, "(&s&si)", &method, &name, &ms);
    if (strcmp(method, "*") != 0 && !known_method(method))
        return refuse(inv, SIM_CONTROL_ERROR_INVALID,
                      std::string("unknown method \"") + method + "\"; the methods are:\n" + method_names(72, "  "));
    const FaultName *f = nullptr;
    for (const auto &n : fault_names)
        if (strcmp(n.name, name) == 0)
            f = &n;
    if (!f)
        return refuse(inv, SIM_CONTROL_ERROR_INVALID,
                      std::string("unknown fault \"") + name + "\": expected error, silent, latency or clear");
    if (f->kind == Fault::LATENCY && ms < 0)
        return refuse(inv, SIM_CONTROL_ERROR_INVALID, "latency: expected milliseconds from 0");
    auto &faults = s.state.faults().by_method;
    if (f->kind != Fault::NONE)
        faults[method] = Fault{f->kind, ms};
    else if (strcmp(method, "*") == 0)
        faults.clear();
    else
        faults.erase(method);
    s.state.log("fault %s: %s%s", method, name, f->kind == Fault::LATENCY ? (" " + std::to_string(ms) + " ms").c_str() : "");
    release_held(s);
    g_dbus_method_invocation_return_value(inv, nullptr);
}

void get_state(Sim &s, GVariant *, GDBusMethodInvocation *inv)
{
    g_dbus_method_invocation_return_value(inv, g_variant_new("(s)", s.state.scenario_json().c_str()));
}

void load_scenario(Sim &s, GVariant *args, GDBusMethodInvocation *inv)
{
    const char *given = nullptr;
    g_variant_get(args, "(&s)", &given);
    std::string path = scenario_path(given), problem;
    if (!s.state.replace(path, &problem))
        return refuse(inv, SIM_CONTROL_ERROR_INVALID, problem);
    s.state.log("scenario %s loaded", path.c_str());
    restart(s);
    g_dbus_method_invocation_return_value(inv, nullptr);
}

void reset(Sim &s, GVariant *, GDBusMethodInvocation *inv)
{
    s.state.stop_timers();
    s.state = s.start;
    s.state.log("back to the starting scenario");
    restart(s);
    g_dbus_method_invocation_return_value(inv, nullptr);
}

const ControlMethod control_methods[] = {
    {"Act", "(sa{sv})", "()", act},
    {"SetFault", "(ssi)", "()", set_fault},
    {"GetState", "()", "(s)", get_state},
    {"LoadScenario", "(s)", "()", load_scenario},
    {"Reset", "()", "()", reset},
};

/* Runs in the main loop, like the service's methods. */
void method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method_name,
                 GVariant *args, GDBusMethodInvocation *inv, gpointer user_data)
{
    for (const auto &m : control_methods)
        if (strcmp(m.name, method_name) == 0)
            return m.handle(*static_cast<Sim *>(user_data), args, inv);
    g_dbus_method_invocation_return_dbus_error(inv, "org.freedesktop.DBus.Error.UnknownMethod", method_name);
}

const GDBusInterfaceVTable vtable = {method_call, nullptr, nullptr, {nullptr}};

} // namespace

guint register_control(Sim &s, GError **error)
{
    std::string xml = interface_xml(SIM_CONTROL_INTERFACE, control_methods, G_N_ELEMENTS(control_methods));
    GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(xml.c_str(), error);
    if (!info)
        return 0;
    guint id = g_dbus_connection_register_object(s.bus, SIM_CONTROL_PATH, info->interfaces[0], &vtable, &s, nullptr,
                                                 error);
    g_dbus_node_info_unref(info);
    return id;
}

} // namespace sim

/* service.h - the method tables of the simulated service and update manager,
 * and the running simulator that they and the control interface share. */
#ifndef HALVO_SIM_SERVICE_H
#define HALVO_SIM_SERVICE_H

#include "sim.h"

#include <gio/gio.h>

namespace sim {

struct Method {
    const char *name;
    const char *in;  /* argument tuple type */
    const char *out; /* reply tuple type */
    GVariant *(*handle)(State &state, GVariant *args); /* returns the (floating) reply */
};

struct Interface {
    const char *path;
    const char *name;
    const Method *methods;
    size_t count;
};

extern const Interface service_interface;
extern const Interface update_interface;

/* Introspection data of one interface, from a table whose rows have a
 * name, an argument tuple type and a reply tuple type. */
std::string method_xml(const char *name, const char *in, const char *out);
template <typename Row> std::string interface_xml(const char *name, const Row *rows, size_t count)
{
    std::string xml = std::string("<node><interface name='") + name + "'>";
    for (size_t i = 0; i < count; i++)
        xml += method_xml(rows[i].name, rows[i].in, rows[i].out);
    return xml + "</interface></node>";
}

const Method *find_method(const Interface &iface, const char *name);
/* Whether the service or the update manager has @name. */
bool known_method(const char *name);
/* Every method name, in lines of at most @width columns after @indent. */
std::string method_names(size_t width, const char *indent);

struct Pending;

/* The running simulator (main.cpp).  Everything runs in the main loop. */
struct Sim {
    State state;
    State start; /* the starting scenario, for a reset */
    GMainLoop *loop = nullptr;
    GDBusConnection *bus = nullptr;
    std::vector<std::pair<const Method *, GDBusMethodInvocation *>> held; /* silenced calls */
    std::set<Pending *> delayed; /* answers waiting for their latency */
    int names_owned = 0;
    int names_answered = 0;
    int exit_code = 0;
};

/* A name the simulator asks the bus for, and whether the bus granted it. */
struct Name {
    Sim *sim;
    const char *name;
    bool owned = false;
};

/* Answers a call as the method's fault says: now, later, with an error, or
 * never (held). */
void dispatch(Sim &s, const Method *m, GDBusMethodInvocation *inv);
/* Dispatches again the held calls whose method is no longer silenced. */
void release_held(Sim &s);
/* A scenario file, or the file of a shipped scenario's name. */
std::string scenario_path(const char *given);

/* Registers the control interface (control.cpp); 0 with @error set on failure. */
guint register_control(Sim &s, GError **error);

} // namespace sim

#endif

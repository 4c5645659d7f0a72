/* service.h - the method tables of the simulated service and update manager. */
#ifndef HALVO_SIM_SERVICE_H
#define HALVO_SIM_SERVICE_H

#include "sim.h"

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

std::string introspection_xml(const Interface &iface);
const Method *find_method(const Interface &iface, const char *name);

} // namespace sim

#endif

/* list-devices-cxx.cpp - list the paired Bluetooth devices, in C++.
 *
 * Build against an installed library:
 *   c++ -std=c++17 list-devices-cxx.cpp $(pkg-config --cflags --libs halvo-api) -o list-devices-cxx
 */
#include <halvo/calls.hpp>

#include <cstdio>

int main()
{
    auto devices = halvo::paired_devices();
    if (!devices) {
        fprintf(stderr, "cannot list the paired devices: result %d: %s\n", devices.code(), devices.message());
        return 1;
    }
    if (devices->empty())
        printf("no paired devices\n");
    for (const halvo::Device &d : *devices)
        printf("%-17s  %-24s  type %d%s%s\n", d.address.value_or("?").c_str(), d.name.value_or("").c_str(),
               d.device_type, d.connected ? ", connected" : "", d.dont_use ? ", don't use" : "");
    /* The list is a vector of values: nothing to free. */
    return 0;
}

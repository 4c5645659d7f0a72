/* cxx-calls.cpp - the C++ API's side of halvo-bench's C++ rows.  Each call
 * drops the values it got, as the C side frees its records. */
#include "cxx-calls.h"

#include <halvo/halvo.hpp>

int cxx_volume(const char *address)
{
    return halvo::volume(address).value_or(-1);
}

int cxx_device_type(const char *address)
{
    auto device = halvo::paired_device(address);
    return device ? device->device_type : -1;
}

std::size_t cxx_last_speakers()
{
    auto list = halvo::last_speakers();
    return list ? list->size() : 0;
}

/* cxx-calls.cpp - the C++ API's side of halvo-bench's C++ rows.  Each call
 * drops the values it got, as the C side frees its records. */
#include "cxx-calls.h"

#include <halvo/calls.hpp>

#include <chrono>

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

double cxx_convert_last_speakers(void *list)
{
    auto t0 = std::chrono::steady_clock::now();
    halvo::detail::last_speaker_list(static_cast<const halvo::detail::GSList *>(list));
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

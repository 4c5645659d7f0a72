/* cxx-calls.cpp - the C++ API's side of halvo-bench's C++ rows.  Each call
 * drops the values it got, as the C side frees its records. */
#include "cxx-calls.h"

#include <halvo/halvo.hpp>

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
    halvo::detail::List<last_spk_info_t> borrowed([](GSList **) noexcept { return 0; });
    borrowed.head = static_cast<GSList *>(list);
    auto t0 = std::chrono::steady_clock::now();
    borrowed.convert<halvo::LastSpeaker>(halvo::detail::last_speaker);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

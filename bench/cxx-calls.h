/* cxx-calls.h - the C++ API's side of halvo-bench's C++ rows, in a unit of
 * its own, apart from the library's private header that halvo-bench.cpp
 * needs. */
#ifndef HALVO_BENCH_CXX_CALLS_H
#define HALVO_BENCH_CXX_CALLS_H

#include <cstddef>

/* The volume of @address through halvo::volume(); -1 on a failure. */
int cxx_volume(const char *address);
/* The device type of @address through halvo::paired_device(); -1 on a failure. */
int cxx_device_type(const char *address);
/* How many last speakers halvo::last_speakers() gave; 0 on a failure. */
std::size_t cxx_last_speakers();
/* Microseconds that turning @list (of last_spk_info_t, left to the
 * caller) into values and dropping them takes: what the C++ call adds. */
double cxx_convert_last_speakers(void *list);

#endif

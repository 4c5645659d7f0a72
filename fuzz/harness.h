/* harness.h - what the fuzz targets share: fatal GLib warnings, a quiet
 * log that still formats every line, a private store root, GVariants and
 * texts made from the fuzz bytes, and an in-process service on a private
 * bus for the targets that go through the transport. */
#ifndef HALVO_FUZZ_HARNESS_H
#define HALVO_FUZZ_HARNESS_H

#include "halvo-api-private.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace halvo_fuzz {

/* Reads the fuzz bytes front to back; past the end, bytes are 0. */
class Input {
  public:
    Input(const uint8_t *data, size_t size) : p_(reinterpret_cast<const char *>(data)), end_(p_ + size) {}
    uint8_t byte() { return p_ < end_ ? uint8_t(*p_++) : 0; }
    /* Bytes up to the next @sep (dropped) or the end. */
    std::string until(char sep)
    {
        const char *stop = std::find(p_, end_, sep);
        std::string s(p_, stop);
        p_ = stop < end_ ? stop + 1 : end_;
        return s;
    }
    std::string rest()
    {
        std::string s(p_, end_);
        p_ = end_;
        return s;
    }

  private:
    const char *p_;
    const char *end_;
};

/* A tuple of a type picked by the input (one of @types, which must be
 * tuples D-Bus can carry, or a type string written in the input), filled
 * from the rest of the input as GVariant's serialised form and brought to
 * normal form, as the bus delivers it.  Never NULL. */
halvo_core::Variant variant_from(Input &in, std::initializer_list<const char *> types);

/* variant_from() when @typed, else a "(s)" of the rest of the input made
 * fit for D-Bus (valid UTF-8 without NUL bytes). */
halvo_core::Variant payload_from(Input &in, bool typed, std::initializer_list<const char *> types);

/* Reports what broke and aborts, so that the fuzzer keeps the input. */
[[noreturn]] void finding(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Reads each string that is not NULL to its end, so that the sanitizers
 * see a bad one. */
void touch(std::initializer_list<const char *> strings);

/* A private dbus-daemon, started on first use, that DBUS_SYSTEM_BUS_ADDRESS
 * points at, with a second connection owning the service's names.  It
 * answers each method with what was scripted for it (from GDBus's worker
 * thread, as a real service would), and an error for any other method. */
namespace service {
void start();
/* Reply to @method with @body (a tuple; floating is sunk), or with an
 * error when @body is NULL. */
void reply(const char *method, GVariant *body);
/* Emits signal @name on the service's path and interface (a tuple;
 * floating is sunk). */
void emit(const char *name, GVariant *body);
} // namespace service

/* Defined by each target: a set-up run once before the first input (or
 * NULL), and the cases, one of which the first input byte picks. */
struct Target {
    void (*start)();
    std::vector<void (*)(Input &in)> cases;
};
extern const Target target;

} // namespace halvo_fuzz

#endif

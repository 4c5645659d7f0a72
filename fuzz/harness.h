/* harness.h - what the fuzz targets share: fatal GLib warnings, a quiet
 * log that still formats every line, a private store root, GVariants and
 * texts made from the fuzz bytes, and an in-process service on a private
 * bus for the targets that go through the transport. */
#ifndef HALVO_FUZZ_HARNESS_H
#define HALVO_FUZZ_HARNESS_H

#include <gio/gio.h>
#include <json-glib/json-glib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace halvo_fuzz {

/* Once per process, from LLVMFuzzerInitialize (defined here for every
 * target): g_warning and g_critical abort, the log is formatted
 * but not printed, VALKO_ROOT points at a fresh directory. */
void init();

/* Reads the fuzz bytes front to back. */
class Input {
  public:
    Input(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    size_t left() const { return size_t(end_ - p_); }
    uint8_t byte();
    /* Bytes up to the next @sep (dropped) or the end. */
    std::string until(char sep);
    std::string rest();

  private:
    const uint8_t *p_;
    const uint8_t *end_;
};

/* @raw made fit for a D-Bus string: valid UTF-8 without NUL bytes. */
std::string dbus_text(const std::string &raw);

/* A tuple of a type picked by the input (one of @types, which must be
 * tuples D-Bus can carry, or a type string written in the input), filled
 * from the rest of the input as GVariant's serialised form and brought to
 * normal form, as the bus delivers it.  Never NULL; not floating. */
GVariant *variant_from(Input &in, const char *const *types, size_t n_types);

/* Reports what broke and aborts, so that the fuzzer keeps the input. */
[[noreturn]] void finding(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* The root of @text as the library's guarded parse sees it (a new
 * reference), or NULL when it does not parse. */
JsonNode *parse(const std::string &text);

/* The member names of @object, in order. */
std::vector<std::string> members_of(JsonObject *object);

/* The root of @after, the text the library wrote back for @before (a new
 * reference).  Aborts when @after does not parse to an object, or differs
 * from @before by more than one span replaced with at most @inserted bytes. */
JsonNode *rewritten(const std::string &before, const std::string &after, size_t inserted);

/* The store key's text, or "<unreadable>". */
std::string stored(const char *key);

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

} // namespace halvo_fuzz

#endif

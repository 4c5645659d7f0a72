/* halvoctl.h - what the commands of halvoctl share: the context, argument
 * access, reporting results, tables and JSON, waiting on the main context. */
#ifndef HALVOCTL_H
#define HALVOCTL_H

#include "json-writer.h"

#include <gio/gio.h>
#include <halvo/async.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ctl {

/* Exit statuses, in nmcli's manner (listed in --help and the README). */
enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_TIMEOUT = 3, EXIT_NO_SERVICE = 8, EXIT_NOT_FOUND = 10 };

/* The names of the service and its update manager on the bus. */
#define SERVICE_NAME "com.marlox.tv.bt.connectionmanager"
#define UPDATE_MANAGER_NAME "com.marlox.tv.bt.updatemanager"

struct Ctx {
    bool json = false;
    bool progress = false; /* stderr is a terminal */
    int timeout_ms = 15000; /* for waits on events */
    gint64 deadline = 0;    /* the whole command's, monotonic time in us; 0: none */
    std::string timeout_message; /* "timed out after N s (--timeout)" */
    const char *service = SERVICE_NAME; /* the name the command needs on the bus */
    bool partial_ok = false;            /* a partial answer is a success */
    bool quiet = false;                 /* no confirmations; answers and errors only */
    std::string command;
    std::vector<std::string> args;  /* positional, after the command */
    std::vector<std::string> flags; /* command flags, "--name" or "--name=value" */

    bool flag(const char *name) const;
    /* The value of "--name=value", or @def. */
    std::string value(const char *name, const std::string &def = "") const;
};

struct Command {
    const char *name;
    const char *usage;   /* arguments, e.g. "ADDR [N|up|down]" */
    const char *summary; /* one line */
    const char *help;    /* what it does, in full */
    const char *flags;   /* accepted flags, comma-separated; "name=" takes a value */
    int min_args, max_args;
    int (*run)(Ctx &ctx);
};

/* The commands of each family (commands-*.cpp, monitor.cpp). */
extern const Command device_commands[];
extern const Command speaker_commands[];
extern const Command list_commands[];
extern const Command vendor_commands[];
extern const Command monitor_commands[];
extern const Command sim_commands[];

/* ---- Reporting ---- */

/* The symbolic name of a library result code. */
const char *result_name(int code);
/* Failures print "halvoctl CMD: ..." on stderr and, with --json, an
 * {"error": {...}} object on stdout, and return the exit status.
 *
 * A failed operation, from its result's failure kind: the service not on
 * the bus is EXIT_NO_SERVICE, halvoctl's own deadline (a cancelled call)
 * EXIT_TIMEOUT, anything else "WHAT failed: " and the kind in words. */
int fail(const Ctx &ctx, const std::string &what, int code, halvo::FailureKind kind, const char *message);
template <class T>
int fail(const Ctx &ctx, const std::string &what, const halvo::Result<T> &result)
{
    return fail(ctx, what, result.code(), result.failure(), result.message());
}
/* A failure that is not an operation's. */
int fail_text(const Ctx &ctx, const std::string &text);
/* After an answer printed with some values unknown (@missing, in words):
 * EXIT_FAILED (EXIT_NO_SERVICE without @service_present) unless
 * --partial-ok, EXIT_OK when nothing is missing. */
int partial(const Ctx &ctx, const std::vector<std::string> &missing, bool service_present = true);
/* --timeout passed. */
int fail_timeout(const Ctx &ctx, const std::string &text);
/* "WHAT failed: the service is not on the bus" (ctx.service). */
int not_on_bus(const Ctx &ctx, const std::string &what);
int usage_error(const Ctx &ctx, const std::string &text);
/* The device, speaker, key or address named is not there. */
int not_found(const Ctx &ctx, const std::string &text);

/* ---- Output ---- */

class Table {
  public:
    explicit Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    bool empty() const { return rows_.empty(); }
    void print() const;

  private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

void print_json(const tools::JsonWriter &w);
/* A confirmation of what was done: @text, or @w with --json. */
void confirm(const Ctx &ctx, const std::string &text, const tools::JsonWriter &w);
/* @w with --json; otherwise @t, or @none when it has no rows. */
void print_either(const Ctx &ctx, const tools::JsonWriter &w, const Table &t, const char *none);
std::string or_dash(const char *s);
std::string or_dash(const std::optional<std::string> &s);
/* For the JSON writer: NULL (written as null) when absent. */
inline const char *c_str(const std::optional<std::string> &s) { return s ? s->c_str() : nullptr; }

/* Records with an address and a name, as print_either() shows them; with
 * --json an object whose @member holds them. */
template <class Records>
void print_named(const Ctx &ctx, const Records &list, const char *member, const char *none)
{
    tools::JsonWriter w;
    Table t({"ADDRESS", "NAME"});
    w.obj().arr(member);
    for (const auto &d : list) {
        w.obj().s("address", c_str(d.address)).s("name", c_str(d.name)).end_obj();
        t.add({or_dash(d.address), or_dash(d.name)});
    }
    w.end_arr().end_obj();
    print_either(ctx, w, t, none);
}
/* "HH:MM:SS.mmm" of now, and the same in RFC 3339 with the date and offset. */
std::string timestamp();
std::string timestamp_rfc3339();

/* Names of the service's enumerations, for tables and beside the numbers
 * in JSON. */
const char *device_type_name(int type);
const char *connecting_status_name(halvo::ConnectingStatus status);

/* ---- Parsing ---- */

bool parse_int(const std::string &text, int *out);
bool parse_hex(const std::string &text, std::vector<uint8_t> *bytes);

/* ---- Waiting ---- */

/* Iterates the thread-default main context until @done holds, the
 * command's deadline passes, or @limit_ms (when given) passes; true when
 * @done held. */
bool wait_until(const Ctx &ctx, const std::function<bool()> &done, int limit_ms = -1);

/** @cond INTERNAL */
namespace detail {
/* What a non-blocking call answers: a Result, but a custom command's reply. */
template <class T>
struct Answer {
    using type = halvo::Result<T>;
    static type late(halvo::Failure f) { return f; }
};
template <>
struct Answer<halvo::CommandReply> {
    using type = halvo::CommandReply;
    static type late(halvo::Failure f) { return {f, std::nullopt}; }
};
/* The cancelled call's failure: fail() reports it as EXIT_TIMEOUT. */
halvo::Failure deadline_passed(const Ctx &ctx);
} // namespace detail
/** @endcond */

/* One library call through the non-blocking API: @start(fn) starts it
 * with the callable that takes the answer (halvo::async::NAME(..., fn)),
 * then the main context turns until it answers.  When the command's
 * deadline comes first the call is cancelled and the answer is a failure
 * that fail() reports as "timed out after N s (--timeout)". */
template <class T, class Start>
typename detail::Answer<T>::type await(const Ctx &ctx, Start start)
{
    using R = typename detail::Answer<T>::type;
    std::optional<R> answer;
    halvo::Call call = start([&answer](R r) { answer.emplace(std::move(r)); });
    if (!wait_until(ctx, [&] { return answer.has_value(); })) {
        call.cancel(); /* the callable never runs after this */
        return detail::Answer<T>::late(detail::deadline_passed(ctx));
    }
    return std::move(*answer);
}

/* A D-Bus call of halvoctl's own (not through the library): it goes out
 * at once; wait() waits for it as await() does.  Still out when this goes,
 * it is cancelled. */
class BusCall {
  public:
    BusCall(GDBusConnection *bus, const char *name, const char *path, const char *interface, const char *method,
            GVariant *args, const GVariantType *type);
    ~BusCall();
    BusCall(const BusCall &) = delete;
    BusCall &operator=(const BusCall &) = delete;
    /* The reply (the caller's), or NULL: @error set, or no answer by the
     * deadline or within @limit_ms, and then @timed_out set. */
    GVariant *wait(const Ctx &ctx, GError **error, bool *timed_out = nullptr, int limit_ms = -1);

  private:
    GCancellable *cancellable_;
    GVariant *reply_ = nullptr;
    GError *error_ = nullptr;
    bool answered_ = false;
};

/* Whether @name has an owner on the system bus; false when the bus is out
 * of reach or the deadline passed. */
bool name_has_owner(const Ctx &ctx, const char *name);

/* A spinner with the elapsed time on stderr while something takes long
 * (only on a terminal), turned by the main context that the wait iterates. */
class Progress {
  public:
    Progress(const Ctx &ctx, const std::string &label);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    void done();

  private:
    static gboolean tick(gpointer self);
    std::string label_;
    gint64 start_ = 0;
    unsigned turn_ = 0;
    GSource *source_ = nullptr;
};

} // namespace ctl

#endif

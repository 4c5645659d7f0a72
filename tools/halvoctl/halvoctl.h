/* halvoctl.h - what the commands of halvoctl share: the context, argument
 * access, reporting results, tables and JSON, waiting on the main context. */
#ifndef HALVOCTL_H
#define HALVOCTL_H

#include "json-writer.h"

#include <halvo/halvo.hpp>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ctl {

/* Exit statuses, in nmcli's manner (listed in --help and the README). */
enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_TIMEOUT = 3, EXIT_NO_SERVICE = 8, EXIT_NOT_FOUND = 10 };

/* The bus names a failure is checked against: nobody owning them is exit 8. */
#define SERVICE_NAME "com.marlox.tv.bt.connectionmanager"
#define UPDATE_MANAGER_NAME "com.marlox.tv.bt.updatemanager"

struct Ctx {
    bool json = false;
    bool progress = false; /* stderr is a terminal */
    int timeout_ms = 15000; /* for waits on events */
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

/* The symbolic name and meaning of a library result code. */
const char *result_name(int code);
const char *result_meaning(int code);
/* Failures print "halvoctl CMD: ..." on stderr and, with --json, an
 * {"error": {...}} object on stdout; they return the exit status, which is
 * EXIT_NO_SERVICE when nobody owns ctx.service.
 *
 * A library result code: "WHAT failed: result N (NAME): MEANING" and the
 * error lines the library logged. */
int fail(const Ctx &ctx, const std::string &what, int code);
template <class T>
int fail(const Ctx &ctx, const std::string &what, const halvo::Result<T> &result)
{
    return fail(ctx, what, result.code());
}
/* The result of an operation that passes the service's own code through:
 * "the service answered N", unless the call got no answer at all. */
int fail_service(const Ctx &ctx, const std::string &what, int code);
template <class T>
int fail_service(const Ctx &ctx, const std::string &what, const halvo::Result<T> &result)
{
    return fail_service(ctx, what, result.code());
}
/* The same for operations that report only true/false. */
int fail_bool(const Ctx &ctx, const std::string &what);
/* A failure that is not a result code. */
int fail_text(const Ctx &ctx, const std::string &text);
/* After an answer printed with some values unknown (@missing, in words):
 * EXIT_FAILED unless --partial-ok, EXIT_OK when nothing is missing. */
int partial(const Ctx &ctx, const std::vector<std::string> &missing);
/* --timeout passed. */
int fail_timeout(const Ctx &ctx, const std::string &text);
/* Whether @name has an owner on the system bus (false when the bus is
 * out of reach). */
bool name_has_owner(const char *name);
int usage_error(const Ctx &ctx, const std::string &text);
/* The device, speaker, key or address named is not there. */
int not_found(const Ctx &ctx, const std::string &text);
/* Keeps the library's error lines for fail(). */
void capture_library_errors();

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

/* Iterates the thread-default main context until @done holds or
 * @timeout_ms passes; true when @done held. */
bool wait_until(const std::function<bool()> &done, int timeout_ms);

/* A spinner with the elapsed time on stderr while something takes long
 * (only on a terminal).  Runs in its own thread, so it also turns while a
 * blocking library call waits. */
class Progress {
  public:
    Progress(const Ctx &ctx, const std::string &label);
    ~Progress();
    void done();

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace ctl

#endif

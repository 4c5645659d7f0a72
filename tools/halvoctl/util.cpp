/* util.cpp - reporting, output and waiting for halvoctl. */
#include "halvoctl.h"

#include "hex.h"
#include "kerlo.h"

#include <gio/gio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ctl {

bool Ctx::flag(const char *name) const
{
    for (const auto &f : flags)
        if (f == name)
            return true;
    return false;
}

std::string Ctx::value(const char *name, const std::string &def) const
{
    std::string prefix = std::string(name) + "=";
    for (const auto &f : flags)
        if (f.rfind(prefix, 0) == 0)
            return f.substr(prefix.size());
    return def;
}

/* ------------------------------------------------------------------ */
/* Reporting                                                            */
/* ------------------------------------------------------------------ */

namespace {

struct ResultRow {
    int code;
    const char *name;
};

const ResultRow results[] = {
    {HALVO_ERROR_NONE, "HALVO_ERROR_NONE"},
    {HALVO_ERROR_NOT_INITIALIZED, "HALVO_ERROR_NOT_INITIALIZED"},
    {HALVO_ERROR_INVALID_PARAMETER, "HALVO_ERROR_INVALID_PARAMETER"},
    {HALVO_ERROR_OPERATION_FAILED, "HALVO_ERROR_OPERATION_FAILED"},
    {HALVO_ERROR_INVALID_SPEAKER_INFO, "HALVO_ERROR_INVALID_SPEAKER_INFO"},
    {HALVO_ERROR_ALREADY_INITIALIZED, "HALVO_ERROR_ALREADY_INITIALIZED"},
};

std::vector<std::string> library_errors;

void keep_errors(int prio, const char *, const char *line, void *)
{
    if (prio < 6)
        return;
    /* Drop the "file: function(line) > " prefix: the message is what helps. */
    const char *msg = strstr(line, " > ");
    library_errors.push_back(msg ? msg + 3 : line);
    if (library_errors.size() > 4)
        library_errors.erase(library_errors.begin());
}

void print_library_errors()
{
    for (const auto &e : library_errors)
        fprintf(stderr, "  library: %s\n", e.c_str());
}

} // namespace

void capture_library_errors()
{
    /* Only the desktop stand-in of the log offers a sink. */
    if (kerlo_set_sink != nullptr)
        kerlo_set_sink(keep_errors, nullptr);
}

const char *result_name(int code)
{
    for (const auto &r : results)
        if (r.code == code)
            return r.name;
    return "service code";
}

const char *result_meaning(int code)
{
    return halvo::describe(halvo::to_error(code));
}

bool name_has_owner(const char *name)
{
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (!bus)
        return false;
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    GVariant *r = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name),
                                              G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (r) {
        g_variant_get(r, "(b)", &owned);
        g_variant_unref(r);
    }
    g_object_unref(bus);
    return owned;
}

namespace {

/* Every failure ends here: stderr, and with --json an error object on
 * stdout.  A failure while nobody owns the service's name is that. */
int report(const Ctx &ctx, int status, std::string message, std::optional<int> result, bool library_lines)
{
    if (status == EXIT_FAILED && !name_has_owner(ctx.service)) {
        status = EXIT_NO_SERVICE;
        /* That is the reason: it replaces the result's meaning. */
        size_t reason = message.find(" failed: ");
        if (reason != std::string::npos)
            message.resize(reason + 7);
        message += std::string(": the service is not on the bus (nobody owns ") + ctx.service + ")";
        library_lines = false;
    }
    fprintf(stderr, "halvoctl%s%s: %s\n", ctx.command.empty() ? "" : " ", ctx.command.c_str(), message.c_str());
    if (library_lines)
        print_library_errors();
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().obj("error").i("code", status).s("message", message);
        if (result)
            w.i("result", *result);
        w.end_obj().end_obj();
        print_json(w);
    }
    return status;
}

/* The transport's line when a call got no answer. */
const std::string *transport_error()
{
    for (const auto &e : library_errors)
        if (e.rfind("GDbus error", 0) == 0)
            return &e;
    return nullptr;
}

} // namespace

int fail(const Ctx &ctx, const std::string &what, int code)
{
    return report(ctx, EXIT_FAILED,
                  what + " failed: result " + std::to_string(code) + " (" + result_name(code) + "): " +
                      result_meaning(code),
                  code, true);
}

int fail_service(const Ctx &ctx, const std::string &what, int code)
{
    /* The service's codes share numbers with the library's: only a call
     * that got no answer is the library's own failure. */
    if (transport_error())
        return fail(ctx, what, code);
    return report(ctx, EXIT_FAILED, what + " failed: the service answered " + std::to_string(code), code, false);
}

int fail_bool(const Ctx &ctx, const std::string &what)
{
    return report(ctx, EXIT_FAILED,
                  what + " failed: the service did not confirm it (no reply, an error reply, or an answer other "
                         "than 1)",
                  std::nullopt, true);
}

int fail_text(const Ctx &ctx, const std::string &text)
{
    return report(ctx, EXIT_FAILED, text, std::nullopt, false);
}

int partial(const Ctx &ctx, const std::vector<std::string> &missing)
{
    if (missing.empty())
        return EXIT_OK;
    std::string list;
    for (const auto &m : missing)
        list += (list.empty() ? "" : ", ") + m;
    if (ctx.partial_ok) {
        fprintf(stderr, "halvoctl %s: partial answer: the service did not tell %s\n", ctx.command.c_str(),
                list.c_str());
        return EXIT_OK;
    }
    /* The answer is already on stdout: the failure goes to stderr alone. */
    Ctx quiet = ctx;
    quiet.json = false;
    return report(quiet, EXIT_FAILED, "partial answer: the service did not tell " + list + " (--partial-ok accepts it)",
                  std::nullopt, true);
}

int fail_timeout(const Ctx &ctx, const std::string &text)
{
    return report(ctx, EXIT_TIMEOUT, text, std::nullopt, false);
}

int not_found(const Ctx &ctx, const std::string &text)
{
    return report(ctx, EXIT_NOT_FOUND, "not found: " + text, std::nullopt, false);
}

int usage_error(const Ctx &ctx, const std::string &text)
{
    std::string help = ctx.command.empty() ? "halvoctl --help" : "halvoctl " + ctx.command + " --help";
    return report(ctx, EXIT_USAGE, text + " (try " + help + ")", std::nullopt, false);
}

/* ------------------------------------------------------------------ */
/* Output                                                               */
/* ------------------------------------------------------------------ */

/* Display width of UTF-8 text: one column per character. */
static size_t width(const std::string &s)
{
    return g_utf8_validate(s.c_str(), -1, nullptr) ? size_t(g_utf8_strlen(s.c_str(), -1)) : s.size();
}

void Table::print() const
{
    std::vector<size_t> w(headers_.size());
    for (size_t c = 0; c < headers_.size(); c++) {
        w[c] = width(headers_[c]);
        for (const auto &row : rows_)
            if (c < row.size())
                w[c] = std::max(w[c], width(row[c]));
    }
    auto line = [&](const std::vector<std::string> &cells) {
        std::string out;
        for (size_t c = 0; c < headers_.size(); c++) {
            std::string cell = c < cells.size() ? cells[c] : "";
            out += cell;
            if (c + 1 < headers_.size())
                out += std::string(w[c] - width(cell) + 2, ' ');
        }
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        printf("%s\n", out.c_str());
    };
    line(headers_);
    for (const auto &row : rows_)
        line(row);
}

void print_json(const tools::JsonWriter &w)
{
    printf("%s\n", w.text().c_str());
}

void print_either(const Ctx &ctx, const tools::JsonWriter &w, const Table &t, const char *none)
{
    if (ctx.json)
        print_json(w);
    else if (t.empty())
        printf("%s\n", none);
    else
        t.print();
}

void confirm(const Ctx &ctx, const std::string &text, const tools::JsonWriter &w)
{
    if (ctx.json)
        print_json(w);
    else if (!ctx.quiet)
        printf("%s\n", text.c_str());
}

std::string or_dash(const char *s)
{
    return s && *s ? s : "-";
}

std::string or_dash(const std::optional<std::string> &s)
{
    return s ? or_dash(s->c_str()) : "-";
}

std::string timestamp()
{
    GDateTime *now = g_date_time_new_now_local();
    gchar *text = g_date_time_format(now, "%H:%M:%S.%f");
    g_date_time_unref(now);
    std::string out(text);
    g_free(text);
    return out.substr(0, 12); /* milliseconds */
}

std::string timestamp_rfc3339()
{
    GDateTime *now = g_date_time_new_now_local();
    gchar *date = g_date_time_format(now, "%Y-%m-%dT%H:%M:%S");
    gchar *offset = g_date_time_format(now, "%:z");
    char ms[16];
    snprintf(ms, sizeof ms, ".%03d", g_date_time_get_microsecond(now) / 1000);
    std::string out = std::string(date) + ms + offset;
    g_free(date);
    g_free(offset);
    g_date_time_unref(now);
    return out;
}

/* The device-type codes as the service hands them out. */
const char *device_type_name(int type)
{
    static const char *const names[] = {"unknown", "remote", "audio", "input", "headset"};
    return type >= 0 && type < int(G_N_ELEMENTS(names)) ? names[type] : "other";
}

const char *connecting_status_name(halvo::ConnectingStatus status)
{
    return status == halvo::ConnectingStatus::InProgress ? "in-progress" : "ended";
}

/* ------------------------------------------------------------------ */
/* Parsing                                                              */
/* ------------------------------------------------------------------ */

bool parse_int(const std::string &text, int *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 0);
    if (*end || errno || v < G_MININT32 || v > G_MAXINT32)
        return false;
    *out = int(v);
    return true;
}

bool parse_hex(const std::string &text, std::vector<uint8_t> *bytes)
{
    return tools::parse_hex(text, bytes) && !bytes->empty();
}

/* ------------------------------------------------------------------ */
/* Waiting                                                              */
/* ------------------------------------------------------------------ */

bool wait_until(const std::function<bool()> &done, int timeout_ms)
{
    GMainContext *context = g_main_context_get_thread_default();
    gint64 deadline = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
    /* Wakes the iteration up at least every 50 ms to look at the clock. */
    guint tick = g_timeout_add(50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool ok;
    while (!(ok = done()) && g_get_monotonic_time() < deadline)
        g_main_context_iteration(context, TRUE);
    g_source_remove(tick);
    return ok;
}

Progress::Progress(const Ctx &ctx, const std::string &label)
{
    if (!ctx.progress)
        return;
    thread_ = std::thread([this, label] {
        static const char spin[] = "|/-\\";
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; !stop_; i++) {
            double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            fprintf(stderr, "\r%c %s (%.1f s)", spin[i % 4], label.c_str(), s);
            fflush(stderr);
            for (int t = 0; t < 10 && !stop_; t++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        fprintf(stderr, "\r\033[K");
        fflush(stderr);
    });
}

void Progress::done()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

Progress::~Progress()
{
    done();
}

} // namespace ctl

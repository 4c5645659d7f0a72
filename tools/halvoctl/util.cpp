/* util.cpp - reporting, output and waiting for halvoctl. */
#include "halvoctl.h"

#include "hex.h"

#include <gio/gio.h>
#include <halvo-api.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

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

/* Every failure ends here: stderr, and with --json an error object on
 * stdout with the library's result and failure kind when there are. */
int report(const Ctx &ctx, int status, const std::string &message, std::optional<int> result = std::nullopt,
           halvo::FailureKind kind = halvo::FailureKind::None)
{
    fprintf(stderr, "halvoctl%s%s: %s\n", ctx.command.empty() ? "" : " ", ctx.command.c_str(), message.c_str());
    if (ctx.json) {
        tools::JsonWriter w;
        w.obj().obj("error").i("code", status).s("message", message);
        if (result)
            w.i("result", *result);
        if (kind != halvo::FailureKind::None)
            w.s("failure", halvo_api_failure_name(halvo_failure_e(kind)));
        w.end_obj().end_obj();
        print_json(w);
    }
    return status;
}

std::string not_on_bus_text(const Ctx &ctx)
{
    return std::string("the service is not on the bus (nobody owns ") + ctx.service + ")";
}

} // namespace

const char *result_name(int code)
{
    for (const auto &r : results)
        if (r.code == code)
            return r.name;
    return "service code";
}

int fail(const Ctx &ctx, const std::string &what, int code, halvo::FailureKind kind, const char *message)
{
    switch (kind) {
    case halvo::FailureKind::Cancelled: /* only the command's deadline cancels */
        return report(ctx, EXIT_TIMEOUT, message);
    case halvo::FailureKind::NoService:
        return not_on_bus(ctx, what);
    case halvo::FailureKind::None: /* no kind noted: the code is all there is */
        return report(ctx, EXIT_FAILED,
                      what + " failed: result " + std::to_string(code) + " (" + result_name(code) + "): " + message,
                      code);
    default:
        return report(ctx, EXIT_FAILED, what + " failed: " + message, code, kind);
    }
}

int not_on_bus(const Ctx &ctx, const std::string &what)
{
    return report(ctx, EXIT_NO_SERVICE,
                  what + " failed: " + not_on_bus_text(ctx), std::nullopt, halvo::FailureKind::NoService);
}

int fail_text(const Ctx &ctx, const std::string &text)
{
    return report(ctx, EXIT_FAILED, text);
}

int partial(const Ctx &ctx, const std::vector<std::string> &missing, bool service_present)
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
    std::string text = "partial answer: the service did not tell " + list + " (--partial-ok accepts it)";
    if (!service_present)
        return report(quiet, EXIT_NO_SERVICE, text + ": " + not_on_bus_text(ctx));
    return report(quiet, EXIT_FAILED, text);
}

int fail_timeout(const Ctx &ctx, const std::string &text)
{
    return report(ctx, EXIT_TIMEOUT, text);
}

int not_found(const Ctx &ctx, const std::string &text)
{
    return report(ctx, EXIT_NOT_FOUND, "not found: " + text);
}

int usage_error(const Ctx &ctx, const std::string &text)
{
    std::string help = ctx.command.empty() ? "halvoctl --help" : "halvoctl " + ctx.command + " --help";
    return report(ctx, EXIT_USAGE, text + " (try " + help + ")");
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

bool wait_until(const Ctx &ctx, const std::function<bool()> &done, int limit_ms)
{
    gint64 now = g_get_monotonic_time();
    gint64 end = ctx.deadline;
    if (limit_ms >= 0 && (end == 0 || now + gint64(limit_ms) * 1000 < end))
        end = now + gint64(limit_ms) * 1000;
    GMainContext *context = g_main_context_get_thread_default();
    /* Wakes the iteration up when the time is over. */
    GSource *alarm = nullptr;
    if (end != 0) {
        alarm = g_timeout_source_new(guint(std::max<gint64>(0, (end - now + 999) / 1000)));
        g_source_set_callback(alarm, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(alarm, context);
    }
    bool ok;
    while (!(ok = done()) && (end == 0 || g_get_monotonic_time() < end))
        g_main_context_iteration(context, TRUE);
    if (alarm) {
        g_source_destroy(alarm);
        g_source_unref(alarm);
    }
    return ok;
}

halvo::Failure detail::deadline_passed(const Ctx &ctx)
{
    return halvo::Failure(HALVO_ERROR_CANCELLED, halvo::FailureKind::Cancelled, ctx.timeout_message.c_str());
}

BusCall::BusCall(GDBusConnection *bus, const char *name, const char *path, const char *interface,
                 const char *method, GVariant *args, const GVariantType *type)
    : cancellable_(g_cancellable_new())
{
    g_dbus_connection_call(
        bus, name, path, interface, method, args, type, G_DBUS_CALL_FLAGS_NONE, -1, cancellable_,
        [](GObject *source, GAsyncResult *result, gpointer self) {
            auto *c = static_cast<BusCall *>(self);
            c->reply_ = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &c->error_);
            c->answered_ = true;
        },
        this);
}

BusCall::~BusCall()
{
    /* Cancelled, the call still lands once, and it points here. */
    g_cancellable_cancel(cancellable_);
    while (!answered_)
        g_main_context_iteration(g_main_context_get_thread_default(), TRUE);
    g_object_unref(cancellable_);
    if (reply_)
        g_variant_unref(reply_);
    if (error_)
        g_error_free(error_);
}

GVariant *BusCall::wait(const Ctx &ctx, GError **error, bool *timed_out, int limit_ms)
{
    bool answered = wait_until(ctx, [this] { return answered_; }, limit_ms);
    if (timed_out)
        *timed_out = !answered;
    if (error_)
        g_propagate_error(error, std::exchange(error_, nullptr));
    return std::exchange(reply_, nullptr);
}

bool name_has_owner(const Ctx &ctx, const char *name)
{
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (!bus)
        return false;
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    GVariant *reply = BusCall(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"))
                          .wait(ctx, nullptr);
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return owned;
}

Progress::Progress(const Ctx &ctx, const std::string &label) : label_(label), start_(g_get_monotonic_time())
{
    if (!ctx.progress)
        return;
    source_ = g_timeout_source_new(100);
    g_source_set_callback(source_, tick, this, nullptr);
    g_source_attach(source_, g_main_context_get_thread_default());
    tick(this);
}

gboolean Progress::tick(gpointer self)
{
    static const char spin[] = "|/-\\";
    auto *p = static_cast<Progress *>(self);
    double s = double(g_get_monotonic_time() - p->start_) / G_USEC_PER_SEC;
    fprintf(stderr, "\r%c %s (%.1f s)", spin[p->turn_++ % 4], p->label_.c_str(), s);
    fflush(stderr);
    return G_SOURCE_CONTINUE;
}

void Progress::done()
{
    if (!source_)
        return;
    g_source_destroy(source_);
    g_source_unref(source_);
    source_ = nullptr;
    fprintf(stderr, "\r\033[K");
    fflush(stderr);
}

Progress::~Progress()
{
    done();
}

} // namespace ctl

/* halvo-bench.cpp - what the library costs on top of raw GDBus.
 *
 * One private dbus-daemon, one peer process (the tests' scriptable peer)
 * answering with prepared replies, and in the same run the library's
 * operations against the raw calls a hand-written client would make on the
 * same connection.  Library and raw take turns call by call (the order
 * flips every pair), so that noise from other work on the machine falls on
 * both.  Each round yields a median per side and their ratio; the table
 * shows the medians over the rounds.
 *
 * By default the program, the bus daemon and the peer share one CPU (the
 * last): a round trip then never depends on where the scheduler put the
 * other end, and a raw-against-raw run agrees to a few tenths of a per
 * cent.  --no-pin lets them spread over the machine as a set would.
 *
 * Usage: halvo-bench [--quick] [--cpu N | --no-pin] [NAME...]
 * (NAME: volume, paired, manuf, speakers, relay, log, cxx, async; default all).
 * Runs on the caller's thread and the default main context. */
#include "halvo-api-private.h"
#include "cxx-calls.h"
#include "valko.h"

#include <json-glib/json-glib.h>
#include <signal.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const char *const kAddress = "AA:BB:CC:DD:EE:01";
const char *const kVolumeSignal = "bt_spk_volume_changed_by_address";
const int kVolume = 17;

/* ------------------------------------------------------------------ */
/* The private bus and the peer                                        */
/* ------------------------------------------------------------------ */

GPid daemon_pid = 0;
GPid peer_pid = 0;
GDBusConnection *control = nullptr; /* to script the peer */
GDBusConnection *sys = nullptr;     /* the system-bus singleton the library uses too */
std::string store_dir;

[[noreturn]] void die(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "halvo-bench: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
    exit(1);
}

void die_with_parent(gpointer)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

GVariant *control_call(const char *method, GVariant *args)
{
    GError *error = nullptr;
    GVariant *r = g_dbus_connection_call_sync(control, "org.halvo.TestPeer", "/org/halvo/TestPeer",
                                              "org.halvo.TestPeer", method, args, nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 60000, nullptr, &error);
    if (r == nullptr)
        die("peer %s: %s", method, error->message);
    return r;
}

void control_void(const char *method, GVariant *args)
{
    g_variant_unref(control_call(method, args));
}

void peer_reply(const char *method, GVariant *body)
{
    control_void("SetReply", g_variant_new("(ssv)", method, "", body));
}

/* Round trip to the bus daemon on @c: whatever @c sent before (a match
 * rule) has then been handled. */
void bus_ping(GDBusConnection *c)
{
    GVariant *r = g_dbus_connection_call_sync(c, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (r)
        g_variant_unref(r);
}

bool name_has_owner(const char *name)
{
    GVariant *r = g_dbus_connection_call_sync(control, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name),
                                              G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (r) {
        g_variant_get(r, "(b)", &owned);
        g_variant_unref(r);
    }
    return owned;
}

void start_bus_and_peer()
{
    gchar *root = g_dir_make_tmp("halvo-bench-XXXXXX", nullptr);
    store_dir = root;
    g_free(root);
    g_setenv("VALKO_ROOT", store_dir.c_str(), TRUE);

    gchar *dargv[] = {const_cast<gchar *>("dbus-daemon"), const_cast<gchar *>("--session"),
                      const_cast<gchar *>("--nofork"), const_cast<gchar *>("--print-address=1"), nullptr};
    gint out_fd = -1;
    GError *error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, dargv, nullptr,
                                  GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                              G_SPAWN_STDERR_TO_DEV_NULL),
                                  die_with_parent, nullptr, &daemon_pid, nullptr, &out_fd, nullptr, &error))
        die("cannot start dbus-daemon: %s", error->message);
    std::string address;
    char ch;
    while (read(out_fd, &ch, 1) == 1 && ch != '\n')
        address.push_back(ch);
    close(out_fd);
    if (address.empty())
        die("dbus-daemon printed no address");
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), TRUE);

    control = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (control == nullptr)
        die("control connection: %s", error->message);

    gchar *pargv[] = {const_cast<gchar *>(HALVO_BENCH_PEER), const_cast<gchar *>(address.c_str()), nullptr};
    if (!g_spawn_async(nullptr, pargv, nullptr, GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD), die_with_parent, nullptr,
                       &peer_pid, &error))
        die("cannot start the peer: %s", error->message);
    gint64 deadline = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (!name_has_owner("org.halvo.TestPeer")) {
        if (g_get_monotonic_time() > deadline)
            die("the peer did not take its names");
        g_usleep(2000);
    }

    sys = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (sys == nullptr)
        die("system bus: %s", error->message);
}

void stop_one(GPid &pid)
{
    if (pid == 0)
        return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    g_spawn_close_pid(pid);
    pid = 0;
}

void rm_rf(const std::string &path)
{
    GDir *dir = g_dir_open(path.c_str(), 0, nullptr);
    if (dir == nullptr) {
        unlink(path.c_str());
        return;
    }
    const char *name;
    while ((name = g_dir_read_name(dir)) != nullptr)
        rm_rf(path + "/" + name);
    g_dir_close(dir);
    rmdir(path.c_str());
}

void stop_bus_and_peer()
{
    g_clear_object(&sys);
    stop_one(peer_pid);
    if (control) {
        g_dbus_connection_close_sync(control, nullptr, nullptr);
        g_clear_object(&control);
    }
    stop_one(daemon_pid);
    if (!store_dir.empty())
        rm_rf(store_dir);
}

/* ------------------------------------------------------------------ */
/* Timing                                                              */
/* ------------------------------------------------------------------ */

inline double now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double quantile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    double pos = q * double(v.size() - 1);
    size_t lo = size_t(pos);
    size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (pos - double(lo));
}

double median(const std::vector<double> &v)
{
    return quantile(v, 0.5);
}

bool quick = false;

struct Row {
    std::string name;
    double lib, ref;  /* medians */
    std::string unit; /* of lib and ref */
    double ratio;     /* median of the per-round ratios */
    double lo, hi;    /* their interquartile range */
    std::string target_text;
    double target;
    bool at_least; /* target is a floor, not a ceiling */
    std::string note;
};
std::vector<Row> rows;

void add_row(Row r)
{
    fprintf(stderr, "  %-34s %10.1f %10.1f %-4s ratio %.3f [%.3f..%.3f]\n", r.name.c_str(), r.lib, r.ref,
            r.unit.c_str(), r.ratio, r.lo, r.hi);
    rows.push_back(std::move(r));
}

struct PairResult {
    double lib, ref, ratio, lo, hi;
};

/* @rounds rounds of @per_round pairs; each call is timed alone and the
 * order within a pair flips every pair.  Per round the ratio of the two
 * medians; returned: the medians over the rounds.  @after_lib runs
 * untimed after each library call. */
PairResult measure_pair(const std::function<void()> &lib, const std::function<void()> &ref, int rounds,
                        int per_round, const std::function<void()> &after_lib = nullptr)
{
    for (int i = 0; i < 2; i++) {
        lib();
        if (after_lib)
            after_lib();
        ref();
    }
    std::vector<double> lib_med, ref_med, ratios;
    std::vector<double> tl(per_round), tr(per_round);
    for (int r = 0; r < rounds; r++) {
        for (int i = 0; i < per_round; i++) {
            bool lib_first = ((i + r) & 1) == 0;
            for (int k = 0; k < 2; k++) {
                bool is_lib = (k == 0) == lib_first;
                double t0 = now_us();
                (is_lib ? lib : ref)();
                double t = now_us() - t0;
                (is_lib ? tl : tr)[i] = t;
                if (is_lib && after_lib)
                    after_lib();
            }
        }
        double ml = median(tl), mr = median(tr);
        lib_med.push_back(ml);
        ref_med.push_back(mr);
        ratios.push_back(ml / mr);
    }
    return {median(lib_med), median(ref_med), median(ratios), quantile(ratios, 0.25), quantile(ratios, 0.75)};
}

void add_pair_row(const std::string &name, const PairResult &p, const char *target_text, double target,
                  const std::string &note = "")
{
    add_row({name, p.lib, p.ref, "us", p.ratio, p.lo, p.hi, target_text, target, false, note});
}

int rounds(int full)
{
    return quick ? std::max(3, full / 4) : full;
}

/* ------------------------------------------------------------------ */
/* Raw GDBus: what a client would write by hand                        */
/* ------------------------------------------------------------------ */

GVariant *raw_call(const char *method, GVariant *args)
{
    return g_dbus_connection_call_sync(sys, HALVO_SERVICE_NAME, HALVO_SERVICE_PATH, HALVO_SERVICE_INTERFACE, method,
                                       args, nullptr, G_DBUS_CALL_FLAGS_NONE, HALVO_METHOD_TIMEOUT_MS, nullptr,
                                       nullptr);
}

GVariant *checked(GVariant *reply, const char *what)
{
    if (reply == nullptr)
        die("%s: no reply", what);
    return reply;
}

/* ------------------------------------------------------------------ */
/* Volume                                                              */
/* ------------------------------------------------------------------ */

void bench_volume()
{
    fprintf(stderr, "volume call\n");
    peer_reply("get_volume_by_address", g_variant_new("(ii)", 0, 30));
    auto lib = [] {
        int volume = -1;
        if (halvo_api_get_volume(kAddress, &volume) != 0 || volume != 30)
            die("halvo_api_get_volume: wrong answer");
    };
    auto raw = [] {
        GVariant *r = checked(raw_call("get_volume_by_address", g_variant_new("(s)", kAddress)), "raw volume");
        int result = -1, volume = -1;
        if (g_variant_is_of_type(r, G_VARIANT_TYPE("(ii)")))
            g_variant_get(r, "(ii)", &result, &volume);
        g_variant_unref(r);
        if (result != 0 || volume != 30)
            die("raw volume: wrong answer");
    };
    /* Raw against itself: the noise floor of this run. */
    add_pair_row("raw vs raw, get_volume (noise)", measure_pair(raw, raw, rounds(21), 200), "-", 0);
    add_pair_row("volume call (get_volume)", measure_pair(lib, raw, rounds(21), 200), "<= 1.03", 1.03);
}

/* ------------------------------------------------------------------ */
/* Paired device: reply texts of 1 KiB, 100 KiB, 1 MiB                 */
/* ------------------------------------------------------------------ */

/* A "get_device_info" reply of about @size bytes: one device whose
 * service UUIDs (a member the library ignores) fill the text. */
std::string device_reply(size_t size)
{
    std::string text = "{\"result\":true,\"data\":{\"address\":\"AA:BB:CC:DD:EE:01\",\"name\":\"Living room "
                       "soundbar\",\"serviceName\":\"Audio Sink\",\"providerName\":\"Velmo\",\"connect\":true,"
                       "\"usedontuse\":false,\"pid\":4660,\"vid\":1112,\"profile\":7,\"uuids\":[";
    const char *tail = "]}}";
    char uuid[64];
    for (unsigned i = 0;; i++) {
        int n = snprintf(uuid, sizeof uuid, "%s\"%08x-0000-1000-8000-00805f9b34fb\"", i ? "," : "", i);
        if (text.size() + size_t(n) + strlen(tail) > size)
            break;
        text += uuid;
    }
    return text + tail;
}

void parse_or_die(JsonParser *parser, const char *text)
{
    if (!json_parser_load_from_data(parser, text, -1, nullptr))
        die("reference parse failed");
}

/* json-glib alone: what any client pays to read the text. */
void plain_parse(const char *text)
{
    JsonParser *parser = json_parser_new();
    parse_or_die(parser, text);
    g_object_unref(parser);
}

/* The raw "get_device_info" reply, and its text in @json (borrowed). */
GVariant *raw_device_reply(const char **json)
{
    GVariant *r = checked(raw_call("get_device_info", g_variant_new("(s)", kAddress)), "raw");
    g_variant_get(r, "(&s)", json);
    return r;
}

void bench_paired_size(const char *label, size_t size, int per_round)
{
    std::string text = device_reply(size);
    peer_reply("get_device_info", g_variant_new("(s)", text.c_str()));
    peer_reply("get_device_type", g_variant_new("(i)", 1));
    char name[96];

    /* The transport alone: a reference to the body against the raw call. */
    auto transport = [] {
        GVariant *r = _halvo_api_send_method_call_sync("get_device_info", g_variant_new("(s)", kAddress));
        g_variant_unref(checked(r, "transport"));
    };
    auto raw = [] { g_variant_unref(checked(raw_call("get_device_info", g_variant_new("(s)", kAddress)), "raw")); };
    snprintf(name, sizeof name, "transport, %s reply (%zu B)", label, text.size());
    const char *target_text = size <= 1024 ? "<= 1.03" : "<= 1.05";
    double target = size <= 1024 ? 1.03 : 1.05;
    add_pair_row(name, measure_pair(transport, raw, rounds(15), per_round), target_text, target);

    /* The operation: it parses the text and asks the device type, so the
     * reference makes the same two calls and parses the same text. */
    auto op = [] {
        halvo_device_info_s *info = nullptr;
        if (halvo_get_paired_dev_info(kAddress, &info) != 0 || info == nullptr || info->device_type != 1)
            die("halvo_get_paired_dev_info: wrong answer");
        halvo_free_paired_dev_info(info);
    };
    auto raw_op = [] {
        const char *json = nullptr;
        GVariant *r = raw_device_reply(&json);
        plain_parse(json);
        g_variant_unref(r);
        GVariant *t = checked(raw_call("get_device_type", g_variant_new("(s)", kAddress)), "raw type");
        int type = 0;
        g_variant_get(t, "(i)", &type);
        g_variant_unref(t);
    };
    if (size >= 1024 * 1024) {
        /* What the library adds to the parse itself: the nesting guard. */
        auto guarded = [&text] {
            JsonParser *parser = json_parser_new();
            if (!halvo_json_parse(parser, text.c_str(), -1))
                die("guarded parse failed");
            g_object_unref(parser);
        };
        auto plain = [&text] { plain_parse(text.c_str()); };
        snprintf(name, sizeof name, "guarded JSON parse, %s", label);
        add_pair_row(name, measure_pair(guarded, plain, rounds(15), per_round), "-", 0,
                     "ref: json-glib parse alone");
    }
    snprintf(name, sizeof name, "paired-device info, %s", label);
    add_pair_row(name, measure_pair(op, raw_op, rounds(15), per_round), target_text, target,
                 "ref: same 2 calls + json-glib parse");
    if (size > 1024)
        return;
    /* A hand-written client also makes the record: the reference then
     * reads the members too, with json-glib's object calls. */
    auto raw_record = [] {
        const char *json = nullptr;
        GVariant *r = raw_device_reply(&json);
        JsonParser *parser = json_parser_new();
        parse_or_die(parser, json);
        JsonObject *root = json_node_get_object(json_parser_get_root(parser));
        if (!json_object_get_boolean_member(root, "result"))
            die("raw record: no result");
        JsonObject *data = json_object_get_object_member(root, "data");
        auto *info = static_cast<halvo_device_info_s *>(calloc(1, sizeof(halvo_device_info_s)));
        info->address = strdup(json_object_get_string_member(data, "address"));
        info->name = strdup(json_object_get_string_member(data, "name"));
        info->service_name = strdup(json_object_get_string_member(data, "serviceName"));
        info->provider_name = strdup(json_object_get_string_member(data, "providerName"));
        info->connected = json_object_get_boolean_member(data, "connect");
        info->usedontuse = json_object_get_boolean_member(data, "usedontuse");
        info->pid = int(json_object_get_int_member(data, "pid"));
        info->vid = int(json_object_get_int_member(data, "vid"));
        info->profile = int(json_object_get_int_member(data, "profile"));
        g_object_unref(parser);
        g_variant_unref(r);
        GVariant *t = checked(raw_call("get_device_type", g_variant_new("(s)", info->address)), "raw type");
        g_variant_get(t, "(i)", &info->device_type);
        g_variant_unref(t);
        free(info->address);
        free(info->name);
        free(info->service_name);
        free(info->provider_name);
        free(info);
    };
    snprintf(name, sizeof name, "paired-device info, %s, record", label);
    add_pair_row(name, measure_pair(op, raw_record, rounds(15), per_round), target_text, target,
                 "ref: also reads the members into a record");
}

void bench_paired()
{
    fprintf(stderr, "paired-device info\n");
    bench_paired_size("1 KiB", 1024, 200);
    bench_paired_size("100 KiB", 100 * 1024, 40);
    bench_paired_size("1 MiB", 1024 * 1024, 8);
}

/* ------------------------------------------------------------------ */
/* Manufacturer data: 4 KiB of bytes                                   */
/* ------------------------------------------------------------------ */

void bench_manufacturer()
{
    fprintf(stderr, "manufacturer data\n");
    const int n = 4096;
    std::vector<guint8> bytes(n);
    for (int i = 0; i < n; i++)
        bytes[size_t(i)] = guint8(i * 31 + 7);
    GVariant *ay = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
    peer_reply("read_manufacturer_data", g_variant_new("(iii@ay)", 0, n, 2, ay));

    auto lib = [&bytes] {
        int option = 0, length = 0;
        char *data = nullptr;
        if (halvo_read_manufacturer_data(kAddress, &option, &data, &length) != 0 || length != n || option != 2 ||
            data == nullptr || memcmp(data, bytes.data(), n) != 0)
            die("halvo_read_manufacturer_data: wrong answer");
        g_free(data);
    };
    /* By hand: the same call, the bytes copied out into a buffer of length
     * + 1 as the library hands them out. */
    auto raw = [&bytes] {
        GVariant *r = checked(raw_call("read_manufacturer_data", g_variant_new("(s)", kAddress)), "raw manuf");
        if (!g_variant_is_of_type(r, G_VARIANT_TYPE("(iiiay)")))
            die("raw manuf: wrong type");
        GVariant *child = g_variant_get_child_value(r, 3);
        gsize len = 0;
        const void *src = g_variant_get_fixed_array(child, &len, 1);
        char *data = static_cast<char *>(g_malloc(len + 1));
        memcpy(data, src, len);
        data[len] = '\0';
        if (len != size_t(n) || memcmp(data, bytes.data(), n) != 0)
            die("raw manuf: wrong answer");
        g_free(data);
        g_variant_unref(child);
        g_variant_unref(r);
    };
    add_pair_row("manufacturer data, 4 KiB", measure_pair(lib, raw, rounds(21), 200), "<= 1.05", 1.05);
}

/* ------------------------------------------------------------------ */
/* Last speakers: documents of 1,000, 10,000, 100,000 entries          */
/* ------------------------------------------------------------------ */

/* @connected_every: every how many entries one is stored as connected
 * (0: none). */
std::string speakers_document(unsigned entries, unsigned connected_every)
{
    std::string text = "[";
    char entry[256];
    for (unsigned i = 0; i < entries; i++) {
        bool connected = connected_every != 0 && i % connected_every == 0;
        snprintf(entry, sizeof entry,
                 "%s{\"address\":\"AA:BB:%02X:%02X:%02X:%02X\",\"name\":\"Speaker %u\",\"iconType\":\"%02u\","
                 "\"audioType\":%u,\"connected\":%s}",
                 i ? "," : "", (i >> 24) & 0xff, (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff, i, i % 12, 1 + i % 3,
                 connected ? "true" : "false");
        text += entry;
    }
    return text + "]";
}

const char *const kLastSpeakersKey = "db/pellix/last_btspk_list";
const char *const kConnectedKey = "memory/pellix/connected_btspk_addr_list";

/* The library reads an @entries-long document from the store and converts
 * it, against json-glib parsing the same text; freeing the list is timed
 * apart.  Returns the library's median. */
double bench_speakers_size(unsigned entries, unsigned connected_every, const char *label, int nrounds,
                           int per_round, bool with_target, double *parse_median = nullptr)
{
    std::string text = speakers_document(entries, connected_every);
    if (valko_set_str(kLastSpeakersKey, text.c_str()) != 0)
        die("cannot write the store");
    GSList *pending = nullptr;
    std::vector<double> frees, reads;
    auto get = [&] {
        if (halvo_get_last_bluetooth_speakers(&pending) != 0)
            die("halvo_get_last_bluetooth_speakers failed");
    };
    auto release = [&] {
        if (g_slist_length(pending) != entries)
            die("conversion: %u records for %u entries", g_slist_length(pending), entries);
        double t0 = now_us();
        halvo_free_last_bluetooth_speakers(&pending);
        frees.push_back(now_us() - t0);
        /* What reading the key alone costs, for the note. */
        t0 = now_us();
        free(valko_get_str(kLastSpeakersKey));
        reads.push_back(now_us() - t0);
    };
    auto parse = [&] { plain_parse(text.c_str()); };
    PairResult p = measure_pair(get, parse, nrounds, per_round, release);
    char note[128];
    snprintf(note, sizeof note, "%.1f MB; of it store read %.0f us; free apart %.0f us", double(text.size()) / 1e6,
             median(reads), median(frees));
    add_row({label, p.lib, p.ref, "us", p.ratio, p.lo, p.hi, with_target ? "<= 1.6" : "-", with_target ? 1.6 : 0,
             false, note});
    if (parse_median)
        *parse_median = p.ref;
    return p.lib;
}

void bench_speakers()
{
    fprintf(stderr, "last speakers\n");
    /* Two of the stored speakers are connected now. */
    if (valko_set_str(kConnectedKey, "AA:BB:00:00:00:00,AA:BB:00:00:03:E8") != 0)
        die("cannot write the store");
    /* One entry in a hundred is stored as connected, as a long history
     * of speakers would have it. */
    double p10 = 0, p100 = 0;
    bench_speakers_size(1000, 100, "last speakers, 1,000 entries", rounds(15), 10, false);
    double t10 = bench_speakers_size(10000, 100, "last speakers, 10,000 entries", rounds(11), 3, false, &p10);
    /* Every entry stored as connected: all are checked against the key.
     * Before the largest list, whose heap would weigh on it. */
    bench_speakers_size(10000, 1, "last speakers, 10,000, all connected", rounds(7), 3, false);
    double t100 = bench_speakers_size(100000, 100, "last speakers, 100,000 entries", rounds(7), 1, true, &p100);
    char note[96];
    snprintf(note, sizeof note, "json-glib parse alone scales %.2f", p100 / p10);
    add_row({"last speakers, 100,000 / 10,000", t100, t10, "us", t100 / t10, t100 / t10, t100 / t10, "<= 12", 12,
             false, note});
    valko_unset(kConnectedKey);
    valko_unset(kLastSpeakersKey);
}

/* ------------------------------------------------------------------ */
/* Volume signals relayed to a callback                                */
/* ------------------------------------------------------------------ */

struct Relay {
    int count = 0;
    int bad = 0;
};

void on_volume(const char *address, int volume, void *user_data)
{
    auto *relay = static_cast<Relay *>(user_data);
    if (address == nullptr || strcmp(address, kAddress) != 0 || volume != kVolume)
        relay->bad++;
    relay->count++;
}

/* The raw subscriber: the same filter as the library's row, and the same
 * callback. */
void raw_volume_handler(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                        GVariant *parameters, gpointer user_data)
{
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(si)")))
        return;
    const char *address = nullptr;
    int volume = 0;
    g_variant_get(parameters, "(&si)", &address, &volume);
    on_volume(address, volume, user_data);
}

/* Who hears the signals: the single-slot setter, a listener of
 * halvo_api_connect(), or a raw GDBus subscriber. */
enum Relayer { SETTER, LISTENER, RAW };

/* Microseconds from asking the peer for @n signals to the @n-th callback;
 * @lost gets how many did not arrive (or arrived wrong). */
double relay_batch(Relayer who, int n, int *lost)
{
    Relay relay;
    guint id = 0;
    gulong listener = 0;
    if (who == SETTER) {
        if (halvo_api_set_volume_changed_callback(on_volume, &relay) != 0)
            die("halvo_api_set_volume_changed_callback failed");
    } else if (who == LISTENER) {
        listener = halvo_api_connect(HALVO_EVENT_VOLUME_CHANGED, G_CALLBACK(on_volume), &relay, nullptr);
        if (listener == 0)
            die("halvo_api_connect failed");
    } else {
        id = g_dbus_connection_signal_subscribe(sys, nullptr, nullptr, kVolumeSignal, HALVO_SIGNAL_PATH, nullptr,
                                                G_DBUS_SIGNAL_FLAGS_NONE, raw_volume_handler, &relay, nullptr);
    }
    bus_ping(sys);

    /* Wakes the loop now and then, so that a lost signal cannot hang it. */
    guint tick = g_timeout_add(20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    double t0 = now_us();
    control_void("EmitMany", g_variant_new("(sssvu)", HALVO_SIGNAL_PATH, HALVO_SIGNAL_INTERFACE, kVolumeSignal,
                                          g_variant_new("(si)", kAddress, kVolume), guint(n)));
    double deadline = t0 + 60e6;
    while (relay.count < n && now_us() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    double t = now_us() - t0;
    g_source_remove(tick);
    /* Anything still queued is counted too: a duplicate is an error. */
    bus_ping(sys);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }

    if (who == SETTER)
        halvo_api_unset_volume_changed_callback();
    else if (who == LISTENER)
        halvo_api_disconnect(listener);
    else
        g_dbus_connection_signal_unsubscribe(sys, id);
    *lost = std::abs(n - relay.count) + relay.bad;
    return t;
}

/* The handlers alone, called in process with one payload: what each
 * signal costs besides GDBus's dispatch. */
void bench_handler()
{
    Relay relay;
    if (halvo_api_set_volume_changed_callback(on_volume, &relay) != 0)
        die("halvo_api_set_volume_changed_callback failed");
    GVariant *payload = g_variant_ref_sink(g_variant_new("(si)", kAddress, kVolume));
    const int n = quick ? 100000 : 500000;
    std::vector<double> lib_ns, raw_ns, ratios;
    for (int r = 0; r < rounds(7); r++) {
        double t0 = now_us();
        for (int i = 0; i < n; i++)
            _halvo_bt_spk_volume_changed_by_address(sys, nullptr, HALVO_SIGNAL_PATH, HALVO_SIGNAL_INTERFACE,
                                                    kVolumeSignal, payload, nullptr);
        double tl = (now_us() - t0) * 1e3 / n;
        t0 = now_us();
        for (int i = 0; i < n; i++)
            raw_volume_handler(sys, nullptr, HALVO_SIGNAL_PATH, HALVO_SIGNAL_INTERFACE, kVolumeSignal, payload,
                               &relay);
        double tr = (now_us() - t0) * 1e3 / n;
        lib_ns.push_back(tl);
        raw_ns.push_back(tr);
        ratios.push_back(tl / tr);
    }
    halvo_api_unset_volume_changed_callback();
    g_variant_unref(payload);
    if (relay.bad != 0)
        die("volume handler: wrong values");
    add_row({"volume signal handler alone", median(lib_ns), median(raw_ns), "ns", median(ratios),
             quantile(ratios, 0.25), quantile(ratios, 0.75), "-", 0, false, "in process, no bus"});
}

/* Throughput of @lib against @raw, alternating which goes first. */
void relay_row(const char *name, Relayer lib, Relayer raw)
{
    const int n = 10000;
    int nrounds = rounds(15);
    std::vector<double> lib_rate, raw_rate, ratios;
    int lost = 0;
    relay_batch(lib, 500, &lost);
    relay_batch(raw, 500, &lost);
    lost = 0;
    for (int r = 0; r < nrounds; r++) {
        double tl = 0, tr = 0;
        int l1 = 0, l2 = 0;
        if (r & 1) {
            tr = relay_batch(raw, n, &l2);
            tl = relay_batch(lib, n, &l1);
        } else {
            tl = relay_batch(lib, n, &l1);
            tr = relay_batch(raw, n, &l2);
        }
        lost += l1 + l2;
        lib_rate.push_back(n / (tl / 1e6));
        raw_rate.push_back(n / (tr / 1e6));
        ratios.push_back(tr / tl);
    }
    char note[96];
    snprintf(note, sizeof note, "%d x %d signals each side; lost or wrong: %d", nrounds, n, lost);
    add_row({name, median(lib_rate), median(raw_rate), "sig/s", median(ratios), quantile(ratios, 0.25),
             quantile(ratios, 0.75), ">= 0.95", 0.95, true, note});
    if (lost != 0)
        rows.back().note += "  SIGNALS LOST";
}

void bench_relay()
{
    fprintf(stderr, "signal relay\n");
    relay_row("volume signal relay (throughput)", SETTER, RAW);
    /* Its "raw" side is the single-slot setter: a listener costs no more. */
    relay_row("listener relay against setter", LISTENER, SETTER);
    bench_handler();
}

/* ------------------------------------------------------------------ */
/* The log: a line below the level                                     */
/* ------------------------------------------------------------------ */

void bench_log()
{
    fprintf(stderr, "log level\n");
    const int n = quick ? 1000000 : 5000000;
    const char *fmt = "%s: %s(%d) > address : %s, vol : %d";
    char line[512];
    std::vector<double> dropped, formatted, ratios;
    for (int r = 0; r < rounds(7); r++) {
        double t0 = now_us();
        for (int i = 0; i < n; i++)
            __kerlo_print(0, HALVO_LOG_INFO, HALVO_LOG_TAG, fmt, "halvo-api-internal.cpp",
                          "_halvo_bt_spk_volume_changed_by_address", 42, kAddress, i);
        double td = (now_us() - t0) * 1e3 / n;
        t0 = now_us();
        for (int i = 0; i < n / 10; i++) {
            snprintf(line, sizeof line, fmt, "halvo-api-internal.cpp", "_halvo_bt_spk_volume_changed_by_address",
                     42, kAddress, i);
            asm volatile("" : : "r"(line) : "memory");
        }
        double tf = (now_us() - t0) * 1e3 / (n / 10);
        dropped.push_back(td);
        formatted.push_back(tf);
        ratios.push_back(td / tf);
    }
    add_row({"info line dropped at level 5", median(dropped), median(formatted), "ns", median(ratios),
             quantile(ratios, 0.25), quantile(ratios, 0.75), "no format", 0.2, false,
             "ref: formatting that line; met when < 0.2 of it"});
}

/* ------------------------------------------------------------------ */
/* The C++ API against the C API on the same calls                     */
/* ------------------------------------------------------------------ */

/* Both sides end with nothing allocated: the C side frees what it got,
 * the C++ side drops its values. */
void bench_cxx()
{
    fprintf(stderr, "C++ API\n");
    peer_reply("get_volume_by_address", g_variant_new("(ii)", 0, 30));
    auto c_volume = [] {
        int volume = -1;
        if (halvo_api_get_volume(kAddress, &volume) != 0 || volume != 30)
            die("halvo_api_get_volume: wrong answer");
    };
    auto cxx_volume_call = [] {
        if (cxx_volume(kAddress) != 30)
            die("halvo::volume: wrong answer");
    };
    add_pair_row("C++ / C, volume call", measure_pair(cxx_volume_call, c_volume, rounds(21), 200), "<= 1.02", 1.02);

    std::string text = device_reply(1024);
    peer_reply("get_device_info", g_variant_new("(s)", text.c_str()));
    peer_reply("get_device_type", g_variant_new("(i)", 1));
    auto c_device = [] {
        halvo_device_info_s *info = nullptr;
        if (halvo_get_paired_dev_info(kAddress, &info) != 0 || info == nullptr || info->device_type != 1)
            die("halvo_get_paired_dev_info: wrong answer");
        halvo_free_paired_dev_info(info);
    };
    auto cxx_device = [] {
        if (cxx_device_type(kAddress) != 1)
            die("halvo::paired_device: wrong answer");
    };
    /* C against itself: the noise floor of these rows. */
    add_pair_row("C / C, device info 1 KiB (noise)", measure_pair(c_device, c_device, rounds(15), 200), "-", 0);
    add_pair_row("C++ / C, device info 1 KiB", measure_pair(cxx_device, c_device, rounds(15), 200), "<= 1.02",
                 1.02);

    const unsigned entries = 10000;
    if (valko_set_str(kConnectedKey, "AA:BB:00:00:00:00,AA:BB:00:00:03:E8") != 0 ||
        valko_set_str(kLastSpeakersKey, speakers_document(entries, 100).c_str()) != 0)
        die("cannot write the store");
    auto c_list = [] {
        GSList *list = nullptr;
        if (halvo_get_last_bluetooth_speakers(&list) != 0 || g_slist_length(list) != entries)
            die("halvo_get_last_bluetooth_speakers: wrong answer");
        halvo_free_last_bluetooth_speakers(&list);
    };
    auto cxx_list = [] {
        if (cxx_last_speakers() != entries)
            die("halvo::last_speakers: wrong answer");
    };
    PairResult lists = measure_pair(cxx_list, c_list, rounds(11), 5);
    std::vector<double> converts;
    for (int i = 0; i < rounds(11); i++) {
        GSList *list = nullptr;
        if (halvo_get_last_bluetooth_speakers(&list) != 0)
            die("halvo_get_last_bluetooth_speakers failed");
        converts.push_back(cxx_convert_last_speakers(list));
        halvo_free_last_bluetooth_speakers(&list);
    }
    char note[96];
    snprintf(note, sizeof note, "ref: C get + free; conversion alone %.0f us", median(converts));
    add_pair_row("C++ / C, last speakers 10,000", lists, "<= 1.10", 1.10, note);
    valko_unset(kConnectedKey);
    valko_unset(kLastSpeakersKey);
}

/* ------------------------------------------------------------------ */
/* The table                                                           */
/* ------------------------------------------------------------------ */

std::string loadavg()
{
    gchar *text = nullptr;
    std::string s = "?";
    if (g_file_get_contents("/proc/loadavg", &text, nullptr, nullptr)) {
        gchar **parts = g_strsplit(text, " ", 4);
        if (g_strv_length(parts) >= 3)
            s = std::string(parts[0]) + " " + parts[1] + " " + parts[2];
        g_strfreev(parts);
    }
    g_free(text);
    return s;
}

const char *verdict(const Row &r)
{
    if (r.target == 0)
        return "";
    bool met = r.at_least ? r.ratio >= r.target : r.ratio <= r.target;
    return met ? "met" : "NOT MET";
}

void print_table(const std::string &placement, const std::string &load_start, const std::string &load_end)
{
    printf("\nhalvo-bench: libhalvo-api (static archive halvo-api-static) against raw GDBus\n");
    printf("one private dbus-daemon, one peer process, %s; %ld cores; load average %s at start, %s at end\n",
           placement.c_str(), sysconf(_SC_NPROCESSORS_ONLN), load_start.c_str(), load_end.c_str());
    printf("medians over rounds; ratio = library / reference (relay: library / raw throughput; C++ rows: the "
           "C++ API / the C API), with the interquartile range of the per-round ratios\n\n");
    printf("%-36s %11s %11s %-5s %6s  %-15s %-9s %-7s %s\n", "measure", "library", "reference", "unit", "ratio",
           "IQR", "target", "verdict", "note");
    for (const Row &r : rows) {
        char iqr[32];
        snprintf(iqr, sizeof iqr, "%.3f-%.3f", r.lo, r.hi);
        printf("%-36s %11.1f %11.1f %-5s %6.3f  %-15s %-9s %-7s %s\n", r.name.c_str(), r.lib, r.ref, r.unit.c_str(),
               r.ratio, iqr, r.target_text.c_str(), verdict(r), r.note.c_str());
    }
}

/* ------------------------------------------------------------------ */
/* Non-blocking calls                                                  */
/* ------------------------------------------------------------------ */

void count_volume(GObject *, GAsyncResult *result, gpointer data)
{
    int volume = -1;
    if (halvo_api_get_volume_finish(result, &volume) != 0 || volume != 30)
        die("halvo_api_get_volume_finish: wrong answer");
    --*static_cast<int *>(data);
}

/* @n reads started together, then the default context iterated until
 * every one has answered. */
void async_reads(int n)
{
    int left = n;
    for (int i = 0; i < n; i++)
        halvo_api_get_volume_async(kAddress, nullptr, count_volume, &left);
    while (left > 0)
        g_main_context_iteration(nullptr, TRUE);
}

void sync_reads(int n)
{
    for (int i = 0; i < n; i++) {
        int volume = -1;
        if (halvo_api_get_volume(kAddress, &volume) != 0 || volume != 30)
            die("halvo_api_get_volume: wrong answer");
    }
}

void bench_async()
{
    fprintf(stderr, "non-blocking calls\n");
    peer_reply("get_volume_by_address", g_variant_new("(ii)", 0, 30));
    add_pair_row("one async read / one blocking read", measure_pair([] { async_reads(1); }, [] { sync_reads(1); },
                                                                     rounds(21), 200),
                 "<= 1.10", 1.10);
    add_pair_row("20 overlapped async / 20 blocking reads",
                 measure_pair([] { async_reads(20); }, [] { sync_reads(20); }, rounds(11), 20), "<= 0.5", 0.5);
    control_void("SetDelay", g_variant_new("(suv)", "get_volume_by_address", 10u, g_variant_new("(ii)", 0, 30)));
    add_pair_row("same, the service taking 10 ms",
                 measure_pair([] { async_reads(20); }, [] { sync_reads(20); }, rounds(5), 3), "<= 0.15", 0.15);
}

bool wanted(const std::vector<std::string> &names, const char *name)
{
    return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> names;
    long cpu = sysconf(_SC_NPROCESSORS_ONLN) - 1;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (strcmp(argv[i], "--no-pin") == 0)
            cpu = -1;
        else if (strcmp(argv[i], "--cpu") == 0 && i + 1 < argc)
            cpu = atol(argv[++i]);
        else if (argv[i][0] == '-') {
            fprintf(stderr, "usage: halvo-bench [--quick] [--cpu N | --no-pin] "
                            "[volume|paired|manuf|speakers|relay|log|cxx|async]...\n");
            return 2;
        } else
            names.push_back(argv[i]);
    }
    /* Before any thread or child exists, so that all of them inherit it. */
    std::string placement = "spread over the machine by the scheduler";
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(int(cpu), &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0)
            die("cannot pin to CPU %ld", cpu);
        placement = "all pinned to CPU " + std::to_string(cpu);
    }
    /* The figures are for the log's default level; a critical from the
     * library is a bug here as in the tests. */
    g_unsetenv("KERLO_LEVEL");
    g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));

    std::string load_start = loadavg();
    start_bus_and_peer();
    struct {
        const char *name;
        void (*run)();
    } const benches[] = {
        {"volume", bench_volume}, {"paired", bench_paired}, {"manuf", bench_manufacturer},
        {"speakers", bench_speakers}, {"relay", bench_relay}, {"log", bench_log}, {"cxx", bench_cxx},
        {"async", bench_async},
    };
    for (const auto &b : benches) {
        if (!wanted(names, b.name))
            continue;
        control_void("Reset", nullptr); /* the peer's record of calls stays small */
        b.run();
    }
    stop_bus_and_peer();
    print_table(placement, load_start, loadavg());
    return 0;
}

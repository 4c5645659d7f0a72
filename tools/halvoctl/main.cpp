/* main.cpp - halvoctl: global options, the command table, help, dispatch. */
#include "halvoctl.h"

#include "kerlo.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace ctl;

namespace {

struct Family {
    const char *title;
    const Command *commands;
};

const Family families[] = {
    {"Paired devices and policy", device_commands},
    {"Speakers", speaker_commands},
    {"Stored lists and earphones", list_commands},
    {"Vendor data, test mode, firmware", vendor_commands},
    {"Events", monitor_commands},
    {"Simulator", sim_commands},
};

const Command *find(const std::string &name)
{
    for (const auto &f : families)
        for (const Command *c = f.commands; c->name; c++)
            if (name == c->name)
                return c;
    return nullptr;
}

const char exit_statuses[] =
    "Exit status:\n"
    "   0  success\n"
    "   1  the operation failed (the message says who answered what)\n"
    "   2  usage error\n"
    "   3  timed out: --timeout passed\n"
    "   8  the service is not on the bus (nobody owns its name)\n"
    "  10  the device, speaker, key or address is not found\n";

/* Bare "halvoctl": a reminder, not the manual. */
void print_short_usage()
{
    fprintf(stderr, "Usage: halvoctl [OPTIONS] COMMAND [ARGS...]\n\n"
                    "Common commands:\n"
                    "  devices                  the paired devices\n"
                    "  speakers                 the connected speakers and their volume\n"
                    "  volume ADDR [N|up|down]  read or set a speaker's volume\n"
                    "  mute [on|off|toggle]     mute the speakers\n"
                    "  monitor                  print every event as it arrives\n"
                    "  sim ACTION ...           drive a running halvo-sim\n\n"
                    "Run \"halvoctl --help\" for every command and option.\n");
}

/* Edit distance, for "did you mean". */
size_t distance(const std::string &a, const std::string &b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

int unknown_command(const Ctx &ctx, const std::string &name)
{
    const Command *best = nullptr;
    size_t best_distance = 3; /* more edits than this is another word */
    for (const auto &f : families)
        for (const Command *c = f.commands; c->name; c++) {
            size_t d = std::string(c->name).rfind(name, 0) == 0 && name.size() >= 3 ? 1 : distance(name, c->name);
            if (d < best_distance) {
                best = c;
                best_distance = d;
            }
        }
    std::string text = "unknown command \"" + name + "\"";
    if (best)
        text += "; did you mean \"" + std::string(best->name) + "\"?";
    return usage_error(ctx, text);
}

void print_usage()
{
    printf("Usage: halvoctl [OPTIONS] COMMAND [ARGS...]\n\n"
           "Works the television's Bluetooth through libhalvo-api: paired devices and\n"
           "their policy, speakers and volume, stored device lists, earphones, vendor\n"
           "data, the test mode and the remote-control firmware update.\n\n"
           "Options (before or after the command):\n"
           "  --json              print machine-readable JSON instead of tables\n"
           "  --timeout=SECONDS   bound the whole command, library calls included\n"
           "                      (default 15; fw-update 75; monitor: none)\n"
           "  --address=ADDR      the bus to use (sets DBUS_SYSTEM_BUS_ADDRESS)\n"
           "  --store-root=DIR    the configuration store's root (sets VALKO_ROOT)\n"
           "  --partial-ok        a partial answer (a value the service did not tell)\n"
           "                      is a success\n"
           "  --no-progress       no progress display, even on a terminal\n"
           "  -q, --quiet         no confirmations: only answers and errors\n"
           "  -v, --verbose       show the library's log lines\n"
           "  -h, --help          show this help, or a command's help\n"
           "  --version           show the version\n");
    for (const auto &f : families) {
        printf("\n%s:\n", f.title);
        for (const Command *c = f.commands; c->name; c++) {
            std::string head = std::string(c->name) + (*c->usage ? " " : "") + c->usage;
            if (head.size() <= 34)
                printf("  %-34s %s\n", head.c_str(), c->summary);
            else
                printf("  %s\n  %-34s %s\n", head.c_str(), "", c->summary);
        }
    }
    printf("\n%s\nRun \"halvoctl COMMAND --help\" for a command's details.\n", exit_statuses);
}

void print_command_help(const Command &c)
{
    printf("Usage: halvoctl %s%s%s\n\n%s\n", c.name, *c.usage ? " " : "", c.usage, c.summary);
    if (*c.help)
        printf("\n%s\n", c.help);
    if (*c.flags) {
        printf("\nFlags:");
        std::string flags = c.flags;
        size_t start = 0;
        while (start < flags.size()) {
            size_t end = flags.find(',', start);
            std::string f = flags.substr(start, end == std::string::npos ? std::string::npos : end - start);
            printf(" --%s%s", f.c_str(), f.back() == '=' ? "VALUE" : "");
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        printf("\n");
    }
    printf("\nCommon options: --json, --timeout=SECONDS, --address=ADDR, --store-root=DIR, -v\n\n%s", exit_statuses);
}

/* Whether @flag (without its value) is one of @c's flags. */
bool accepts(const Command &c, const std::string &flag)
{
    std::string name = flag.substr(2);
    size_t eq = name.find('=');
    bool has_value = eq != std::string::npos;
    if (has_value)
        name = name.substr(0, eq);
    std::string list = std::string(",") + c.flags + ",";
    return list.find("," + name + (has_value ? "=," : ",")) != std::string::npos;
}

} // namespace

int main(int argc, char **argv)
{
    Ctx ctx;
    bool help = false, verbose = false, progress = true, timeout_given = false;
    std::vector<std::string> rest;
    bool options_done = false;

    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        /* A global option takes its value after "=" or as the next word. */
        auto value_of = [&](const char *name, std::string *out) {
            std::string prefix = std::string(name) + "=";
            if (a.rfind(prefix, 0) == 0) {
                *out = a.substr(prefix.size());
                return true;
            }
            if (a == name && i + 1 < argc) {
                *out = argv[++i];
                return true;
            }
            return false;
        };
        std::string v;
        if (options_done || a.size() < 2 || a[0] != '-') {
            rest.push_back(a);
        } else if (a == "--") {
            options_done = true;
        } else if (a == "--json") {
            ctx.json = true;
        } else if (a == "-h" || a == "--help") {
            help = true;
        } else if (a == "-q" || a == "--quiet") {
            ctx.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            verbose = true;
        } else if (a == "--partial-ok") {
            ctx.partial_ok = true;
        } else if (a == "--no-progress") {
            progress = false;
        } else if (a == "--version") {
            printf("halvoctl %s\n", HALVOCTL_VERSION);
            return EXIT_OK;
        } else if (value_of("--timeout", &v)) {
            int s = 0;
            if (!parse_int(v, &s) || s < 1)
                return usage_error(ctx, "--timeout takes a number of seconds");
            ctx.timeout_ms = s * 1000;
            timeout_given = true;
        } else if (value_of("--address", &v)) {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", v.c_str(), 1);
        } else if (value_of("--store-root", &v)) {
            setenv("VALKO_ROOT", v.c_str(), 1);
        } else if (a.rfind("--", 0) == 0) {
            ctx.flags.push_back(a); /* the command's own flag, checked below */
        } else if (a.size() >= 2 && (isdigit(static_cast<unsigned char>(a[1])))) {
            rest.push_back(a); /* a negative number */
        } else {
            return usage_error(ctx, "unknown option " + a);
        }
    }

    if (rest.empty() || rest[0] == "help") {
        if (rest.size() > 1) {
            if (const Command *c = find(rest[1])) {
                print_command_help(*c);
                return EXIT_OK;
            }
            return unknown_command(ctx, rest[1]);
        }
        if (!help && rest.empty()) {
            print_short_usage();
            return EXIT_USAGE;
        }
        print_usage();
        return EXIT_OK;
    }

    const Command *c = find(rest[0]);
    if (!c)
        return unknown_command(ctx, rest[0]);
    ctx.command = c->name;
    if (help) {
        print_command_help(*c);
        return EXIT_OK;
    }
    for (const auto &f : ctx.flags)
        if (!accepts(*c, f))
            return usage_error(ctx, "unknown flag " + f);
    ctx.args.assign(rest.begin() + 1, rest.end());
    int n = int(ctx.args.size());
    if (n < c->min_args)
        return usage_error(ctx, std::string("missing arguments: ") + c->usage);
    if (c->max_args >= 0 && n > c->max_args)
        return usage_error(ctx, "too many arguments");

    ctx.progress = progress && !ctx.json && isatty(STDERR_FILENO);
    /* The library's log is for its developers: quiet unless asked for, or
     * unless KERLO_LEVEL says otherwise. */
    if (kerlo_set_level != nullptr) {
        if (verbose)
            kerlo_set_level(3);
        else if (!getenv("KERLO_LEVEL"))
            kerlo_set_level(99);
    }
    /* monitor runs until stopped (--duration bounds it).  Unless told
     * otherwise, the firmware request keeps the library's 60 s. */
    if (ctx.command != "monitor") {
        int bound = ctx.timeout_ms + (!timeout_given && ctx.command == "fw-update" ? 60000 : 0);
        ctx.deadline = g_get_monotonic_time() + gint64(bound) * 1000;
        ctx.timeout_message = "timed out after " + std::to_string(bound / 1000) + " s (--timeout)";
    }
    return c->run(ctx);
}

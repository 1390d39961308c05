// tirvanectl: command line, help and the dispatch to the verbs.
#include "tirvanectl.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <signal.h>

using namespace tirvanectl;

namespace
{

using VerbFunction = int (*)(Tirvane *, const Args &, const Options &);

struct Verb {
    const char *name;
    const char *synopsis;
    size_t arg_count;
    const char *summary;
    VerbFunction run;
};

const Verb kVerbs[] = {
    {"enroll", "USER FINGER", 2, "enrol a new finger named FINGER for USER", run_enroll},
    {"verify", "USER", 1, "check touches against USER's fingers until one matches", run_verify},
    {"list", "USER", 1, "list USER's fingers, one per line", run_list},
    {"rename", "USER FINGER NEW", 3, "rename USER's finger FINGER to NEW", run_rename},
    {"delete", "USER FINGER", 2, "delete USER's finger FINGER", run_delete},
    {"delete-all", "USER", 1, "delete all of USER's fingers", run_delete_all},
    {"info", "", 0, "show the device name and the number of devices", run_info},
};

void print_help()
{
    printf("Usage: tirvanectl [OPTION...] VERB [ARGUMENT...]\n"
           "\n"
           "Enrols, verifies and manages fingers through the fingerprint service\n"
           "tirvane-serverd (nuvex.kal.Tirvane on the system bus).\n"
           "\n"
           "Verbs:\n");
    for (const auto &verb : kVerbs) {
        g_autofree gchar *call = g_strdup_printf("%s %s", verb.name, verb.synopsis);
        printf("  %-26s %s\n", call, verb.summary);
    }
    printf("\n"
           "Options:\n"
           "  -h, --help                 show this help and exit\n"
           "  -V, --version              show the version and exit\n"
           "  -t, --timeout SECONDS      give up enroll or verify after SECONDS; the\n"
           "                             operation is stopped first\n"
           "      --once                 verify: stop after the first touch that does\n"
           "                             not match\n"
           "\n"
           "Exit status:\n"
           "  0    success: enrolled, matched, or the request was carried out\n"
           "  1    the operation did not succeed (no match, enrolment failed, device\n"
           "       busy or disconnected, no such finger)\n"
           "  2    wrong command line\n"
           "  3    the service refused the call (access denied, invalid arguments)\n"
           "  4    no system bus, or the service is not running\n"
           "  5    --timeout expired\n"
           "  130  interrupted (SIGINT or SIGTERM); the operation was stopped\n");
    fflush(stdout);
}

int usage_error(const char *format, ...) G_GNUC_PRINTF(1, 2);

int usage_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    g_autofree gchar *text = g_strdup_vprintf(format, args);
    va_end(args);
    fprintf(stderr, "tirvanectl: %s\nTry 'tirvanectl --help' for more information.\n", text);
    return kExitUsage;
}

bool parse_seconds(const char *text, int *seconds)
{
    char *end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value <= 0 || value > INT_MAX / 1000) {
        return false;
    }
    *seconds = static_cast<int>(value);
    return true;
}

const Verb *find_verb(const std::string &name)
{
    for (const auto &verb : kVerbs) {
        if (name == verb.name) {
            return &verb;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    // A closed pipe on stdout must not kill the client before it stops an operation.
    signal(SIGPIPE, SIG_IGN);

    Options options;
    Args positional;
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            for (++i; i < argc; ++i) {
                positional.emplace_back(argv[i]);
            }
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
        } else if (arg == "-h" || arg == "--help") {
            help = true;
        } else if (arg == "-V" || arg == "--version") {
            version = true;
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "-t" || arg == "--timeout" || arg.rfind("--timeout=", 0) == 0) {
            std::string value;
            if (arg.rfind("--timeout=", 0) == 0) {
                value = arg.substr(strlen("--timeout="));
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return usage_error("%s needs a number of seconds", arg.c_str());
            }
            if (!parse_seconds(value.c_str(), &options.timeout_s)) {
                return usage_error("invalid timeout '%s': give a whole number of seconds above 0",
                                   value.c_str());
            }
        } else {
            return usage_error("unknown option '%s'", arg.c_str());
        }
    }

    if (help || (!positional.empty() && positional.front() == "help")) {
        print_help();
        return kExitOk;
    }
    if (version) {
        printf("tirvanectl %s\n", TIRVANECTL_VERSION);
        return kExitOk;
    }
    if (positional.empty()) {
        return usage_error("no verb given");
    }
    const Verb *verb = find_verb(positional.front());
    if (verb == nullptr) {
        return usage_error("unknown verb '%s'", positional.front().c_str());
    }
    const Args args(positional.begin() + 1, positional.end());
    if (args.size() != verb->arg_count) {
        if (verb->arg_count == 0) {
            return usage_error("%s takes no arguments", verb->name);
        }
        return usage_error("usage: tirvanectl %s %s", verb->name, verb->synopsis);
    }
    for (const auto &arg : args) {
        if (arg.empty()) {
            return usage_error("usage: tirvanectl %s %s (arguments must not be empty)", verb->name,
                               verb->synopsis);
        }
    }
    if (options.once && strcmp(verb->name, "verify") != 0) {
        return usage_error("--once applies to verify only");
    }

    int status = kExitOk;
    g_autoptr(Tirvane) proxy = connect_service(&status);
    if (proxy == nullptr) {
        return status;
    }
    return verb->run(proxy, args, options);
}

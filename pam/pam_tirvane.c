/*
 * pam_tirvane: authentication with a finger on the Tirvane fingerprint service.
 *
 * The module is loaded into every login, sudo and screen-locker process, so it
 * speaks to the service with sd-bus alone: no GLib main loop, no threads, no
 * C++ runtime. Every wait is bounded by the `timeout` option. An exit after an
 * accepted `verify` calls `verifyStop`, so the reader is left idle, unless the
 * service ended that verification itself: it never stops anyone else's.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include "tirvane-bus-contract.h"

#define LOGIND_NAME "org.freedesktop.login1"
#define LOGIND_PATH "/org/freedesktop/login1"
#define LOGIND_MANAGER "org.freedesktop.login1.Manager"
#define LOGIND_SESSION "org.freedesktop.login1.Session"

#define PROMPT_PLACE "Place your finger on the fingerprint reader"
#define PROMPT_NO_MATCH "No match, try again"
#define PROMPT_RETRY "Lift your finger and place it on the reader again"
#define PROMPT_LOCKED_OUT "Too many failed fingerprint attempts; use your password"

enum {
    DEFAULT_MAX_TRIES = 3,
    DEFAULT_TIMEOUT_S = 30,
    /* The service answers its methods in milliseconds; this only bounds a hung peer. */
    CALL_TIMEOUT_USEC = 5 * 1000 * 1000,
    /* The service answers verifyStop once the verification let go, which may take
     * it seconds; the stop goes on without us, and leaving the bus stops it too.
     * So the answer is awaited only briefly, keeping the module within its timeout. */
    STOP_TIMEOUT_USEC = 500 * 1000,
    /* The service repeats "try again" while the reader is away: say it only this often. */
    RETRY_HINT_GAP_USEC = 3 * 1000 * 1000,
    /* Messages already received that are still looked at once the wait is over. */
    DRAIN_MAX_MESSAGES = 16,
    RESULT_PENDING = -1,
};

struct options {
    unsigned max_tries;
    unsigned timeout_s;
    bool debug;
};

/* One verification: what the bus callbacks read and write. */
struct verification {
    pam_handle_t *pamh;
    const struct options *opt;
    bool silent;
    const char *user_id;   /* the id the fingers are enrolled under */
    const char *owner;     /* unique bus name of the service we talk to */
    bool replied;          /* verify was answered: signals count from now on */
    bool ended_by_service; /* a refusal or a disconnect ended it: no stop is due */
    bool service_gone;     /* the service left the bus or changed hands */
    bool told_locked_out;
    unsigned no_matches;
    uint64_t last_retry_hint; /* monotonic time of the last retry hint, 0: none yet */
    int result;               /* RESULT_PENDING or the PAM result */
};

#define debug_log(v, ...)                                                                                    \
    do {                                                                                                     \
        if ((v)->opt->debug) {                                                                               \
            pam_syslog((v)->pamh, LOG_DEBUG, __VA_ARGS__);                                                   \
        }                                                                                                    \
    } while (0)

static void closep(int *fd)
{
    if (*fd >= 0) {
        close(*fd);
    }
}

static void freep(void *p)
{
    free(*(void **)p);
}

static uint64_t now_usec(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

/* Time left until `deadline`, at most `cap`; 0 when it has passed. */
static uint64_t left_usec(uint64_t deadline, uint64_t cap)
{
    const uint64_t now = now_usec();
    if (now >= deadline) {
        return 0;
    }
    return deadline - now < cap ? deadline - now : cap;
}

static bool parse_unsigned(const char *text, unsigned *out)
{
    char *end = NULL;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 86400 || text[0] == '-') {
        return false;
    }
    *out = (unsigned)value;
    return true;
}

static void parse_options(pam_handle_t *pamh, int argc, const char **argv, struct options *opt)
{
    opt->max_tries = DEFAULT_MAX_TRIES;
    opt->timeout_s = DEFAULT_TIMEOUT_S;
    opt->debug = false;
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "debug") == 0) {
            opt->debug = true;
        } else if (strncmp(arg, "max-tries=", 10) == 0) {
            if (!parse_unsigned(arg + 10, &opt->max_tries)) {
                pam_syslog(pamh, LOG_ERR, "bad value in %s, using max-tries=%d", arg, DEFAULT_MAX_TRIES);
                opt->max_tries = DEFAULT_MAX_TRIES;
            }
        } else if (strncmp(arg, "timeout=", 8) == 0) {
            if (!parse_unsigned(arg + 8, &opt->timeout_s)) {
                pam_syslog(pamh, LOG_ERR, "bad value in %s, using timeout=%d", arg, DEFAULT_TIMEOUT_S);
                opt->timeout_s = DEFAULT_TIMEOUT_S;
            }
        } else {
            pam_syslog(pamh, LOG_ERR, "unknown option: %s", arg);
        }
    }
}

/* A name or address of the loopback interface, through which a login from this
 * machine over the network arrives (ssh alice@localhost). */
static bool host_is_loopback(const char *host)
{
    static const char *const names[] = {"localhost",     "localhost.localdomain",   "localhost6",
                                        "ip6-localhost", "localhost6.localdomain6", "ip6-loopback"};
    char name[256];
    size_t len = strlen(host);
    if (len >= sizeof name) {
        return false;
    }
    memcpy(name, host, len + 1);
    if (len > 0 && name[len - 1] == '.') {
        name[--len] = '\0'; /* an absolute name */
    }
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (strcasecmp(name, names[i]) == 0) {
            return true;
        }
    }
    static const char suffix[] = ".localhost"; /* every name under localhost */
    if (len > sizeof suffix - 1 && strcasecmp(name + len - (sizeof suffix - 1), suffix) == 0) {
        return true;
    }
    struct in_addr v4;
    if (inet_aton(name, &v4) != 0) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    struct in6_addr v6;
    if (inet_pton(AF_INET6, name, &v6) == 1) {
        return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
    }
    return false;
}

/* PAM_RHOST: unset or empty, nobody logs in from another host; the machine's own
 * host name (sudo may set it) names this one. Any other host, the loopback names
 * and addresses included, is a login over the network. */
static bool host_is_local(const char *host)
{
    if (host == NULL || host[0] == '\0') {
        return true;
    }
    if (host_is_loopback(host)) {
        return false;
    }
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 && strcmp(host, name) == 0;
}

/* A finger cannot be placed from afar: the session is remote when PAM says the
 * request comes from another host or over the loopback interface, when logind
 * marks the caller's session remote, or when the caller runs inside an SSH
 * connection. */
static bool session_is_remote(pam_handle_t *pamh)
{
    const void *rhost = NULL;
    if (pam_get_item(pamh, PAM_RHOST, &rhost) == PAM_SUCCESS && !host_is_local(rhost)) {
        return true;
    }
    __attribute__((cleanup(freep))) char *session = NULL;
    if (sd_pid_get_session(0, &session) >= 0 && sd_session_is_remote(session) > 0) {
        return true;
    }
    return getenv("SSH_CONNECTION") != NULL || pam_getenv(pamh, "SSH_CONNECTION") != NULL;
}

static void say(struct verification *v, int style, const char *text)
{
    if (!v->silent) {
        pam_prompt(v->pamh, style, NULL, "%s", text);
    }
}

static void finish(struct verification *v, int result)
{
    if (v->result == RESULT_PENDING) {
        v->result = result;
    }
}

static int on_verify_reply(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    (void)ret_error;
    struct verification *v = userdata;
    if (sd_bus_message_is_method_error(m, NULL)) {
        const sd_bus_error *e = sd_bus_message_get_error(m);
        debug_log(v, "verify refused for %s: %s", v->user_id, e != NULL ? e->name : "?");
        finish(v, PAM_AUTHINFO_UNAVAIL);
        return 0;
    }
    v->replied = true;
    say(v, PAM_TEXT_INFO, PROMPT_PLACE);
    return 0;
}

/* The sub-code of a status message such as {"subcode":5}; -1 when it has none. */
static int status_subcode(const char *msg)
{
    static const char key[] = "\"" TVP_MSG_KEY_SUBCODE "\"";
    const char *at = strstr(msg, key);
    if (at == NULL) {
        return -1;
    }
    at += sizeof key - 1;
    while (*at == ' ' || *at == '\t') {
        ++at;
    }
    if (*at != ':') {
        return -1;
    }
    char *end = NULL;
    errno = 0;
    const long value = strtol(at + 1, &end, 10);
    if (errno != 0 || end == at + 1 || value < 0 || value > INT_MAX) {
        return -1;
    }
    return (int)value;
}

static int on_verify_status(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    (void)ret_error;
    struct verification *v = userdata;
    const char *sender = sd_bus_message_get_sender(m);
    const char *id = NULL;
    const char *msg = NULL;
    int32_t code = 0;
    /* A status from before our call was answered belongs to another verification. */
    if (!v->replied || sender == NULL || strcmp(sender, v->owner) != 0) {
        return 0;
    }
    if (sd_bus_message_read(m, "sis", &id, &code, &msg) < 0 || strcmp(id, v->user_id) != 0) {
        return 0;
    }
    debug_log(v, "status %d for %s", (int)code, v->user_id);
    /* Busy, locked out or disconnected: the service has ended this verification
     * itself (also when it says so right after the last try ran out). */
    if (code == TVP_VERIFY_STAGE_ERROR || code == TVP_VERIFY_STAGE_DISCONNECTED) {
        v->ended_by_service = true;
    }
    if (code == TVP_VERIFY_STAGE_ERROR && status_subcode(msg) == TVP_VERIFY_ERROR_LOCKED_OUT &&
        !v->told_locked_out) {
        v->told_locked_out = true;
        debug_log(v, "%s is locked out after failed touches", v->user_id);
        say(v, PAM_ERROR_MSG, PROMPT_LOCKED_OUT);
    }
    if (v->result != RESULT_PENDING) {
        return 0;
    }
    switch (code) {
    case TVP_VERIFY_STATUS_MATCH:
        finish(v, PAM_SUCCESS);
        break;
    case TVP_VERIFY_STATUS_NOMATCH:
        if (++v->no_matches >= v->opt->max_tries) {
            finish(v, PAM_MAXTRIES);
        } else {
            say(v, PAM_ERROR_MSG, PROMPT_NO_MATCH);
        }
        break;
    case TVP_VERIFY_STAGE_RETRY:
        if (v->last_retry_hint == 0 || now_usec() - v->last_retry_hint >= RETRY_HINT_GAP_USEC) {
            v->last_retry_hint = now_usec();
            say(v, PAM_TEXT_INFO, PROMPT_RETRY);
        }
        break;
    case TVP_VERIFY_STAGE_ERROR:
    case TVP_VERIFY_STAGE_DISCONNECTED:
        finish(v, PAM_AUTHINFO_UNAVAIL);
        break;
    default:
        break;
    }
    return 0;
}

static int on_owner_changed(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    (void)ret_error;
    struct verification *v = userdata;
    const char *name = NULL;
    const char *old_owner = NULL;
    const char *new_owner = NULL;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0 || strcmp(name, TVP_BUS_NAME) != 0) {
        return 0;
    }
    /* The service's own arrival (bus activation) names the owner we talk to. */
    if (v->owner != NULL && strcmp(new_owner, v->owner) != 0) {
        debug_log(v, "service left the bus");
        v->service_gone = true;
        finish(v, PAM_AUTHINFO_UNAVAIL);
    }
    return 0;
}

/* ---- Ctrl-C during the wait ------------------------------------------------
 * The handler only writes to a pipe that the wait polls; the application's own
 * disposition is put back before the module returns. One process-wide slot:
 * a second authentication running at the same time in another thread of the
 * same process waits without Ctrl-C handling. */
static atomic_int sigint_fd = -1;

static void on_sigint(int sig)
{
    (void)sig;
    const int saved = errno;
    const int fd = atomic_load(&sigint_fd);
    if (fd >= 0) {
        ssize_t ignored = write(fd, "", 1);
        (void)ignored;
    }
    errno = saved;
}

struct sigint_watch {
    int fds[2];
    bool installed;
    struct sigaction previous;
};

static void sigint_watch_start(struct sigint_watch *w)
{
    w->fds[0] = w->fds[1] = -1;
    w->installed = false;
    struct sigaction current;
    if (sigaction(SIGINT, NULL, &current) != 0 || current.sa_handler == SIG_IGN) {
        return; /* an application that ignores Ctrl-C keeps doing so */
    }
    if (pipe2(w->fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        w->fds[0] = w->fds[1] = -1;
        return;
    }
    int expected = -1;
    if (!atomic_compare_exchange_strong(&sigint_fd, &expected, w->fds[1])) {
        return;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGINT, &sa, &w->previous) != 0) {
        atomic_store(&sigint_fd, -1);
        return;
    }
    w->installed = true;
}

static void sigint_watch_stop(struct sigint_watch *w)
{
    if (w->installed) {
        sigaction(SIGINT, &w->previous, NULL);
        atomic_store(&sigint_fd, -1);
    }
    closep(&w->fds[0]);
    closep(&w->fds[1]);
}

/* ---- Bus calls ------------------------------------------------------------ */

struct call_state {
    bool done;
    sd_bus_message *reply;
};

static int on_call_reply(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    (void)ret_error;
    struct call_state *state = userdata;
    state->reply = sd_bus_message_ref(m);
    state->done = true;
    return 0;
}

/* Time `cap` from now, but not past `deadline` (and at least 1 us away). */
static uint64_t call_until(uint64_t deadline, uint64_t cap)
{
    return now_usec() + left_usec(deadline, cap) + 1;
}

/* sd_bus_call, bounded by `until_usec` (monotonic) after every message received:
 * sd_bus_call looks at its time-out only when nothing more is there to read,
 * so a stream of messages from anyone would hold it open. Messages for other
 * callbacks are dispatched meanwhile. */
static int bus_call(sd_bus *bus, sd_bus_message *call, uint64_t until_usec, sd_bus_error *error,
                    sd_bus_message **reply)
{
    struct call_state state = {false, NULL};
    __attribute__((cleanup(sd_bus_slot_unrefp))) sd_bus_slot *slot = NULL;
    int r = sd_bus_call_async(bus, &slot, call, on_call_reply, &state, left_usec(until_usec, UINT64_MAX) + 1);
    while (r >= 0 && !state.done) {
        r = sd_bus_process(bus, NULL);
        if (r < 0 || state.done) {
            break;
        }
        const uint64_t left = left_usec(until_usec, UINT64_MAX);
        if (left == 0) {
            r = -ETIMEDOUT;
            break;
        }
        if (r == 0) {
            r = sd_bus_wait(bus, left);
            r = r == -EINTR ? 0 : r;
        }
    }
    if (!state.done) {
        return sd_bus_error_set_errno(error, r < 0 ? r : -ETIMEDOUT);
    }
    if (sd_bus_message_is_method_error(state.reply, NULL)) {
        r = sd_bus_error_copy(error, sd_bus_message_get_error(state.reply));
        sd_bus_message_unref(state.reply);
        return r < 0 ? r : -EIO;
    }
    *reply = state.reply;
    return 1;
}

static int get_device_count(sd_bus *bus, uint64_t deadline, char **owner)
{
    __attribute__((cleanup(sd_bus_error_free))) sd_bus_error error = SD_BUS_ERROR_NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *call = NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *reply = NULL;
    int32_t count = 0;
    /* Addressed to the well-known name, so that the bus may start the service. */
    if (sd_bus_message_new_method_call(bus, &call, TVP_BUS_NAME, TVP_BUS_OBJECT_PATH, TVP_BUS_INTERFACE,
                                       TVP_METHOD_GET_DEVICE_COUNT) < 0 ||
        bus_call(bus, call, call_until(deadline, CALL_TIMEOUT_USEC), &error, &reply) < 0 ||
        sd_bus_message_read(reply, "i", &count) < 0 || sd_bus_message_get_sender(reply) == NULL) {
        return -1;
    }
    *owner = strdup(sd_bus_message_get_sender(reply));
    return *owner != NULL ? count : -1;
}

/* Number of fingers enrolled under `user_id`, -1 when the call failed. */
static int count_fingers(sd_bus *bus, const char *owner, const char *user_id, uint64_t deadline)
{
    __attribute__((cleanup(sd_bus_error_free))) sd_bus_error error = SD_BUS_ERROR_NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *call = NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *reply = NULL;
    if (sd_bus_message_new_method_call(bus, &call, owner, TVP_BUS_OBJECT_PATH, TVP_BUS_INTERFACE,
                                       TVP_METHOD_LISTFINGERS) < 0 ||
        sd_bus_message_append(call, "s", user_id) < 0 ||
        bus_call(bus, call, call_until(deadline, CALL_TIMEOUT_USEC), &error, &reply) < 0 ||
        sd_bus_message_enter_container(reply, 'a', "s") < 0) {
        return -1;
    }
    int count = 0;
    const char *name = NULL;
    while (sd_bus_message_read(reply, "s", &name) > 0) {
        ++count;
    }
    return count;
}

static void verify_stop(sd_bus *bus, const char *owner)
{
    __attribute__((cleanup(sd_bus_error_free))) sd_bus_error error = SD_BUS_ERROR_NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *call = NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *reply = NULL;
    /* To the unique name: a service that has gone is not started again for this. */
    if (sd_bus_message_new_method_call(bus, &call, owner, TVP_BUS_OBJECT_PATH, TVP_BUS_INTERFACE,
                                       TVP_METHOD_VERIFY_STOP) >= 0) {
        bus_call(bus, call, now_usec() + STOP_TIMEOUT_USEC, &error, &reply);
    }
}

static bool interrupted(int sigint_read_fd)
{
    char byte = 0;
    return sigint_read_fd >= 0 && read(sigint_read_fd, &byte, 1) > 0;
}

/* Runs the bus until the verification has a result, the deadline passes or
 * Ctrl-C is pressed. The deadline and Ctrl-C are looked at after every message:
 * a stream of messages, from whoever sends them, does not hold the wait open. */
static void wait_for_result(sd_bus *bus, struct verification *v, uint64_t deadline, int sigint_read_fd)
{
    while (v->result == RESULT_PENDING) {
        const int r = sd_bus_process(bus, NULL);
        if (r < 0) {
            debug_log(v, "bus connection lost: %d", r);
            finish(v, PAM_AUTHINFO_UNAVAIL);
            return;
        }
        if (v->result != RESULT_PENDING) {
            return;
        }
        if (interrupted(sigint_read_fd)) {
            debug_log(v, "interrupted");
            finish(v, PAM_AUTHINFO_UNAVAIL);
            return;
        }
        uint64_t wait = left_usec(deadline, UINT64_MAX);
        if (wait == 0) {
            debug_log(v, "timed out for %s", v->user_id);
            finish(v, PAM_AUTHINFO_UNAVAIL);
            return;
        }
        if (r > 0) {
            continue; /* more may be queued */
        }
        uint64_t bus_timeout = 0;
        if (sd_bus_get_timeout(bus, &bus_timeout) > 0 && bus_timeout != UINT64_MAX) {
            const uint64_t now = now_usec();
            const uint64_t until = bus_timeout > now ? bus_timeout - now : 0;
            wait = until < wait ? until : wait;
        }
        struct pollfd fds[2] = {
            {.fd = sd_bus_get_fd(bus), .events = (short)sd_bus_get_events(bus)},
            {.fd = sigint_read_fd, .events = POLLIN},
        };
        const int ms = (int)((wait + 999) / 1000);
        if (poll(fds, sigint_read_fd >= 0 ? 2 : 1, ms) < 0 && errno != EINTR) {
            finish(v, PAM_AUTHINFO_UNAVAIL);
            return;
        }
    }
}

/* The service says that a user is locked out right after the failed touch that
 * did it, which may be the last try: what has already arrived is looked at, a
 * few messages at most and without waiting, so that the user hears of it and no
 * stop goes to a verification that has ended. */
static void drain_received(sd_bus *bus)
{
    for (int i = 0; i < DRAIN_MAX_MESSAGES && sd_bus_process(bus, NULL) > 0; ++i) {
    }
}

/* ---- logind: is the caller at the seat? ------------------------------------ */

enum seat_check {
    SEAT_UNKNOWN, /* logind is not on the bus: the PAM items and the environment decide */
    SEAT_PRESENT, /* an active local session on a seat */
    SEAT_ABSENT,  /* no session, or one that is remote, inactive or without a seat */
};

/* Whether the session at `path` is active and local on a seat. Anything that
 * cannot be read counts as absent. */
static enum seat_check check_session(sd_bus *bus, struct verification *v, const char *path, uint64_t deadline)
{
    __attribute__((cleanup(sd_bus_error_free))) sd_bus_error error = SD_BUS_ERROR_NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *call = NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *reply = NULL;
    int remote = -1;
    int active = -1;
    const char *seat = NULL;
    const char *session_class = "?";
    if (sd_bus_message_new_method_call(bus, &call, LOGIND_NAME, path, "org.freedesktop.DBus.Properties",
                                       "GetAll") < 0 ||
        sd_bus_message_append(call, "s", LOGIND_SESSION) < 0 ||
        bus_call(bus, call, call_until(deadline, CALL_TIMEOUT_USEC), &error, &reply) < 0 ||
        sd_bus_message_enter_container(reply, 'a', "{sv}") < 0) {
        debug_log(v, "the logind session cannot be read (%s), skipped",
                  error.name != NULL ? error.name : "?");
        return SEAT_ABSENT;
    }
    int r = 0;
    while ((r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        const char *name = NULL;
        const char *seat_path = NULL;
        if ((r = sd_bus_message_read(reply, "s", &name)) < 0) {
            break;
        }
        if (strcmp(name, "Remote") == 0) {
            r = sd_bus_message_read(reply, "v", "b", &remote);
        } else if (strcmp(name, "Active") == 0) {
            r = sd_bus_message_read(reply, "v", "b", &active);
        } else if (strcmp(name, "Seat") == 0) {
            r = sd_bus_message_read(reply, "v", "(so)", &seat, &seat_path);
        } else if (strcmp(name, "Class") == 0) {
            r = sd_bus_message_read(reply, "v", "s", &session_class);
        } else {
            r = sd_bus_message_skip(reply, "v");
        }
        if (r < 0 || (r = sd_bus_message_exit_container(reply)) < 0) {
            break;
        }
    }
    if (r < 0) {
        debug_log(v, "the logind session cannot be read: %d, skipped", r);
        return SEAT_ABSENT;
    }
    if (remote != 0) {
        debug_log(v, "remote logind session (class %s), skipped", session_class);
        return SEAT_ABSENT;
    }
    if (active != 1) {
        debug_log(v, "inactive logind session (class %s), skipped", session_class);
        return SEAT_ABSENT;
    }
    if (seat == NULL || seat[0] == '\0') {
        debug_log(v, "logind session without a seat (class %s), skipped", session_class);
        return SEAT_ABSENT;
    }
    debug_log(v, "active local logind session on %s (class %s)", seat, session_class);
    return SEAT_PRESENT;
}

/* Asks logind for the session of this process. A finger on the reader is
 * someone at the seat: a process outside any session (a system service, a cron
 * job, a login over the network before its session exists) is not asked for
 * one, nor is a session that is remote, inactive (another user's session is in
 * front) or without a seat. */
static enum seat_check check_seat(sd_bus *bus, struct verification *v, uint64_t deadline)
{
    __attribute__((cleanup(sd_bus_error_free))) sd_bus_error error = SD_BUS_ERROR_NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *call = NULL;
    __attribute__((cleanup(sd_bus_message_unrefp))) sd_bus_message *reply = NULL;
    const char *path = NULL;
    if (sd_bus_message_new_method_call(bus, &call, LOGIND_NAME, LOGIND_PATH, LOGIND_MANAGER,
                                       "GetSessionByPID") < 0 ||
        sd_bus_message_set_auto_start(call, 0) < 0 ||
        sd_bus_message_append(call, "u", (uint32_t)getpid()) < 0) {
        debug_log(v, "logind cannot be asked");
        return SEAT_UNKNOWN;
    }
    if (bus_call(bus, call, call_until(deadline, CALL_TIMEOUT_USEC), &error, &reply) < 0) {
        if (sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
            debug_log(v, "logind is not on the bus");
            return SEAT_UNKNOWN;
        }
        debug_log(v, "no logind session (%s), skipped", error.name != NULL ? error.name : "?");
        return SEAT_ABSENT;
    }
    if (sd_bus_message_read(reply, "o", &path) < 0) {
        debug_log(v, "logind answered no session path, skipped");
        return SEAT_ABSENT;
    }
    return check_session(bus, v, path, deadline);
}

static void bus_closep(sd_bus **bus)
{
    if (*bus != NULL) {
        sd_bus_flush_close_unref(*bus);
        *bus = NULL;
    }
}

static bool all_digits(const char *text)
{
    if (text[0] == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

/* The enrolled id of a PAM user: the user name, or else the decimal uid, the
 * two forms the service accepts from a user enrolling their own fingers. A
 * name of digits alone is the decimal form of some uid, whose fingers those
 * are: it is used only when that uid is the user's own, and otherwise the
 * decimal uid alone is asked for. */
static int find_user_id(sd_bus *bus, const char *owner, const char *user, uint64_t deadline, char *out,
                        size_t size)
{
    if (strlen(user) >= size) {
        return 0; /* cut, it could name someone else */
    }
    char uid_text[32] = "";
    struct passwd pw;
    struct passwd *found = NULL;
    char buf[4096];
    if (getpwnam_r(user, &pw, buf, sizeof buf, &found) == 0 && found != NULL) {
        snprintf(uid_text, sizeof uid_text, "%lu", (unsigned long)found->pw_uid);
    }
    if (!all_digits(user) || strcmp(user, uid_text) == 0) {
        const int by_name = count_fingers(bus, owner, user, deadline);
        if (by_name != 0) {
            snprintf(out, size, "%s", user);
            return by_name;
        }
    }
    if (uid_text[0] == '\0' || strcmp(uid_text, user) == 0) {
        return 0; /* no uid, or the one just asked for */
    }
    snprintf(out, size, "%s", uid_text);
    return count_fingers(bus, owner, out, deadline);
}

static int authenticate(pam_handle_t *pamh, int flags, const struct options *opt)
{
    const uint64_t deadline = now_usec() + (uint64_t)opt->timeout_s * 1000000u;
    struct verification v = {
        .pamh = pamh, .opt = opt, .silent = (flags & PAM_SILENT) != 0, .result = RESULT_PENDING};

    if (session_is_remote(pamh)) {
        debug_log(&v, "remote session, skipped");
        return PAM_AUTHINFO_UNAVAIL;
    }
    const char *user = NULL;
    const int got_user = pam_get_user(pamh, &user, NULL);
    if (got_user != PAM_SUCCESS) {
        return got_user;
    }
    if (user == NULL || user[0] == '\0') {
        return PAM_USER_UNKNOWN;
    }

    __attribute__((cleanup(bus_closep))) sd_bus *bus = NULL;
    __attribute__((cleanup(sd_bus_slot_unrefp))) sd_bus_slot *owner_slot = NULL;
    __attribute__((cleanup(sd_bus_slot_unrefp))) sd_bus_slot *status_slot = NULL;
    __attribute__((cleanup(sd_bus_slot_unrefp))) sd_bus_slot *call_slot = NULL;
    __attribute__((cleanup(freep))) char *owner = NULL;
    if (sd_bus_open_system(&bus) < 0 || sd_bus_set_method_call_timeout(bus, CALL_TIMEOUT_USEC) < 0) {
        debug_log(&v, "no system bus");
        return PAM_AUTHINFO_UNAVAIL;
    }
    /* Watched before the first call, so that no owner change can slip by. */
    if (sd_bus_add_match(bus, &owner_slot,
                         "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                         "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" TVP_BUS_NAME "'",
                         on_owner_changed, &v) < 0) {
        return PAM_AUTHINFO_UNAVAIL;
    }
    /* Before anything reaches the fingerprint service. */
    if (check_seat(bus, &v, deadline) == SEAT_ABSENT) {
        return PAM_AUTHINFO_UNAVAIL;
    }
    const int devices = get_device_count(bus, deadline, &owner);
    if (devices <= 0) {
        debug_log(&v, "service absent or no reader: %d", devices);
        return PAM_AUTHINFO_UNAVAIL;
    }
    v.owner = owner;

    char user_id[128];
    if (find_user_id(bus, owner, user, deadline, user_id, sizeof user_id) <= 0) {
        debug_log(&v, "no fingers enrolled for %s", user);
        return PAM_AUTHINFO_UNAVAIL;
    }
    v.user_id = user_id;

    if (sd_bus_match_signal(bus, &status_slot, owner, TVP_BUS_OBJECT_PATH, TVP_BUS_INTERFACE,
                            TVP_SIGNAL_VERIFY_STATUS_CHANGED, on_verify_status, &v) < 0) {
        return PAM_AUTHINFO_UNAVAIL;
    }
    __attribute__((cleanup(sigint_watch_stop))) struct sigint_watch sigint;
    sigint_watch_start(&sigint);
    if (sd_bus_call_method_async(bus, &call_slot, owner, TVP_BUS_OBJECT_PATH, TVP_BUS_INTERFACE,
                                 TVP_METHOD_VERIFY, on_verify_reply, &v, "si", user_id,
                                 (int32_t)opt->max_tries) < 0) {
        return PAM_AUTHINFO_UNAVAIL;
    }
    wait_for_result(bus, &v, deadline, sigint.fds[0]);
    if (v.result == PAM_MAXTRIES) {
        drain_received(bus);
    }
    /* Only a verification the service accepted and still runs is stopped: after
     * a refusal the running operation is someone else's (and the module may run
     * as root, who may stop anything). */
    if (v.replied && !v.ended_by_service && !v.service_gone && v.result != PAM_SUCCESS) {
        verify_stop(bus, owner);
    } else if (v.result != PAM_SUCCESS) {
        debug_log(&v, "no stop: the service holds no verification of ours");
    }
    debug_log(&v, "result %d for %s", v.result, user_id);
    return v.result;
}

__attribute__((visibility("default"))) PAM_EXTERN int pam_sm_authenticate(pam_handle_t *pamh, int flags,
                                                                          int argc, const char **argv)
{
    struct options opt;
    parse_options(pamh, argc, argv, &opt);
    return authenticate(pamh, flags, &opt);
}

__attribute__((visibility("default"))) PAM_EXTERN int pam_sm_setcred(pam_handle_t *pamh, int flags, int argc,
                                                                     const char **argv)
{
    (void)pamh;
    (void)flags;
    (void)argc;
    (void)argv;
    return PAM_SUCCESS;
}

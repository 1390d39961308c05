#include "unprivileged_client.h"

#include "tirvane-generated.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gio/gio.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace tvtest
{

namespace
{

constexpr const char *kClientModeVariable = "TIRVANE_E2E_UNPRIVILEGED_CLIENT";
constexpr const char *kClientUidVariable = "TIRVANE_E2E_UNPRIVILEGED_UID";
// A line the client answers itself, with its connection's unique bus name.
constexpr const char *kUniqueNameRequest = "uniqueName";

// ---- The client side ------------------------------------------------------------
//
// A verification belongs to the connection that started it: a caller that leaves
// the bus has its operation stopped. To stop its own verification the caller must
// stay connected between the two calls, so the test binary doubles as a client
// that keeps one connection as "nobody" and runs one call per line read from its
// standard input. It is chosen before main (and before GLib starts a thread) when
// the variable above is set.

// The call's arguments from the words after the method name, by the method's
// input signature; null when they do not fit it.
GVariant *client_args(const std::string &method, const std::vector<std::string> &words)
{
    GDBusMethodInfo *info = g_dbus_interface_info_lookup_method(tirvane_interface_info(), method.c_str());
    if (info == nullptr) {
        return nullptr;
    }
    size_t n_args = 0;
    while (info->in_args != nullptr && info->in_args[n_args] != nullptr) {
        ++n_args;
    }
    if (n_args != words.size()) {
        return nullptr;
    }
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_TUPLE);
    for (size_t i = 0; i < n_args; ++i) {
        if (strcmp(info->in_args[i]->signature, "i") == 0) {
            g_variant_builder_add(&builder, "i", static_cast<gint32>(strtol(words[i].c_str(), nullptr, 10)));
        } else {
            g_variant_builder_add(&builder, "s", words[i].c_str());
        }
    }
    return g_variant_builder_end(&builder);
}

// A call to the desktop interface's device: "fprint.METHOD ARG...", every
// argument a string, '' standing for the empty one.
constexpr const char *kFprintPrefix = "fprint.";

GVariant *fprint_args(const std::vector<std::string> &words)
{
    if (words.empty()) {
        return nullptr;
    }
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_TUPLE);
    for (const std::string &word : words) {
        g_variant_builder_add(&builder, "s", word == "''" ? "" : word.c_str());
    }
    return g_variant_builder_end(&builder);
}

std::vector<std::string> words_of(const std::string &text)
{
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t space = text.find(' ', start);
        const size_t end = space == std::string::npos ? text.size() : space;
        if (end > start) {
            words.push_back(text.substr(start, end - start));
        }
        if (space == std::string::npos) {
            break;
        }
        start = space + 1;
    }
    return words;
}

// One line of answer: newlines inside a message would end it early.
std::string one_line(const char *text)
{
    std::string out = text != nullptr ? text : "";
    for (char &c : out) {
        if (c == '\n') {
            c = ' ';
        }
    }
    return out;
}

[[noreturn]] void run_unprivileged_client()
{
    const char *uid_text = getenv(kClientUidVariable);
    const auto uid = static_cast<uid_t>(uid_text != nullptr ? strtoul(uid_text, nullptr, 10) : kNobody);
    if (uid == 0 || setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
        printf("error cannot become nobody: %s\n", strerror(errno));
        fflush(stdout);
        _exit(2);
    }
    g_autoptr(GError) error = nullptr;
    const char *address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    g_autoptr(GDBusConnection) bus = g_dbus_connection_new_for_address_sync(
        address != nullptr ? address : "",
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (bus == nullptr) {
        printf("error %s\n", error->message);
        fflush(stdout);
        _exit(2);
    }
    char line[512];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        std::vector<std::string> words = words_of(line);
        if (words.empty()) {
            continue;
        }
        const std::string method = words.front();
        words.erase(words.begin());
        if (method == kUniqueNameRequest) {
            printf("ok %s\n", g_dbus_connection_get_unique_name(bus));
            fflush(stdout);
            continue;
        }
        g_autoptr(GError) call_error = nullptr;
        g_autoptr(GVariant) reply = nullptr;
        if (method.rfind(kFprintPrefix, 0) == 0) {
            reply = g_dbus_connection_call_sync(
                bus, "net.reactivated.Fprint", "/net/reactivated/Fprint/Device/0",
                "net.reactivated.Fprint.Device", method.c_str() + strlen(kFprintPrefix), fprint_args(words),
                nullptr, G_DBUS_CALL_FLAGS_NONE, UnprivilegedClient::kCallTimeoutMs, nullptr, &call_error);
        } else {
            reply = g_dbus_connection_call_sync(bus, "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane",
                                                "nuvex.kal.Tirvane", method.c_str(),
                                                client_args(method, words), nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                UnprivilegedClient::kCallTimeoutMs, nullptr, &call_error);
        }
        if (reply != nullptr) {
            g_autofree char *text = g_variant_print(reply, FALSE);
            printf("ok %s\n", one_line(text).c_str());
        } else {
            g_autofree char *name = g_dbus_error_get_remote_error(call_error);
            g_dbus_error_strip_remote_error(call_error);
            printf("error %s %s\n", name != nullptr ? name : "local", one_line(call_error->message).c_str());
        }
        fflush(stdout);
    }
    _exit(0);
}

[[gnu::constructor]] void choose_client_mode()
{
    const char *mode = getenv(kClientModeVariable);
    if (mode != nullptr && strcmp(mode, "1") == 0) {
        run_unprivileged_client();
    }
}

} // namespace

// ---- The test side --------------------------------------------------------------

UnprivilegedClient::UnprivilegedClient(const std::string &bus_address, uid_t uid)
{
    int to_child[2] = {-1, -1};
    int from_child[2] = {-1, -1};
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) {
        if (strncmp(*e, "DBUS_SYSTEM_BUS_ADDRESS=", 24) != 0) {
            env_text.emplace_back(*e);
        }
    }
    env_text.push_back(std::string(kClientModeVariable) + "=1");
    env_text.push_back(std::string(kClientUidVariable) + "=" + std::to_string(uid));
    env_text.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + bus_address);
    std::vector<char *> envp;
    for (auto &e : env_text) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char *argv[] = {self, nullptr};
    if (posix_spawn(&pid_, self, &actions, nullptr, argv, envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);
    in_ = to_child[1];
    out_ = from_child[0];
}

UnprivilegedClient::~UnprivilegedClient()
{
    if (in_ >= 0) {
        close(in_); // the client ends at the end of its input
    }
    if (out_ >= 0) {
        close(out_);
    }
    if (pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

bool UnprivilegedClient::send(const std::string &line)
{
    const std::string text = line + "\n";
    return pid_ > 0 && write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::string UnprivilegedClient::answer(int timeout_ms)
{
    detail_.clear();
    std::string text;
    char c = 0;
    while (true) {
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, timeout_ms) <= 0 || read(out_, &c, 1) != 1) {
            return "no answer";
        }
        if (c == '\n') {
            break;
        }
        text += c;
    }
    // "ok DETAIL" or "error NAME DETAIL".
    const size_t first = text.find(' ');
    const size_t cut =
        text.rfind("error", 0) == 0 && first != std::string::npos ? text.find(' ', first + 1) : first;
    if (cut == std::string::npos) {
        return text;
    }
    detail_ = text.substr(cut + 1);
    return text.substr(0, cut);
}

std::string UnprivilegedClient::unique_name()
{
    return call(kUniqueNameRequest) == "ok" ? detail_ : "";
}

std::string UnprivilegedClient::call(const std::string &line, int timeout_ms)
{
    if (!send(line)) {
        return "no answer";
    }
    return answer(timeout_ms);
}

} // namespace tvtest

// A pamtester-style round with pam_tirvane.so, twenty times: pam_start to the
// "place your finger" prompt (bus connection, device and finger checks, the
// verify call), and the touch to PAM_SUCCESS (the module's identification, the
// service's match signal, the module's wake-up). Prints medians; asserts nothing.
#include "bench_support.h"

#include <atomic>
#include <cstring>
#include <security/pam_appl.h>
#include <thread>
#include <unistd.h>

using tvbench::Clock;

namespace
{

const char *const kPlace = "Place your finger on the fingerprint reader";
constexpr int kRounds = 20;

struct Round {
    std::atomic<bool> prompted{false};
    std::atomic<bool> done{false};
    Clock::time_point prompt_at;
    Clock::time_point done_at;
    int result = -1;
};

int converse(int n, const struct pam_message **msg, struct pam_response **resp, void *data)
{
    auto *round = static_cast<Round *>(data);
    *resp = static_cast<pam_response *>(calloc(static_cast<size_t>(n), sizeof(pam_response)));
    for (int i = 0; i < n; ++i) {
        if (msg[i]->msg != nullptr && strcmp(msg[i]->msg, kPlace) == 0 && !round->prompted) {
            round->prompt_at = Clock::now();
            round->prompted = true;
        }
    }
    return *resp != nullptr ? PAM_SUCCESS : PAM_BUF_ERR;
}

void authenticate(Round *round)
{
    const struct pam_conv conv = {converse, round};
    pam_handle_t *pamh = nullptr;
    int r = pam_start("tirvane-bench", "alice", &conv, &pamh);
    if (r == PAM_SUCCESS) {
        r = pam_authenticate(pamh, 0);
    }
    round->done_at = Clock::now();
    if (pamh != nullptr) {
        pam_end(pamh, r);
    }
    round->result = r;
    round->done = true;
}

} // namespace

int main(int, char **argv)
{
    const std::string wrapper = TIRVANE_PAM_WRAPPER_LIBRARY;
    if (getenv("PAM_WRAPPER") == nullptr) {
        if (wrapper.empty() || access(wrapper.c_str(), R_OK) != 0) {
            fprintf(stderr, "pam_bench: needs pam_wrapper (libpam-wrapper)\n");
            return 77;
        }
        setenv("PAM_WRAPPER", "1", 1);
        setenv("PAM_WRAPPER_SERVICE_DIR", TIRVANE_PAM_SERVICE_DIR, 1);
        setenv("LD_PRELOAD", wrapper.c_str(), 1);
        execv("/proc/self/exe", argv);
        perror("execv");
        return 1;
    }

    tvtest::ServiceHarness h;
    tvtest::DaemonOptions options;
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=1\nAutoSuspend=0\nUpgradeFlag=0\n";
    options.list_conf = "[UserFprint-1]\nenable=true\nuser_id=alice\nfprint_name=thumb\nfprint_id=90\n";
    options.write_list_conf = true;
    if (!h.start(options) || !h.emu().ok("store 90 alice-thumb")) {
        fprintf(stderr, "pam_bench: the service did not start: %s\n", h.error.c_str());
        return 1;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", h.bus_address().c_str(), 1);
    unsetenv("SSH_CONNECTION");

    std::vector<double> to_prompt;
    std::vector<double> to_success;
    int failures = 0;
    for (int i = 0; i < kRounds; ++i) {
        // Each round starts with the reader idle.
        h.wait_for([&] { return h.emu().command("pending").find("none") != std::string::npos; }, 5000);
        Round round;
        const auto begin = Clock::now();
        std::thread pam(authenticate, &round);
        const bool waiting =
            h.wait_for([&] { return round.prompted.load() || round.done.load(); }, 5000) && round.prompted &&
            h.wait_for([&] { return h.emu().command("pending").find("identify") != std::string::npos; },
                       5000);
        Clock::time_point touched{};
        if (waiting) {
            // Past the service's 80 ms floor of a match that follows verify at
            // once: no person touches that soon after the prompt.
            h.pump(150);
            touched = Clock::now();
            h.emu().ok("touch alice-thumb");
        }
        h.wait_for([&] { return round.done.load(); }, 15000);
        pam.join();
        if (!waiting || round.result != PAM_SUCCESS) {
            ++failures;
            continue;
        }
        to_prompt.push_back(tvbench::millis(round.prompt_at - begin));
        to_success.push_back(tvbench::millis(round.done_at - touched));
    }

    const auto start = tvbench::figures_of(to_prompt);
    const auto match = tvbench::figures_of(to_success);
    printf("pam_tirvane, %d rounds (%d failed), milliseconds\n", kRounds, failures);
    printf("  pam_start -> \"place your finger\": median %.1f  p90 %.1f  min %.1f  max %.1f  (goal < 100)\n",
           start.median, start.p90, start.min, start.max);
    printf("  touch -> PAM_SUCCESS:             median %.1f  p90 %.1f  min %.1f  max %.1f  (goal < 150)\n",
           match.median, match.p90, match.min, match.max);
    return failures == 0 ? 0 : 1;
}

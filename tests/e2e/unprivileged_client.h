// A client of the service that runs as an unprivileged user ("nobody", uid
// 65534, unless another uid is given) on one bus connection it keeps, driven
// line by line from the test.
#pragma once

#include <string>
#include <sys/types.h>

namespace tvtest
{

constexpr uid_t kNobody = 65534;

// The test binary itself, run again as "nobody": each line sent is one call,
// "METHOD ARG...", whose arguments are read by the method's signature in the
// interface description (strings as they stand, integers in decimal); the
// answer is "ok" or "error NAME", with the reply or the error's message kept
// as detail(). A line "fprint.METHOD ARG..." calls the desktop interface's
// device instead, with string arguments ('' for the empty one).
class UnprivilegedClient
{
  public:
    explicit UnprivilegedClient(const std::string &bus_address, uid_t uid = kNobody);
    ~UnprivilegedClient();
    UnprivilegedClient(const UnprivilegedClient &) = delete;
    UnprivilegedClient &operator=(const UnprivilegedClient &) = delete;

    // Runs one call and returns "ok", "error NAME", or "no answer".
    std::string call(const std::string &line, int timeout_ms = kAnswerWaitMs);
    // Sends one call without waiting; its answer is taken with answer().
    bool send(const std::string &line);
    // The answer of the oldest call sent and not yet answered, as call() gives it.
    std::string answer(int timeout_ms = kAnswerWaitMs);
    // The client's unique name on the bus (empty when it did not say).
    std::string unique_name();
    // The reply's text (after "ok") or the error's message (after "error").
    const std::string &detail() const
    {
        return detail_;
    }

    // Each call the client makes gives up after this long (longer than the bus's
    // 25 s default, so a denial at the service's own bound arrives first).
    static constexpr int kCallTimeoutMs = 30 * 1000;
    static constexpr int kAnswerWaitMs = kCallTimeoutMs + 5 * 1000;

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string detail_;
};

} // namespace tvtest

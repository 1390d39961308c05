#include "fprint-main-loop.h"

#include <deque>
#include <gio/gio.h>
#include <mutex>

namespace
{

std::mutex queue_mutex;
std::deque<std::function<void()>> queue;

gboolean run_queued(gpointer)
{
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            if (queue.empty()) {
                break;
            }
            work = std::move(queue.front());
            queue.pop_front();
        }
        work();
    }
    return G_SOURCE_REMOVE;
}

} // namespace

void fprint_on_main_loop(std::function<void()> work)
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        queue.push_back(std::move(work));
    }
    g_main_context_invoke(nullptr, run_queued, nullptr);
}

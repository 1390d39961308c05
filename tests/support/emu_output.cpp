#include "emu_output.h"

#include <algorithm>
#include <cstring>

namespace tirvane::emu
{

void OutputQueue::push(Bytes bytes, bool split, Clock::time_point ready_at)
{
    if (bytes.empty())
        return;
    if (split && bytes.size() > 1) {
        size_t half = bytes.size() / 2;
        Bytes first(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(half));
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(half));
        segments_.push_back({std::move(first), 0, true, ready_at});
    }
    segments_.push_back({std::move(bytes), 0, false, ready_at});
}

void OutputQueue::push_alone(Bytes bytes)
{
    if (!bytes.empty())
        segments_.push_back({std::move(bytes), 0, true, {}});
}

size_t OutputQueue::size() const
{
    size_t total = 0;
    for (const auto &s : segments_)
        total += s.bytes.size() - s.pos;
    return total;
}

size_t OutputQueue::take(uint8_t *dst, size_t max, Clock::time_point now)
{
    size_t done = 0;
    while (done < max && !segments_.empty()) {
        Segment &s = segments_.front();
        if (s.ready_at > now)
            break;
        size_t n = std::min(max - done, s.bytes.size() - s.pos);
        std::memcpy(dst + done, s.bytes.data() + s.pos, n);
        s.pos += n;
        done += n;
        if (s.pos < s.bytes.size())
            break;
        bool boundary = s.boundary_after;
        segments_.pop_front();
        if (boundary)
            break;
    }
    return done;
}

} // namespace tirvane::emu

// The module's pending output towards the host: a byte queue with optional read boundaries and
// release times. A read takes as many bytes as it may, but never crosses a boundary, so an answer
// can be made to arrive in two reads; bytes not yet released (a late answer) hold back everything
// queued after them, as in a FIFO.
#pragma once

#include "emu_util.h"

#include <chrono>
#include <cstddef>
#include <deque>

namespace tirvane::emu
{

class OutputQueue
{
  public:
    // Queues bytes; with split set they are delivered in two reads (first half, then the rest).
    // They become readable at `ready_at` (default: at once).
    void push(Bytes bytes, bool split = false, Clock::time_point ready_at = {});
    // Queues bytes with a read boundary after them.
    void push_alone(Bytes bytes);
    bool empty() const
    {
        return segments_.empty();
    }
    // Some bytes can be read now.
    bool ready(Clock::time_point now) const
    {
        return !segments_.empty() && segments_.front().ready_at <= now;
    }
    size_t size() const;
    // Moves at most max bytes released by `now` into dst; stops early at a boundary or at bytes
    // not released yet. Returns the count.
    size_t take(uint8_t *dst, size_t max, Clock::time_point now);
    void clear()
    {
        segments_.clear();
    }

  private:
    struct Segment {
        Bytes bytes;
        size_t pos = 0;
        bool boundary_after = false;
        Clock::time_point ready_at;
    };
    std::deque<Segment> segments_;
};

} // namespace tirvane::emu

// The module's pending output towards the host: a byte queue with optional read boundaries.
// A read takes as many bytes as it may, but never crosses a boundary, so an answer can be made to
// arrive in two reads.
#pragma once

#include "emu_util.h"

#include <cstddef>
#include <deque>

namespace tirvane::emu
{

class OutputQueue
{
  public:
    // Queues bytes; with split set they are delivered in two reads (first half, then the rest).
    void push(Bytes bytes, bool split = false);
    bool empty() const
    {
        return segments_.empty();
    }
    size_t size() const;
    // Moves at most max bytes into dst; stops early at a boundary. Returns the count.
    size_t take(uint8_t *dst, size_t max);
    void clear()
    {
        segments_.clear();
    }

  private:
    struct Segment {
        Bytes bytes;
        size_t pos = 0;
        bool boundary_after = false;
    };
    std::deque<Segment> segments_;
};

} // namespace tirvane::emu

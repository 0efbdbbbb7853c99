#include "net/rate_floor.h"

namespace {

const std::uint64_t sample_spacing_ms = 1000;

}  // namespace

RateFloor::RateFloor(std::uint64_t start_ms) : samples{{start_ms, 0}}, start_ms(start_ms) {}

bool RateFloor::keeps_up(std::uint64_t now_ms, std::uint64_t received)
{
    if (samples.size() >= 2 && now_ms - samples[samples.size() - 2].at_ms < sample_spacing_ms)
        samples.back() = {now_ms, received};
    else
        samples.push_back({now_ms, received});
    if (now_ms - start_ms < rate_floor_window_ms)
        return true;
    std::uint64_t window_start = now_ms - rate_floor_window_ms;
    while (samples.size() >= 2 && samples[1].at_ms <= window_start)
        samples.pop_front();
    return received - samples.front().received >= rate_floor_bytes;
}

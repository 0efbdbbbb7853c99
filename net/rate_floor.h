// The slowest pace a body may keep. A bound on each read alone lets a
// server send one byte just before every time-out, for ever; this bounds the
// whole transfer.
#pragma once

#include <cstdint>
#include <deque>

// At least rate_floor_bytes in every rate_floor_window_ms: 1 KiB/s on average.
const std::uint64_t rate_floor_window_ms = 60000;
const std::uint64_t rate_floor_bytes = 60 * 1024;

class RateFloor {
public:
    explicit RateFloor(std::uint64_t start_ms);

    // Records that received bytes in all had arrived by now_ms (times never
    // go back); false when the window that ends now, once one fits after the
    // start, brought fewer than rate_floor_bytes.
    bool keeps_up(std::uint64_t now_ms, std::uint64_t received);

private:
    struct Sample {
        std::uint64_t at_ms;
        std::uint64_t received;
    };

    // Observations at least a second apart, the newest replaced until the
    // next second begins, reaching back to the last one before the window:
    // a few dozen whatever the number of reads. Leaving some out only ever
    // counts the window's bytes from an earlier, lower total.
    std::deque<Sample> samples;
    std::uint64_t start_ms;
};

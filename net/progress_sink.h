// What a transfer needs from whoever watches it: to be told what has
// arrived, to let the window be serviced, and to learn whether the user has
// cancelled. The progress windows implement it; the transfer knows nothing
// more of them.
#pragma once

#include <cstddef>

class ProgressSink {
public:
    virtual ~ProgressSink() = default;

    // After every read, before the pump: the body now holds held bytes of
    // the most it may hold (bytes of earlier requests for it included).
    virtual void bytes_arrived(std::size_t held, std::size_t most) = 0;
    // Services the window; false when a quit message was taken.
    virtual bool pump_messages() = 0;
    // Asked after every pump.
    virtual bool is_cancelled() const = 0;
};

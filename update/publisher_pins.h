// The publishers whose programs the updater installs, compiled into each
// program from a source file of its own that CMake writes from
// UPDATE_PUBLISHER_PINS (cmake/PublisherPins.cmake).
#pragma once

#include <array>
#include <cstddef>

// The SHA-256 of a certificate's SubjectPublicKeyInfo (DER): it names a key,
// so it holds across every certificate issued for that key.
using PublisherPin = std::array<unsigned char, 32>;

struct PublisherPins {
    const PublisherPin* pins;
    std::size_t count;
};

// Empty in a program built without pins: it checks no code signature.
extern const PublisherPins publisher_pins;

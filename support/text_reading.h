// Reading text from an input device handle. None of these throws when the
// handle holds no device: that reads as end of input.
#pragma once

#include <cstdint>
#include <string>

#include "support/smart_ptr_nocopy.h"
#include "support/text_devices.h"

// The next character (0..255) or -1 at end of input. With line mode 1, CR and
// CR LF come back as one LF. Updates the device's position counters.
int read_char(smart_ptr_nocopy<ibuff>& input);

// Consumes blanks: space, tab, LF, vertical tab, form feed and CR.
void skip_blanks(smart_ptr_nocopy<ibuff>& input);

// The next blank-delimited word, empty at end of input. The blank after it is
// left unread.
std::string read_word(smart_ptr_nocopy<ibuff>& input);

// Reads a word and converts it with automatic radix ("0x1A", "16#1a", "-26");
// an empty word gives 0. A word that is no number leaves target unchanged and
// sets format_error on the device.
smart_ptr_nocopy<ibuff>& read_integer(smart_ptr_nocopy<ibuff>& input, std::int32_t& target);

// libFuzzer target: any bytes as a source and a VCDIFF patch, the source's
// size in the first 4 bytes (little-endian, cut to what follows). The
// decoder must refuse or apply without reading past either, and never make
// more than its limit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/vcdiff_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    const std::size_t stated = data[0] | data[1] << 8 | data[2] << 16 | std::size_t(data[3]) << 24;
    const char* rest = reinterpret_cast<const char*>(data + 4);
    const std::size_t source_size = std::min(stated, size - 4);
    const std::size_t limit = 1024 * 1024;
    std::string target;
    if (apply_vcdiff_patch(std::string_view(rest, source_size),
                           std::string_view(rest + source_size, size - 4 - source_size), limit,
                           target) &&
        target.size() > limit)
        std::abort();
    return 0;
}

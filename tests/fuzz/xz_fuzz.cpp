// libFuzzer target: any bytes as an .xz stream. The decoder must refuse or
// decode without reading past them, and never make more than its limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/xz_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t limit = 1024 * 1024;
    std::string made;
    if (decode_xz(std::string_view(reinterpret_cast<const char*>(data), size), limit, made) &&
        made.size() > limit)
        std::abort();
    return 0;
}

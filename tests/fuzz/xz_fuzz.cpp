// libFuzzer target: any bytes as an .xz stream. The decoder must refuse or
// decode without reading past them, and never make more than its limit;
// decoding them as they arrive must come to the same end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/xz_decoder.h"

namespace {

// Hands the stream's bytes over only as far as the decoder waits for them;
// the rest of its copy holds other bytes, so a decoder that read ahead would
// decode something else.
class Trickle final : public ArrivingBytes {
public:
    explicit Trickle(std::string_view source) : source_(source), copy_(source.size(), '\xAA') {}

    std::size_t wait_for(std::size_t count) override
    {
        count = std::min(count, source_.size());
        if (count > there_) {
            std::copy(source_.begin() + there_, source_.begin() + count, copy_.begin() + there_);
            there_ = count;
        }
        return there_;
    }

    std::string_view copy() const { return copy_; }

private:
    std::string_view source_;
    std::string copy_;
    std::size_t there_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t limit = 1024 * 1024;
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    std::string made;
    const bool decoded = decode_xz(stream, limit, made);
    if (decoded && made.size() > limit)
        std::abort();
    Trickle trickle(stream);
    std::string made_arriving;
    if (decode_xz(trickle.copy(), trickle, limit, made_arriving) != decoded ||
        (decoded && made_arriving != made))
        std::abort();
    return 0;
}

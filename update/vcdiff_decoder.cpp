#include "update/vcdiff_decoder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>

namespace {

const unsigned char magic[4] = {0xD6, 0xC3, 0xC4, 0x00};

// The one header indicator bit known here; the others announce secondary
// compression and a code table of the patch's own.
const unsigned char vcd_appheader = 0x04;

// A window's indicator bits; the checksum is the encoder's addition to the
// format, an Adler-32 of the window's target bytes.
const unsigned char vcd_source = 0x01;
const unsigned char vcd_target = 0x02;
const unsigned char vcd_adler32 = 0x04;

// Bytes and the format's integers (base 128, most significant digit first,
// the top bit set on every byte but the last) from a span of the patch,
// never read past its end.
class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const char* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t left() const { return size_ - at_; }

    bool read_byte(unsigned char& byte)
    {
        if (at_ == size_)
            return false;
        byte = static_cast<unsigned char>(data_[at_++]);
        return true;
    }

    bool read_integer(std::uint64_t& value)
    {
        value = 0;
        unsigned char byte = 0;
        do {
            if (value > (UINT64_MAX >> 7) || !read_byte(byte))
                return false;
            value = (value << 7) | (byte & 0x7F);
        } while (byte & 0x80);
        return true;
    }

    bool read_bytes(std::uint64_t count, const char*& bytes)
    {
        if (count > left())
            return false;
        bytes = data_ + at_;
        at_ += static_cast<std::size_t>(count);
        return true;
    }

    // The next count bytes as a reader of their own, skipped in this one.
    bool read_part(std::uint64_t count, ByteReader& part)
    {
        const char* bytes = nullptr;
        if (!read_bytes(count, bytes))
            return false;
        part = ByteReader(bytes, static_cast<std::size_t>(count));
        return true;
    }

private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t at_ = 0;
};

enum InstructionType : unsigned char { noop, add, run, copy };

// A size of 0 means that the size follows in the instructions section.
struct Instruction {
    InstructionType type = noop;
    unsigned char size = 0;
    unsigned char mode = 0;
};

struct CodePair {
    Instruction first;
    Instruction second;
};

using CodeTable = std::array<CodePair, 256>;

// The format's default code table, row by row as the RFC lists it.
CodeTable make_default_code_table()
{
    CodeTable table{};
    std::size_t i = 0;
    table[i++] = {{run, 0, 0}, {}};
    for (unsigned char size = 0; size <= 17; ++size)
        table[i++] = {{add, size, 0}, {}};
    for (unsigned char mode = 0; mode <= 8; ++mode) {
        table[i++] = {{copy, 0, mode}, {}};
        for (unsigned char size = 4; size <= 18; ++size)
            table[i++] = {{copy, size, mode}, {}};
    }
    for (unsigned char mode = 0; mode <= 5; ++mode)
        for (unsigned char add_size = 1; add_size <= 4; ++add_size)
            for (unsigned char copy_size = 4; copy_size <= 6; ++copy_size)
                table[i++] = {{add, add_size, 0}, {copy, copy_size, mode}};
    for (unsigned char mode = 6; mode <= 8; ++mode)
        for (unsigned char add_size = 1; add_size <= 4; ++add_size)
            table[i++] = {{add, add_size, 0}, {copy, 4, mode}};
    for (unsigned char mode = 0; mode <= 8; ++mode)
        table[i++] = {{copy, 4, mode}, {add, 1, 0}};
    return table;
}

const CodeTable& default_code_table()
{
    static const CodeTable table = make_default_code_table();
    return table;
}

// The recent COPY addresses that the modes after SELF and HERE refer to:
// four kept in turn (near) and 3 * 256 kept by address modulo their count
// (same). Each window starts with empty caches.
class AddressCache {
public:
    // A COPY's address in its mode, below here, the address of the byte it
    // writes first.
    bool read_address(unsigned mode, std::uint64_t here, ByteReader& addresses,
                      std::uint64_t& address)
    {
        const unsigned first_same_mode = 2 + near_count;
        if (mode >= first_same_mode) {
            unsigned char byte = 0;
            if (!addresses.read_byte(byte))
                return false;
            address = same_[(mode - first_same_mode) * 256 + byte];
        } else {
            std::uint64_t value = 0;
            if (!addresses.read_integer(value))
                return false;
            if (mode == 0)
                address = value;
            else if (mode == 1)
                address = here - value;  // past here, and refused, when value > here
            else if (value > UINT64_MAX - near_[mode - 2])
                return false;
            else
                address = near_[mode - 2] + value;
        }
        if (address >= here)
            return false;
        near_[next_near_] = address;
        next_near_ = (next_near_ + 1) % near_count;
        same_[address % same_.size()] = address;
        return true;
    }

private:
    static const unsigned near_count = 4;
    std::array<std::uint64_t, near_count> near_{};
    unsigned next_near_ = 0;
    std::array<std::uint64_t, 3 * 256> same_{};
};

// What a window's COPY addresses below its target bytes refer to: a part of
// the source file or of the target made by earlier windows.
struct Segment {
    bool in_target = false;
    std::uint64_t start = 0;
    std::uint64_t size = 0;
};

// Runs one window's instructions, appending its bytes to target.
class WindowDecoder {
public:
    WindowDecoder(std::string_view source, const Segment& segment, std::uint64_t size,
                  std::string& target)
        : source_(source), segment_(segment), start_(target.size()), size_(size), target_(target)
    {
    }

    bool decode(ByteReader data, ByteReader instructions, ByteReader addresses)
    {
        data_ = data;
        addresses_ = addresses;
        const CodeTable& table = default_code_table();
        unsigned char index = 0;
        while (instructions.read_byte(index)) {
            if (!execute(table[index].first, instructions) ||
                !execute(table[index].second, instructions))
                return false;
        }
        return written() == size_ && data_.left() == 0 && addresses_.left() == 0;
    }

private:
    std::uint64_t written() const { return target_.size() - start_; }

    bool execute(const Instruction& instruction, ByteReader& instructions)
    {
        if (instruction.type == noop)
            return true;
        std::uint64_t size = instruction.size;
        if (size == 0 && !instructions.read_integer(size))
            return false;
        if (size > size_ - written())
            return false;
        if (instruction.type == add) {
            const char* bytes = nullptr;
            if (!data_.read_bytes(size, bytes))
                return false;
            target_.append(bytes, static_cast<std::size_t>(size));
        } else if (instruction.type == run) {
            unsigned char byte = 0;
            if (!data_.read_byte(byte))
                return false;
            target_.append(static_cast<std::size_t>(size), static_cast<char>(byte));
        } else {
            std::uint64_t address = 0;
            if (!cache_.read_address(instruction.mode, segment_.size + written(), addresses_,
                                     address))
                return false;
            copy_bytes(address, size);
        }
        return true;
    }

    // Addresses run through the segment, then through the window's target
    // bytes, which this copy may itself be writing.
    void copy_bytes(std::uint64_t address, std::uint64_t size)
    {
        if (address < segment_.size) {
            const std::uint64_t part = std::min(size, segment_.size - address);
            const auto at = static_cast<std::size_t>(segment_.start + address);
            if (segment_.in_target)
                target_.append(target_, at, static_cast<std::size_t>(part));
            else
                target_.append(source_.data() + at, static_cast<std::size_t>(part));
            address += part;
            size -= part;
        }
        // What the copy writes repeats the bytes from 'from' to the end, so
        // each step may append all of them: the steps double in length.
        const std::size_t from = start_ + static_cast<std::size_t>(address - segment_.size);
        while (size > 0) {
            const std::size_t part =
                static_cast<std::size_t>(std::min<std::uint64_t>(size, target_.size() - from));
            target_.append(target_, from, part);
            size -= part;
        }
    }

    const std::string_view source_;
    const Segment segment_;
    const std::size_t start_;
    const std::uint64_t size_;
    std::string& target_;
    ByteReader data_;
    ByteReader addresses_;
    AddressCache cache_;
};

std::uint32_t adler32(const char* bytes, std::size_t size)
{
    const std::uint32_t modulus = 65521;
    std::uint32_t low = 1;
    std::uint32_t high = 0;
    for (std::size_t i = 0; i < size; ++i) {
        low = (low + static_cast<unsigned char>(bytes[i])) % modulus;
        high = (high + low) % modulus;
    }
    return (high << 16) | low;
}

bool read_big_endian(ByteReader& reader, std::uint32_t& value)
{
    const char* bytes = nullptr;
    if (!reader.read_bytes(4, bytes))
        return false;
    value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return true;
}

// The magic bytes and the header indicator; an application header is
// skipped.
bool read_header(ByteReader& patch)
{
    const char* bytes = nullptr;
    unsigned char indicator = 0;
    if (!patch.read_bytes(sizeof magic, bytes) ||
        !std::equal(magic, magic + sizeof magic, bytes,
                    [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); }))
        return false;
    if (!patch.read_byte(indicator) || (indicator & ~vcd_appheader) != 0)
        return false;
    std::uint64_t size = 0;
    return !(indicator & vcd_appheader) ||
           (patch.read_integer(size) && patch.read_bytes(size, bytes));
}

bool read_segment(ByteReader& patch, unsigned char indicator, std::string_view source,
                  const std::string& target, Segment& segment)
{
    if (!(indicator & (vcd_source | vcd_target)))
        return true;
    segment.in_target = (indicator & vcd_target) != 0;
    const std::size_t file_size = segment.in_target ? target.size() : source.size();
    return patch.read_integer(segment.size) && patch.read_integer(segment.start) &&
           segment.size <= file_size && segment.start <= file_size - segment.size;
}

bool decode_window(ByteReader& patch, std::string_view source, std::size_t target_size_limit,
                   std::string& target)
{
    unsigned char indicator = 0;
    Segment segment;
    if (!patch.read_byte(indicator) ||
        (indicator & ~(vcd_source | vcd_target | vcd_adler32)) != 0 ||
        (indicator & (vcd_source | vcd_target)) == (vcd_source | vcd_target) ||
        !read_segment(patch, indicator, source, target, segment))
        return false;
    std::uint64_t delta_size = 0;
    ByteReader delta;
    std::uint64_t size = 0;
    unsigned char delta_indicator = 0;
    std::uint64_t data_size = 0;
    std::uint64_t instructions_size = 0;
    std::uint64_t addresses_size = 0;
    if (!patch.read_integer(delta_size) || !patch.read_part(delta_size, delta) ||
        !delta.read_integer(size) || size > target_size_limit - target.size() ||
        !delta.read_byte(delta_indicator) || delta_indicator != 0 ||
        !delta.read_integer(data_size) || !delta.read_integer(instructions_size) ||
        !delta.read_integer(addresses_size))
        return false;
    std::uint32_t checksum = 0;
    if ((indicator & vcd_adler32) && !read_big_endian(delta, checksum))
        return false;
    ByteReader data;
    ByteReader instructions;
    ByteReader addresses;
    if (!delta.read_part(data_size, data) || !delta.read_part(instructions_size, instructions) ||
        !delta.read_part(addresses_size, addresses) || delta.left() != 0)
        return false;
    const std::size_t start = target.size();
    if (!WindowDecoder(source, segment, size, target).decode(data, instructions, addresses))
        return false;
    return !(indicator & vcd_adler32) ||
           adler32(target.data() + start, target.size() - start) == checksum;
}

}  // namespace

bool apply_vcdiff_patch(std::string_view source, std::string_view patch,
                        std::size_t target_size_limit, std::string& target)
{
    ByteReader reader(patch.data(), patch.size());
    if (!read_header(reader))
        return false;
    target.clear();
    // All the room at once: grown as it fills, the string would ask for up
    // to twice the limit and copy itself on the way.
    if (target_size_limit > target.max_size())
        return false;
    try {
        target.reserve(target_size_limit);
    } catch (const std::bad_alloc&) {
        return false;
    }
    while (reader.left() > 0) {
        if (!decode_window(reader, source, target_size_limit, target))
            return false;
    }
    return true;
}

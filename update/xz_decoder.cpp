#include "update/xz_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

namespace {

// ---- Checks: the reflected CRC32 (IEEE) and CRC64 (ECMA-182), as .xz uses them.

template <typename Word, Word polynomial>
const std::array<Word, 256>& crc_table()
{
    static const std::array<Word, 256> table = [] {
        std::array<Word, 256> made{};
        for (unsigned byte = 0; byte < 256; ++byte) {
            Word crc = byte;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? (crc >> 1) ^ polynomial : crc >> 1;
            made[byte] = crc;
        }
        return made;
    }();
    return table;
}

template <typename Word, Word polynomial>
class Crc {
public:
    void add(const unsigned char* data, std::size_t size)
    {
        const std::array<Word, 256>& table = crc_table<Word, polynomial>();
        for (std::size_t at = 0; at < size; ++at)
            crc_ = table[(crc_ ^ data[at]) & 0xFF] ^ (crc_ >> 8);
    }
    Word value() const { return ~crc_; }

private:
    Word crc_ = ~Word(0);
};

using Crc32 = Crc<std::uint32_t, 0xEDB88320u>;
using Crc64 = Crc<std::uint64_t, 0xC96C5795D7870F42ull>;

std::uint32_t crc32_of(const unsigned char* data, std::size_t size)
{
    Crc32 crc;
    crc.add(data, size);
    return crc.value();
}

std::uint64_t little_endian(const unsigned char* bytes, std::size_t size)
{
    std::uint64_t value = 0;
    while (size-- > 0)
        value = (value << 8) | bytes[size];
    return value;
}

// ---- Reading the stream, never past its end.

class ByteReader {
public:
    ByteReader(const unsigned char* data, std::size_t size) : data_(data), size_(size), there_(size)
    {
    }
    ByteReader(const unsigned char* data, std::size_t size, ArrivingBytes& arriving)
        : data_(data), size_(size), arriving_(&arriving)
    {
    }

    std::size_t position() const { return at_; }
    // The bytes already read from position on.
    const unsigned char* bytes_at(std::size_t position) const { return data_ + position; }
    bool at_end() const { return at_ == size_; }

    bool read(std::size_t count, const unsigned char*& bytes)
    {
        if (count > size_ - at_ || !has_arrived(at_ + count))
            return false;
        bytes = data_ + at_;
        at_ += count;
        return true;
    }

    bool read_byte(unsigned char& byte)
    {
        const unsigned char* bytes = nullptr;
        if (!read(1, bytes))
            return false;
        byte = *bytes;
        return true;
    }

    // The format's integers: 7 bits a byte, least significant first, the
    // top bit set on every byte but the last; at most 9 bytes, no needless
    // zero byte at the end.
    bool read_integer(std::uint64_t& value)
    {
        value = 0;
        for (int count = 0; count < 9; ++count) {
            unsigned char byte = 0;
            if (!read_byte(byte))
                return false;
            value |= std::uint64_t(byte & 0x7F) << (7 * count);
            if (!(byte & 0x80))
                return byte != 0 || count == 0;
        }
        return false;
    }

private:
    bool has_arrived(std::size_t count)
    {
        if (count > there_ && arriving_ != nullptr)
            there_ = std::min(arriving_->wait_for(count), size_);
        return count <= there_;
    }

    const unsigned char* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    ArrivingBytes* arriving_ = nullptr;
    std::size_t there_ = 0;  // the bytes known to have arrived
};

// ---- Where decoded bytes go: through the block's filters to its check.

class Sink {
public:
    virtual bool put(const unsigned char* data, std::size_t size) = 0;

protected:
    ~Sink() = default;
};

enum class Check : unsigned char { none = 0x00, crc32 = 0x01, crc64 = 0x04 };

std::size_t check_size(Check check)
{
    return check == Check::none ? 0 : check == Check::crc32 ? 4 : 8;
}

// A block's bytes, counted against the room left, checked, and appended to
// the file.
class BlockOutput final : public Sink {
public:
    BlockOutput(std::string& made, Check check, std::uint64_t room)
        : made_(made), check_(check), room_(room)
    {
    }

    bool put(const unsigned char* data, std::size_t size) override
    {
        if (size > room_)
            return false;
        room_ -= size;
        count_ += size;
        if (check_ == Check::crc32)
            crc32_.add(data, size);
        else if (check_ == Check::crc64)
            crc64_.add(data, size);
        made_.append(reinterpret_cast<const char*>(data), size);
        return true;
    }

    std::uint64_t count() const { return count_; }

    bool check_matches(const unsigned char* stored) const
    {
        switch (check_) {
        case Check::none:
            return true;
        case Check::crc32:
            return little_endian(stored, 4) == crc32_.value();
        case Check::crc64:
            return little_endian(stored, 8) == crc64_.value();
        }
        return false;
    }

private:
    std::string& made_;
    Check check_;
    std::uint64_t room_;
    std::uint64_t count_ = 0;
    Crc32 crc32_;
    Crc64 crc64_;
};

// The x86 branch filter undone: the 32-bit operand of a CALL or JMP (E8, E9)
// that the encoder made absolute, where its top byte looks like a near
// address (00 or FF) and the bytes before it do not make it doubtful, is
// made relative to the instruction's end again. The last 4 bytes of a block
// are never converted.
class X86Filter final : public Sink {
public:
    explicit X86Filter(Sink& next) : next_(next) {}

    bool put(const unsigned char* data, std::size_t size) override
    {
        while (size > 0) {
            const std::size_t take = std::min(size, buffer_.size() - held_);
            std::memcpy(buffer_.data() + held_, data, take);
            held_ += take;
            data += take;
            size -= take;
            const std::size_t done = convert(buffer_.data(), held_);
            if (!next_.put(buffer_.data(), done))
                return false;
            std::memmove(buffer_.data(), buffer_.data() + done, held_ - done);
            held_ -= done;
        }
        return true;
    }

    bool finish() { return next_.put(buffer_.data(), held_); }

private:
    static bool near_top_byte(unsigned char byte) { return byte == 0x00 || byte == 0xFF; }

    // Converts what it can of the size bytes at buffer, which begin at
    // position_ of the block; returns how many are final. An opcode is
    // converted only with its whole operand at hand.
    std::size_t convert(unsigned char* buffer, std::size_t size)
    {
        static const bool allowed[8] = {true, true, true, false, true, false, false, false};
        static const unsigned byte_of_mask[8] = {0, 1, 2, 2, 3, 3, 3, 3};
        if (size < 5)
            return 0;
        if (position_ - last_opcode_ > 5)
            last_opcode_ = position_ - 5;
        std::size_t at = 0;
        while (at + 5 <= size) {
            if (buffer[at] != 0xE8 && buffer[at] != 0xE9) {
                ++at;
                continue;
            }
            const std::uint32_t here = position_ + static_cast<std::uint32_t>(at);
            const std::uint32_t since = here - last_opcode_;
            last_opcode_ = here;
            if (since > 5) {
                mask_ = 0;
            } else {
                for (std::uint32_t step = 0; step < since; ++step)
                    mask_ = (mask_ & 0x77) << 1;
            }
            unsigned char* operand = buffer + at + 1;
            if (near_top_byte(operand[3]) && allowed[(mask_ >> 1) & 7] && (mask_ >> 1) < 0x10) {
                std::uint32_t value = static_cast<std::uint32_t>(little_endian(operand, 4));
                std::uint32_t relative = 0;
                for (;;) {
                    relative = value - (here + 5);
                    if (mask_ == 0)
                        break;
                    const unsigned shift = 8 * byte_of_mask[(mask_ >> 1) & 7];
                    if (!near_top_byte(static_cast<unsigned char>(relative >> (24 - shift))))
                        break;
                    value = relative ^ ((1u << (32 - shift)) - 1);
                }
                operand[0] = static_cast<unsigned char>(relative);
                operand[1] = static_cast<unsigned char>(relative >> 8);
                operand[2] = static_cast<unsigned char>(relative >> 16);
                operand[3] = (relative >> 24) & 1 ? 0xFF : 0x00;
                at += 5;
                mask_ = 0;
            } else {
                ++at;
                mask_ |= 1;
                if (near_top_byte(operand[3]))
                    mask_ |= 0x10;
            }
        }
        position_ += static_cast<std::uint32_t>(at);
        return at;
    }

    Sink& next_;
    std::array<unsigned char, 65536> buffer_{};
    std::size_t held_ = 0;
    std::uint32_t position_ = 0;
    std::uint32_t last_opcode_ = static_cast<std::uint32_t>(-5);
    std::uint32_t mask_ = 0;
};

// ---- LZMA: a range decoder over one chunk's bytes and the model it drives.

using Probability = std::uint16_t;
const Probability even_probability = 1024;

class RangeDecoder {
public:
    RangeDecoder(const unsigned char* data, std::size_t size) : data_(data), size_(size)
    {
        // The first byte is always 0; a code of all ones cannot be.
        ok_ = next_byte() == 0;
        for (int count = 0; count < 4; ++count)
            code_ = (code_ << 8) | next_byte();
        ok_ = ok_ && code_ != range_;
    }

    unsigned bit(Probability& probability)
    {
        const std::uint32_t bound = (range_ >> 11) * probability;
        unsigned value;
        if (code_ < bound) {
            range_ = bound;
            probability += (2048 - probability) >> 5;
            value = 0;
        } else {
            range_ -= bound;
            code_ -= bound;
            probability -= probability >> 5;
            value = 1;
        }
        normalize();
        return value;
    }

    std::uint32_t direct_bits(unsigned count)
    {
        std::uint32_t value = 0;
        while (count-- > 0) {
            range_ >>= 1;
            const std::uint32_t bit = code_ >= range_ ? 1 : 0;
            if (bit)
                code_ -= range_;
            value = (value << 1) | bit;
            normalize();
        }
        return value;
    }

    bool ok() const { return ok_; }
    // The encoder's flush leaves a code of 0, its last byte the chunk's last.
    bool finished() const { return ok_ && at_ == size_ && code_ == 0; }

private:
    unsigned char next_byte()
    {
        if (at_ == size_) {
            ok_ = false;
            return 0;
        }
        return data_[at_++];
    }

    void normalize()
    {
        if (range_ < (1u << 24)) {
            range_ <<= 8;
            code_ = (code_ << 8) | next_byte();
        }
    }

    const unsigned char* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    std::uint32_t range_ = 0xFFFFFFFFu;
    std::uint32_t code_ = 0;
    bool ok_ = true;
};

// Bits of a symbol coded most significant first along a binary tree of
// probabilities, or least significant first (reverse).
unsigned tree_symbol(Probability* probabilities, unsigned bits, RangeDecoder& range)
{
    unsigned node = 1;
    for (unsigned count = 0; count < bits; ++count)
        node = (node << 1) | range.bit(probabilities[node]);
    return node - (1u << bits);
}

unsigned reverse_tree_symbol(Probability* probabilities, unsigned bits, RangeDecoder& range)
{
    unsigned node = 1;
    unsigned symbol = 0;
    for (unsigned count = 0; count < bits; ++count) {
        const unsigned bit = range.bit(probabilities[node]);
        node = (node << 1) | bit;
        symbol |= bit << count;
    }
    return symbol;
}

template <unsigned bits>
struct BitTree {
    std::array<Probability, (1u << bits)> probabilities;
    void reset() { probabilities.fill(even_probability); }
    unsigned symbol(RangeDecoder& range) { return tree_symbol(probabilities.data(), bits, range); }
    unsigned reverse(RangeDecoder& range)
    {
        return reverse_tree_symbol(probabilities.data(), bits, range);
    }
};

const unsigned position_states = 16;

// A match length less 2: 0-7, 8-15 or 16-271.
struct LengthModel {
    Probability choice;
    Probability choice2;
    std::array<BitTree<3>, position_states> low;
    std::array<BitTree<3>, position_states> middle;
    BitTree<8> high;

    void reset()
    {
        choice = choice2 = even_probability;
        for (unsigned state = 0; state < position_states; ++state) {
            low[state].reset();
            middle[state].reset();
        }
        high.reset();
    }

    unsigned length(RangeDecoder& range, unsigned position_state)
    {
        if (range.bit(choice) == 0)
            return low[position_state].symbol(range);
        if (range.bit(choice2) == 0)
            return 8 + middle[position_state].symbol(range);
        return 16 + high.symbol(range);
    }
};

const unsigned states = 12;
const unsigned first_match_state = 7;  // states below follow a literal
const unsigned literal_coders = 0x300;
const unsigned largest_literal_bits = 4;  // lc + lp in LZMA2
const std::uint32_t end_marker = 0xFFFFFFFFu;

// The dictionary, a ring of the last bytes made, and the LZMA model over it.
// Bytes leave for the sink when the ring wraps and at each chunk's end.
class LzmaDecoder {
public:
    explicit LzmaDecoder(std::size_t dictionary_size)
        : ring_size_(dictionary_size), literals_(literal_coders << largest_literal_bits)
    {
    }

    bool set_properties(unsigned char byte)
    {
        if (byte >= 9 * 5 * 5)
            return false;
        literal_context_ = byte % 9;
        literal_position_ = byte / 9 % 5;
        position_bits_ = byte / 45;
        return literal_context_ + literal_position_ <= largest_literal_bits;
    }

    void reset_dictionary()
    {
        at_ = flushed_ = filled_ = 0;
        made_ = 0;
    }

    void reset_state()
    {
        std::fill(literals_.begin(), literals_.end(), even_probability);
        for (unsigned state = 0; state < states; ++state) {
            for (unsigned position = 0; position < position_states; ++position)
                is_match_[state][position] = is_rep0_long_[state][position] = even_probability;
            is_rep_[state] = is_rep_g0_[state] = is_rep_g1_[state] = is_rep_g2_[state] =
                even_probability;
        }
        for (BitTree<6>& slot : distance_slots_)
            slot.reset();
        distance_specials_.fill(even_probability);
        align_.reset();
        lengths_.reset();
        rep_lengths_.reset();
        state_ = 0;
        reps_ = {0, 0, 0, 0};
    }

    bool put_stored(const unsigned char* data, std::size_t size, Sink& sink)
    {
        for (std::size_t at = 0; at < size; ++at) {
            if (!put(data[at], sink))
                return false;
        }
        return flush(sink);
    }

    bool decode_chunk(const unsigned char* data, std::size_t packed, std::size_t unpacked,
                      Sink& sink)
    {
        RangeDecoder range(data, packed);
        for (std::size_t left = unpacked; left > 0 && range.ok();) {
            if (!decode_symbol(range, left, sink))
                return false;
        }
        return range.finished() && flush(sink);
    }

private:
    // One literal or match: at least one byte, at most left.
    bool decode_symbol(RangeDecoder& range, std::size_t& left, Sink& sink)
    {
        const unsigned position_state = made_ & ((1u << position_bits_) - 1);
        if (range.bit(is_match_[state_][position_state]) == 0) {
            --left;
            return decode_literal(range, sink);
        }
        std::size_t length = 0;
        if (range.bit(is_rep_[state_]) == 0) {
            length = lengths_.length(range, position_state);
            const std::uint32_t distance = decode_distance(range, length);
            if (distance == end_marker)  // LZMA2 chunks end by their size
                return false;
            reps_ = {distance, reps_[0], reps_[1], reps_[2]};
            state_ = state_ < first_match_state ? 7 : 10;
        } else if (range.bit(is_rep_g0_[state_]) == 0) {
            if (range.bit(is_rep0_long_[state_][position_state]) == 0) {
                state_ = state_ < first_match_state ? 9 : 11;
                --left;
                return copy_match(1, sink);
            }
            length = rep_lengths_.length(range, position_state);
            state_ = state_ < first_match_state ? 8 : 11;
        } else {
            unsigned which = 1;
            if (range.bit(is_rep_g1_[state_]) != 0)
                which = range.bit(is_rep_g2_[state_]) == 0 ? 2 : 3;
            const std::uint32_t distance = reps_[which];
            std::copy_backward(reps_.begin(), reps_.begin() + which, reps_.begin() + which + 1);
            reps_[0] = distance;
            length = rep_lengths_.length(range, position_state);
            state_ = state_ < first_match_state ? 8 : 11;
        }
        length += 2;
        if (length > left)
            return false;
        left -= length;
        return copy_match(length, sink);
    }

    bool decode_literal(RangeDecoder& range, Sink& sink)
    {
        const unsigned previous = filled_ > 0 ? byte_back(0) : 0;
        const unsigned coder =
            ((made_ & ((1u << literal_position_) - 1)) << literal_context_) +
            (previous >> (8 - literal_context_));
        Probability* probabilities = &literals_[literal_coders * coder];
        unsigned symbol = 1;
        if (state_ >= first_match_state) {
            // After a match the byte at rep0 guides the first bits, while they agree.
            if (reps_[0] >= filled_)
                return false;
            unsigned match_byte = byte_back(reps_[0]);
            do {
                const unsigned match_bit = (match_byte >> 7) & 1;
                match_byte <<= 1;
                const unsigned bit = range.bit(probabilities[((1 + match_bit) << 8) + symbol]);
                symbol = (symbol << 1) | bit;
                if (bit != match_bit)
                    break;
            } while (symbol < 0x100);
        }
        while (symbol < 0x100)
            symbol = (symbol << 1) | range.bit(probabilities[symbol]);
        state_ = state_ < 4 ? 0 : state_ < 10 ? state_ - 3 : state_ - 6;
        return put(static_cast<unsigned char>(symbol), sink);
    }

    std::uint32_t decode_distance(RangeDecoder& range, std::size_t length)
    {
        const unsigned slot = distance_slots_[std::min<std::size_t>(length, 3)].symbol(range);
        if (slot < 4)
            return slot;
        const unsigned direct = (slot >> 1) - 1;
        std::uint32_t distance = (2u | (slot & 1)) << direct;
        if (slot < 14)
            return distance + reverse_tree_symbol(&distance_specials_[distance - slot], direct, range);
        distance += range.direct_bits(direct - 4) << 4;
        return distance + align_.reverse(range);
    }

    unsigned char byte_back(std::uint32_t distance) const
    {
        return dictionary_[at_ > distance ? at_ - distance - 1
                                          : at_ + dictionary_.size() - distance - 1];
    }

    // In runs that stay within the ring's allocated part, byte by byte
    // forward, so that a match may overlap the bytes it makes.
    bool copy_match(std::size_t length, Sink& sink)
    {
        if (reps_[0] >= filled_)
            return false;
        while (length > 0) {
            if (at_ == dictionary_.size())
                grow();
            const std::size_t from = at_ > reps_[0] ? at_ - reps_[0] - 1
                                                    : at_ + dictionary_.size() - reps_[0] - 1;
            const std::size_t run =
                std::min({length, dictionary_.size() - at_, dictionary_.size() - from});
            unsigned char* ring = dictionary_.data();
            for (std::size_t step = 0; step < run; ++step)
                ring[at_ + step] = ring[from + step];
            at_ += run;
            made_ += static_cast<std::uint32_t>(run);
            filled_ = std::max(filled_, at_);
            length -= run;
            if (at_ == ring_size_ && !wrap(sink))
                return false;
        }
        return true;
    }

    bool put(unsigned char byte, Sink& sink)
    {
        if (at_ == dictionary_.size())
            grow();
        dictionary_[at_++] = byte;
        ++made_;
        filled_ = std::max(filled_, at_);
        return at_ < ring_size_ || wrap(sink);
    }

    bool wrap(Sink& sink)
    {
        const bool passed = flush(sink);
        at_ = flushed_ = 0;
        return passed;
    }

    // The ring takes memory as bytes fill it, never past its size: a stream
    // of many small blocks would otherwise clear a whole dictionary for each.
    void grow()
    {
        const std::size_t size =
            std::min(ring_size_, std::max<std::size_t>(4096, 2 * dictionary_.size()));
        dictionary_.reserve(size);
        dictionary_.resize(size);
    }

    bool flush(Sink& sink)
    {
        const bool passed = sink.put(dictionary_.data() + flushed_, at_ - flushed_);
        flushed_ = at_;
        return passed;
    }

    std::size_t ring_size_;
    std::vector<unsigned char> dictionary_;
    std::size_t at_ = 0;
    std::size_t flushed_ = 0;
    std::size_t filled_ = 0;
    std::uint32_t made_ = 0;  // since the dictionary's reset: its low bits are the position

    unsigned literal_context_ = 0;
    unsigned literal_position_ = 0;
    unsigned position_bits_ = 0;

    std::vector<Probability> literals_;
    Probability is_match_[states][position_states];
    Probability is_rep_[states];
    Probability is_rep_g0_[states];
    Probability is_rep_g1_[states];
    Probability is_rep_g2_[states];
    Probability is_rep0_long_[states][position_states];
    std::array<BitTree<6>, 4> distance_slots_;
    std::array<Probability, 115> distance_specials_;
    BitTree<4> align_;
    LengthModel lengths_;
    LengthModel rep_lengths_;
    unsigned state_ = 0;
    std::array<std::uint32_t, 4> reps_{};
};

// ---- LZMA2: chunks of stored bytes or LZMA data, each up to 64 KiB packed.

bool read_big_endian_16(ByteReader& reader, std::size_t& value)
{
    const unsigned char* bytes = nullptr;
    if (!reader.read(2, bytes))
        return false;
    value = (std::size_t(bytes[0]) << 8) | bytes[1];
    return true;
}

bool decode_lzma2(ByteReader& reader, LzmaDecoder& lzma, Sink& sink)
{
    bool need_dictionary_reset = true;
    bool need_properties = true;
    bool need_state_reset = false;  // after stored bytes, as xz writes them
    for (;;) {
        unsigned char control = 0;
        if (!reader.read_byte(control))
            return false;
        if (control == 0x00)
            return true;
        std::size_t unpacked = 0;
        std::size_t packed = 0;
        const unsigned char* bytes = nullptr;
        if (control == 0x01 || control == 0x02) {
            if (control == 0x01)
                lzma.reset_dictionary();
            else if (need_dictionary_reset)
                return false;
            need_dictionary_reset = false;
            need_state_reset = true;
            if (!read_big_endian_16(reader, unpacked) || !reader.read(unpacked + 1, bytes) ||
                !lzma.put_stored(bytes, unpacked + 1, sink))
                return false;
            continue;
        }
        if (control < 0x80)
            return false;
        const unsigned reset = (control >> 5) & 3;  // state, + properties, + dictionary
        if (!read_big_endian_16(reader, unpacked) || !read_big_endian_16(reader, packed))
            return false;
        unpacked += (std::size_t(control & 0x1F) << 16) + 1;
        if (reset == 3) {
            lzma.reset_dictionary();
            need_dictionary_reset = false;
        }
        if (reset >= 2) {
            unsigned char properties = 0;
            if (!reader.read_byte(properties) || !lzma.set_properties(properties))
                return false;
            need_properties = false;
        }
        if (need_dictionary_reset || need_properties || (reset == 0 && need_state_reset))
            return false;
        if (reset >= 1) {
            lzma.reset_state();
            need_state_reset = false;
        }
        if (!reader.read(packed + 1, bytes) || !lzma.decode_chunk(bytes, packed + 1, unpacked, sink))
            return false;
    }
}

// ---- The container.

const unsigned char header_magic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
const unsigned char footer_magic[2] = {'Y', 'Z'};
const std::uint64_t filter_x86 = 0x04;
const std::uint64_t filter_lzma2 = 0x21;

struct BlockHeader {
    std::size_t size = 0;
    std::uint64_t compressed_size = 0;  // 0 when not given
    bool has_uncompressed_size = false;
    std::uint64_t uncompressed_size = 0;
    bool x86 = false;
    std::uint32_t dictionary_size = 0;
};

std::uint32_t lzma2_dictionary_size(unsigned char byte)
{
    return byte == 40 ? 0xFFFFFFFFu : (2u | (byte & 1u)) << (byte / 2 + 11);
}

// The filter list: LZMA2 last, the x86 filter with no start offset before it or none.
bool read_filters(ByteReader& fields, unsigned count, BlockHeader& header)
{
    for (unsigned index = 0; index < count; ++index) {
        std::uint64_t id = 0;
        std::uint64_t properties_size = 0;
        const unsigned char* properties = nullptr;
        if (!fields.read_integer(id) || !fields.read_integer(properties_size) ||
            !fields.read(properties_size, properties))
            return false;
        const bool last = index + 1 == count;
        if (last && id == filter_lzma2 && properties_size == 1 && properties[0] <= 40)
            header.dictionary_size = lzma2_dictionary_size(properties[0]);
        else if (!last && id == filter_x86 && properties_size == 0)
            header.x86 = true;
        else
            return false;
    }
    return true;
}

bool read_block_header(ByteReader& reader, unsigned char size_byte, BlockHeader& header)
{
    header.size = (std::size_t(size_byte) + 1) * 4;
    const unsigned char* bytes = reader.bytes_at(reader.position() - 1);
    const unsigned char* rest = nullptr;
    if (!reader.read(header.size - 1, rest) ||
        crc32_of(bytes, header.size - 4) != little_endian(bytes + header.size - 4, 4))
        return false;
    ByteReader fields(bytes + 2, header.size - 6);
    const unsigned char flags = bytes[1];
    if (flags & 0x3C)
        return false;
    if (flags & 0x40) {
        if (!fields.read_integer(header.compressed_size) || header.compressed_size == 0)
            return false;
    }
    header.has_uncompressed_size = (flags & 0x80) != 0;
    if (header.has_uncompressed_size && !fields.read_integer(header.uncompressed_size))
        return false;
    if (!read_filters(fields, (flags & 0x03) + 1u, header))
        return false;
    for (unsigned char padding = 0; !fields.at_end();) {
        if (!fields.read_byte(padding) || padding != 0)
            return false;
    }
    return true;
}

bool read_zero_padding(ByteReader& reader, std::size_t count)
{
    const unsigned char* bytes = nullptr;
    if (!reader.read(count, bytes))
        return false;
    return std::all_of(bytes, bytes + count, [](unsigned char byte) { return byte == 0; });
}

// What the index must list: the blocks' count and their sizes, summed up in
// a CRC32 of the pairs rather than kept one by one.
class BlockRecords {
public:
    void add(std::uint64_t unpadded, std::uint64_t uncompressed)
    {
        unsigned char pair[16];
        for (int at = 0; at < 8; ++at) {
            pair[at] = static_cast<unsigned char>(unpadded >> (8 * at));
            pair[8 + at] = static_cast<unsigned char>(uncompressed >> (8 * at));
        }
        crc_.add(pair, sizeof pair);
        ++count_;
    }

    bool operator==(const BlockRecords& other) const
    {
        return count_ == other.count_ && crc_.value() == other.crc_.value();
    }

    std::uint64_t count() const { return count_; }

private:
    std::uint64_t count_ = 0;
    Crc32 crc_;
};

bool decode_block(ByteReader& reader, const BlockHeader& header, Check check,
                  std::uint64_t room, std::string& made, BlockRecords& records)
{
    if (header.dictionary_size > xz_dictionary_limit)
        return false;
    // The ring need not pass the bytes the block may make.
    const std::uint64_t most = header.has_uncompressed_size ? header.uncompressed_size : room;
    LzmaDecoder lzma(static_cast<std::size_t>(std::max<std::uint64_t>(
        1, std::min({std::uint64_t(header.dictionary_size), most, room}))));
    BlockOutput output(made, check, room);
    const std::size_t start = reader.position();
    bool decoded = false;
    if (header.x86) {
        X86Filter filter(output);
        decoded = decode_lzma2(reader, lzma, filter) && filter.finish();
    } else {
        decoded = decode_lzma2(reader, lzma, output);
    }
    const std::uint64_t compressed = reader.position() - start;
    const unsigned char* stored_check = nullptr;
    if (!decoded || (header.compressed_size != 0 && header.compressed_size != compressed) ||
        (header.has_uncompressed_size && header.uncompressed_size != output.count()) ||
        !read_zero_padding(reader, (4 - (header.size + compressed) % 4) % 4) ||
        !reader.read(check_size(check), stored_check) || !output.check_matches(stored_check))
        return false;
    records.add(header.size + compressed + check_size(check), output.count());
    return true;
}

// The index after the blocks' 0x00 indicator; its size comes back in index_size.
bool read_index(ByteReader& reader, const BlockRecords& blocks, std::size_t& index_size)
{
    const std::size_t start = reader.position() - 1;
    std::uint64_t count = 0;
    if (!reader.read_integer(count) || count != blocks.count())
        return false;
    BlockRecords listed;
    for (std::uint64_t record = 0; record < count; ++record) {
        std::uint64_t unpadded = 0;
        std::uint64_t uncompressed = 0;
        if (!reader.read_integer(unpadded) || !reader.read_integer(uncompressed))
            return false;
        listed.add(unpadded, uncompressed);
    }
    const unsigned char* stored_crc = nullptr;
    if (!(listed == blocks) || !read_zero_padding(reader, (4 - (reader.position() - start) % 4) % 4))
        return false;
    const std::uint32_t crc = crc32_of(reader.bytes_at(start), reader.position() - start);
    if (!reader.read(4, stored_crc) || little_endian(stored_crc, 4) != crc)
        return false;
    index_size = reader.position() - start;
    return true;
}

bool read_stream_header(ByteReader& reader, Check& check, const unsigned char*& flags)
{
    const unsigned char* bytes = nullptr;
    if (!reader.read(12, bytes) || !std::equal(header_magic, header_magic + 6, bytes) ||
        crc32_of(bytes + 6, 2) != little_endian(bytes + 8, 4) || bytes[6] != 0)
        return false;
    flags = bytes + 6;
    check = static_cast<Check>(bytes[7]);
    return check == Check::none || check == Check::crc32 || check == Check::crc64;
}

bool read_stream_footer(ByteReader& reader, const unsigned char* header_flags, std::size_t index_size)
{
    const unsigned char* bytes = nullptr;
    return reader.read(12, bytes) && crc32_of(bytes + 4, 6) == little_endian(bytes, 4) &&
           (little_endian(bytes + 4, 4) + 1) * 4 == index_size &&
           std::equal(header_flags, header_flags + 2, bytes + 8) &&
           std::equal(footer_magic, footer_magic + 2, bytes + 10) && reader.at_end();
}

bool decode_stream(ByteReader& reader, std::size_t size_limit, std::string& made)
{
    Check check = Check::none;
    const unsigned char* flags = nullptr;
    if (!read_stream_header(reader, check, flags))
        return false;
    BlockRecords blocks;
    for (;;) {
        unsigned char size_byte = 0;
        if (!reader.read_byte(size_byte))
            return false;
        if (size_byte == 0x00)
            break;
        BlockHeader header;
        if (!read_block_header(reader, size_byte, header) ||
            !decode_block(reader, header, check, size_limit - made.size(), made, blocks))
            return false;
    }
    std::size_t index_size = 0;
    return read_index(reader, blocks, index_size) && read_stream_footer(reader, flags, index_size);
}

bool decode_from(ByteReader& reader, std::size_t size_limit, std::string& made)
{
    try {
        made.clear();
        made.reserve(size_limit);
        return decode_stream(reader, size_limit, made);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

bool decode_xz(std::string_view stream, std::size_t size_limit, std::string& made)
{
    ByteReader reader(reinterpret_cast<const unsigned char*>(stream.data()), stream.size());
    return decode_from(reader, size_limit, made);
}

bool decode_xz(std::string_view stream, ArrivingBytes& arriving, std::size_t size_limit,
               std::string& made)
{
    ByteReader reader(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(), arriving);
    return decode_from(reader, size_limit, made);
}

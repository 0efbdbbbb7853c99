#include "support/text_devices.h"

#include <cerrno>
#include <cstring>

#include "support/integer_text.h"

std::int32_t default_buffer_size = 4096;

namespace {

std::string device_error_message(std::int32_t code)
{
    switch (code) {
    case no_error:
        return std::string();
    case not_initialised:
        return "the TextIO device hasn't been initialised";
    case put_failed:
        return "an attempt to put text failed";
    case format_error:
        return "a format error was found reading input";
    case get_failed:
        return "an attempt to get text failed";
    case open_failed:
        return "the device could not be opened";
    default:
        return "unknown error number " + signed_to_text(code, 10, radix_prefixed_or_marked, 0);
    }
}

std::string stream_device_error_message(std::int32_t code)
{
    if (code > 0)
        return std::strerror(code);
    return device_error_message(code);
}

// After a failed stream operation: the stream's error value when its error
// indicator is set, otherwise the given code.
std::int32_t stream_error_or(std::FILE* stream, std::int32_t code)
{
    const int error = std::ferror(stream);
    return error != 0 ? error : code;
}

}  // namespace

obuff::obuff(std::uint8_t line_mode, std::int32_t output_option)
    : line_mode(line_mode), output_option(output_option)
{
}

std::string obuff::error_message() const
{
    return device_error_message(code);
}

void obuff::flush() {}

void obuff::set_error(std::int32_t error)
{
    if (code == no_error)
        code = error;
}

ibuff::ibuff(std::int32_t line_mode) : line_mode(line_mode) {}

std::string ibuff::error_message() const
{
    return device_error_message(code);
}

void ibuff::set_error(std::int32_t error)
{
    if (code == no_error)
        code = error;
}

ofbuff::ofbuff(std::FILE* stream, std::uint8_t line_mode) : obuff(line_mode, 0), stream(stream) {}

std::string ofbuff::error_message() const
{
    return stream_device_error_message(error_code());
}

void ofbuff::flush()
{
    if (stream == nullptr)
        return;
    if (std::fflush(stream) != 0)
        set_error(stream_error_or(stream, put_failed));
}

bool ofbuff::put_byte(int c)
{
    if (stream == nullptr)
        return false;
    if (std::fputc(c & 0xFF, stream) != EOF)
        return true;
    if (std::ferror(stream) != 0)
        set_error(std::ferror(stream));
    return false;
}

ofbuff::~ofbuff()
{
    flush();
    if (owns_stream && stream != nullptr)
        std::fclose(stream);
}

ifbuff::ifbuff(const char* file_name, std::int32_t buffer_size) : ibuff(1)
{
    if (file_name == nullptr || *file_name == '\0') {
        set_error(open_failed);
        return;
    }
    owns_stream = true;
    errno = 0;
    stream = std::fopen(file_name, "rb");
    if (stream == nullptr) {
        set_error(errno != 0 ? errno : open_failed);
        return;
    }
    const int buffering = buffer_size != 0 ? _IOFBF : _IONBF;
    if (std::setvbuf(stream, nullptr, buffering, static_cast<std::size_t>(buffer_size)) != 0)
        set_error(stream_error_or(stream, open_failed));
}

ifbuff::ifbuff(std::FILE* stream) : ibuff(1), stream(stream) {}

std::string ifbuff::error_message() const
{
    return stream_device_error_message(error_code());
}

int ifbuff::get_byte()
{
    if (stream == nullptr)
        return -1;
    const int c = std::fgetc(stream);
    if (c == EOF && std::ferror(stream) != 0)
        set_error(std::ferror(stream));
    return c == EOF ? -1 : c;
}

int ifbuff::peek_byte()
{
    const int c = get_byte();
    if (c != -1 && std::ungetc(c, stream) == EOF && std::ferror(stream) != 0)
        set_error(std::ferror(stream));
    return c;
}

ifbuff::~ifbuff()
{
    if (owns_stream && stream != nullptr)
        std::fclose(stream);
}

// One translation unit, so they are built in this order and released in the
// reverse order.
smart_ptr_nocopy<ibuff> standard_input_device(new ifbuff(stdin));
smart_ptr_nocopy<obuff> standard_output_device(new ofbuff(stdout, 1));
smart_ptr_nocopy<obuff> standard_error_device(new ofbuff(stderr, 1));
smart_ptr_nocopy<ibuff> empty_device_handle;

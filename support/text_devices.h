// Text devices: byte channels over the runtime library's FILE streams, each
// with a sticky error code. Devices are owned through smart_ptr_nocopy; the
// reading operations on top of them are in text_reading.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/smart_ptr_nocopy.h"

// Error codes of a device. Positive codes are the runtime library's error
// numbers (or, after a failed stream operation, its stream-error value).
const std::int32_t no_error = 0;
const std::int32_t not_initialised = -1;
const std::int32_t put_failed = -2;
const std::int32_t format_error = -3;
const std::int32_t get_failed = -4;
const std::int32_t open_failed = -5;

// Buffer size for files opened by name.
extern std::int32_t default_buffer_size;

class obuff {
public:
    // 1 for the standard output and error devices.
    std::uint8_t line_mode;
    // Formatting state for formatted writing, which this program does not do;
    // output_option is the constructor's second argument.
    std::int32_t output_option;
    std::int32_t character_count = 0;
    std::int32_t line_number = 1;
    std::int32_t column = 0;
    std::int32_t indent = 0;
    std::int32_t radix = 10;
    std::int32_t radix_display = 4;
    std::int32_t width = 0;
    std::int32_t precision = 6;
    std::int32_t exponent_digits = 2;

    obuff(std::uint8_t line_mode, std::int32_t output_option);
    obuff(const obuff&) = delete;
    obuff& operator=(const obuff&) = delete;

    virtual std::string error_message() const;
    virtual void flush();
    // False when the byte could not be written.
    virtual bool put_byte(int c) = 0;
    virtual ~obuff() = default;

    std::int32_t error_code() const { return code; }
    // Only the first error is kept.
    void set_error(std::int32_t error);

private:
    std::int32_t code = no_error;
};

class ibuff {
public:
    // 1: a CR, or a CR followed by LF, is read as one LF. Anything else:
    // bytes pass unchanged.
    std::int32_t line_mode;
    // Position counters, kept by read_char.
    std::int32_t character_count = 0;
    std::int32_t line_number = 1;
    std::int32_t column = 0;

    explicit ibuff(std::int32_t line_mode);
    ibuff(const ibuff&) = delete;
    ibuff& operator=(const ibuff&) = delete;

    virtual std::string error_message() const;
    // The next byte (0..255) without consuming it, or -1 at end of input.
    virtual int peek_byte() = 0;
    // The next byte (0..255), consumed, or -1 at end of input.
    virtual int get_byte() = 0;
    virtual ~ibuff() = default;

    std::int32_t error_code() const { return code; }
    // Only the first error is kept.
    void set_error(std::int32_t error);

private:
    std::int32_t code = no_error;
};

class ofbuff : public obuff {
public:
    // Writes to stream, which stays open when the device is destroyed.
    ofbuff(std::FILE* stream, std::uint8_t line_mode);

    // Positive codes give the runtime library's message.
    std::string error_message() const override;
    void flush() override;
    bool put_byte(int c) override;
    // Flushes; closes the stream only when the device owns it.
    ~ofbuff() override;

private:
    bool owns_stream = false;
    std::FILE* stream;
};

class ifbuff : public ibuff {
public:
    // Opens the file for reading without line-end translation by the runtime;
    // buffer_size 0 reads unbuffered. Failures are kept as the error code: the
    // runtime's error number, or open_failed for a null or empty name and for
    // a refused buffer size (the file then stays readable).
    ifbuff(const char* file_name, std::int32_t buffer_size);
    // Reads from stream with line mode 1; the stream stays open when the
    // device is destroyed.
    explicit ifbuff(std::FILE* stream);

    // Positive codes give the runtime library's message.
    std::string error_message() const override;
    int peek_byte() override;
    int get_byte() override;
    // Closes the stream when the device opened it.
    ~ifbuff() override;

private:
    bool owns_stream = false;
    std::FILE* stream = nullptr;
};

// Built before main in this order and released after it in reverse order.
extern smart_ptr_nocopy<ibuff> standard_input_device;
extern smart_ptr_nocopy<obuff> standard_output_device;
extern smart_ptr_nocopy<obuff> standard_error_device;
// Holds no device: reading from it gives end of input.
extern smart_ptr_nocopy<ibuff> empty_device_handle;

#include <gtest/gtest.h>

#include <process.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/smart_ptr_nocopy.h"
#include "support/text_devices.h"
#include "support/text_reading.h"

namespace {

namespace fs = std::filesystem;

// Real files in a folder of the process's own under the temporary folder.
class TextDeviceFiles : public ::testing::Test {
protected:
    fs::path folder;

    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("text_devices_" + std::to_string(_getpid()));
        fs::remove_all(folder);
        fs::create_directory(folder);
    }

    void TearDown() override { fs::remove_all(folder); }

    // A new file each call, so no test writes over a file a device holds.
    std::string write_file(const std::string& content)
    {
        const std::string name =
            (folder / ("file" + std::to_string(++file_count) + ".txt")).string();
        std::ofstream(name, std::ios::binary) << content;
        return name;
    }

private:
    int file_count = 0;
};

// Every byte the device has not handed out yet, raw.
std::string unread_bytes(ibuff& device)
{
    std::string rest;
    for (int c = device.get_byte(); c != -1; c = device.get_byte())
        rest += static_cast<char>(c);
    return rest;
}

struct VersionFileCase {
    const char* name;
    std::string content;
    std::int32_t expected;  // target starts at 99
    std::int32_t code;
    std::int32_t line_number;
    std::int32_t column;
    std::int32_t character_count;
    std::string unread;
};

TEST_F(TextDeviceFiles, ReadsTheFirstWordOfAVersionFileAsAnInteger)
{
    const VersionFileCase cases[] = {
        {"blanks then CR LF", "  42\r\n", 42, no_error, 1, 4, 4, "\r\n"},
        {"line ends first", "\r\n\r\n7", 7, no_error, 3, 1, 5, ""},
        {"second word", "42 17", 42, no_error, 1, 2, 2, " 17"},
        {"minus", "-42", -42, no_error, 1, 3, 3, ""},
        {"plus", "+42", 42, no_error, 1, 3, 3, ""},
        {"hexadecimal prefix", "0x1A", 26, no_error, 1, 4, 4, ""},
        {"radix mark", "16#1a\n", 26, no_error, 1, 5, 5, "\n"},
        {"lone CR ends a line", "\r9", 9, no_error, 2, 1, 2, ""},
        {"all C blanks", " \t\v\f\r\n5", 5, no_error, 2, 1, 7, ""},
        {"empty file", "", 0, no_error, 1, 0, 0, ""},
        {"blanks only", " \t\r\n ", 0, no_error, 2, 1, 5, ""},
        {"letters only", "abc 5", 99, format_error, 1, 3, 3, " 5"},
        {"digits then letters", "12ab", 99, format_error, 1, 4, 4, ""},
        {"bad octal digit", "08", 99, format_error, 1, 2, 2, ""},
        {"byte 0xA0 is no blank",
         "\xA0"
         "7",
         99, format_error, 1, 2, 2, ""},
    };
    for (const VersionFileCase& c : cases) {
        SCOPED_TRACE(c.name);
        smart_ptr_nocopy<ibuff> file(
            new ifbuff(write_file(c.content).c_str(), default_buffer_size));
        std::int32_t version = 99;
        EXPECT_EQ(&read_integer(file, version), &file);
        EXPECT_EQ(version, c.expected);
        EXPECT_EQ(file->error_code(), c.code);
        EXPECT_EQ(file->line_number, c.line_number);
        EXPECT_EQ(file->column, c.column);
        EXPECT_EQ(file->character_count, c.character_count);
        EXPECT_EQ(unread_bytes(*file.get()), c.unread);
    }
}

TEST(TextReading, TranslatesLineEndsOnlyInLineMode1)
{
    class memory_input : public ibuff {
    public:
        memory_input(std::int32_t line_mode, std::string bytes) : ibuff(line_mode), bytes(bytes) {}
        int peek_byte() override
        {
            return next < bytes.size() ? static_cast<unsigned char>(bytes[next]) : -1;
        }
        int get_byte() override
        {
            const int c = peek_byte();
            if (c != -1)
                ++next;
            return c;
        }

    private:
        std::string bytes;
        std::size_t next = 0;
    };
    const std::string bytes = "a\rb\r\nc\n\rd\xFF";
    const struct {
        std::int32_t line_mode;
        std::string characters;
        std::int32_t line_number;
        std::int32_t column;
    } cases[] = {
        {1, "a\nb\nc\n\nd\xFF", 5, 2},
        {0, bytes, 3, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line_mode);
        smart_ptr_nocopy<ibuff> input(new memory_input(c.line_mode, bytes));
        std::string characters;
        for (int ch = read_char(input); ch != -1; ch = read_char(input)) {
            ASSERT_LT(ch, 256);
            characters += static_cast<char>(ch);
        }
        EXPECT_EQ(characters, c.characters);
        EXPECT_EQ(input->character_count, static_cast<std::int32_t>(bytes.size()));
        EXPECT_EQ(input->line_number, c.line_number);
        EXPECT_EQ(input->column, c.column);
        EXPECT_EQ(read_char(input), -1);
        EXPECT_EQ(input->character_count, static_cast<std::int32_t>(bytes.size()));
    }
}

TEST_F(TextDeviceFiles, OpenFailuresAreKeptAsTheErrorCode)
{
    const std::string missing = (folder / "absent.txt").string();
    smart_ptr_nocopy<ibuff> file(new ifbuff(missing.c_str(), default_buffer_size));
    std::int32_t version = 99;
    read_integer(file, version);
    EXPECT_EQ(version, 0);
    EXPECT_EQ(file->error_code(), ENOENT);
    EXPECT_EQ(file->error_message(), std::strerror(ENOENT));

    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        smart_ptr_nocopy<ibuff> unnamed(new ifbuff(name, default_buffer_size));
        EXPECT_EQ(unnamed->error_code(), open_failed);
        EXPECT_EQ(read_char(unnamed), -1);
    }
}

TEST_F(TextDeviceFiles, BufferSizesOpenAReadableFile)
{
    // Full buffering needs at least 2 bytes; a refused size leaves the file
    // open and readable, with open_failed recorded.
    const struct {
        std::int32_t buffer_size;
        std::int32_t code;
    } cases[] = {{4096, no_error}, {0, no_error}, {1, open_failed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.buffer_size);
        smart_ptr_nocopy<ibuff> file(new ifbuff(write_file(" 12 ").c_str(), c.buffer_size));
        std::int32_t version = 0;
        read_integer(file, version);
        EXPECT_EQ(version, 12);
        EXPECT_EQ(file->error_code(), c.code);
    }
}

TEST_F(TextDeviceFiles, TheFirstErrorSticks)
{
    smart_ptr_nocopy<ibuff> file(new ifbuff(write_file("abc 2#9 7").c_str(), default_buffer_size));
    std::int32_t version = 5;
    read_integer(file, version);
    EXPECT_EQ(file->error_code(), format_error);
    file->set_error(put_failed);
    read_integer(file, version);
    EXPECT_EQ(version, 5);
    EXPECT_EQ(file->error_code(), format_error);
    read_integer(file, version);
    EXPECT_EQ(version, 7);
    EXPECT_EQ(file->error_code(), format_error);

    smart_ptr_nocopy<ibuff> refused(new ifbuff(write_file("abc").c_str(), 1));
    read_integer(refused, version);
    EXPECT_EQ(version, 7);
    EXPECT_EQ(refused->error_code(), open_failed);
}

TEST(EmptyDeviceHandle, ReadsAsEndOfInputAndThrowsOnAccess)
{
    ASSERT_EQ(empty_device_handle.get(), nullptr);
    EXPECT_EQ(read_char(empty_device_handle), -1);
    skip_blanks(empty_device_handle);
    EXPECT_EQ(read_word(empty_device_handle), "");
    std::int32_t version = 99;
    EXPECT_EQ(&read_integer(empty_device_handle, version), &empty_device_handle);
    EXPECT_EQ(version, 0);
    try {
        empty_device_handle->error_code();
        FAIL() << "no exception";
    } catch (const null_dereference& error) {
        EXPECT_STREQ(error.what(),
                     "null dereference: null pointer dereferenced in smart_ptr_nocopy::operator->");
    }
}

TEST(StandardDevices, AreBuiltBeforeMain)
{
    EXPECT_NE(standard_input_device.get(), nullptr);
    EXPECT_NE(standard_output_device.get(), nullptr);
    EXPECT_NE(standard_error_device.get(), nullptr);
    EXPECT_EQ(standard_output_device->line_mode, 1);
    EXPECT_EQ(standard_input_device->line_mode, 1);
}

TEST(ErrorMessage, TextsOfTheCodes)
{
    const struct {
        std::int32_t code;
        std::string file_device_text;
    } cases[] = {
        {0, ""},
        {-1, "the TextIO device hasn't been initialised"},
        {-2, "an attempt to put text failed"},
        {-3, "a format error was found reading input"},
        {-4, "an attempt to get text failed"},
        {-5, "the device could not be opened"},
        {-6, "unknown error number -6"},
        {-2147483647 - 1, "unknown error number -2147483648"},
        {EACCES, std::strerror(EACCES)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        ifbuff input(static_cast<std::FILE*>(nullptr));
        input.set_error(c.code);
        EXPECT_EQ(input.error_message(), c.file_device_text);
        ofbuff output(nullptr, 1);
        output.set_error(c.code);
        EXPECT_EQ(output.error_message(), c.file_device_text);
    }
    // Only the stream devices know the runtime's texts.
    struct plain_input : ibuff {
        plain_input() : ibuff(1) {}
        int peek_byte() override { return -1; }
        int get_byte() override { return -1; }
    } plain;
    plain.set_error(EACCES);
    EXPECT_EQ(plain.error_message(), "unknown error number " + std::to_string(EACCES));
}

TEST_F(TextDeviceFiles, ReleaseClosesOnlyAFileTheDeviceOpened)
{
    const std::string name = write_file("1 2");
    // The handle destroys the device through ibuff's virtual destructor.
    {
        smart_ptr_nocopy<ibuff> file(new ifbuff(name.c_str(), default_buffer_size));
        // An open file cannot be removed on Windows.
        EXPECT_NE(std::remove(name.c_str()), 0);
    }
    EXPECT_EQ(std::remove(name.c_str()), 0);

    std::FILE* stream = std::fopen(write_file("1 2").c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    {
        smart_ptr_nocopy<ibuff> wrapped(new ifbuff(stream));
        std::int32_t value = 0;
        read_integer(wrapped, value);
        EXPECT_EQ(value, 1);
    }
    EXPECT_EQ(std::fgetc(stream), ' ');
    EXPECT_EQ(std::fclose(stream), 0);
}

TEST_F(TextDeviceFiles, OutputDeviceWritesAndFlushesOnRelease)
{
    const std::string name = (folder / "out.txt").string();
    std::FILE* stream = std::fopen(name.c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    {
        smart_ptr_nocopy<obuff> output(new ofbuff(stream, 1));
        EXPECT_TRUE(output->put_byte('o'));
        EXPECT_TRUE(output->put_byte('k'));
        EXPECT_EQ(output->error_code(), no_error);
    }
    std::ifstream written(name, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "ok");
    EXPECT_NE(std::fputc('!', stream), EOF);
    EXPECT_EQ(std::fclose(stream), 0);

    ofbuff no_stream(nullptr, 1);
    EXPECT_FALSE(no_stream.put_byte('x'));
    no_stream.flush();
    EXPECT_EQ(no_stream.error_code(), no_error);
}

TEST_F(TextDeviceFiles, AFailedWriteStoresTheStreamErrorValue)
{
    std::FILE* stream = std::fopen(write_file("").c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    {
        ofbuff output(stream, 1);
        EXPECT_FALSE(output.put_byte('x'));
        ASSERT_NE(std::ferror(stream), 0);
        EXPECT_EQ(output.error_code(), std::ferror(stream));
    }
    std::fclose(stream);
}

}  // namespace

#include "app/installed_version.h"

#include <cerrno>

#include "support/smart_ptr_nocopy.h"
#include "support/text_devices.h"
#include "support/text_reading.h"

namespace {

const char version_file_name[] = "wersja.txt";

}  // namespace

std::int32_t read_installed_version()
{
    smart_ptr_nocopy<ibuff> version_file(new ifbuff(version_file_name, default_buffer_size));
    std::int32_t version = -1;
    read_integer(version_file, version);
    // Only a missing file reads as no version; any other failure to open or
    // read it leaves the version unknown.
    const std::int32_t error = version_file->error_code();
    if (error != no_error && error != ENOENT)
        return -1;
    return version;
}

#include "app/machine_identity.h"

#include <windows.h>

std::string machine_identity()
{
    char value[256];
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid",
                     RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, value, &size) != ERROR_SUCCESS ||
        size == 0)
        return std::string();
    return std::string(value, size - 1);
}

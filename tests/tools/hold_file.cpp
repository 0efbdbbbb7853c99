// hold_file: keeps one file open without sharing it, as a running program
// keeps its own files, so that no other program in the same Wine prefix can
// delete, rename or read it meanwhile.
//
//   hold_file <file> <ready file> <stop file> [bound seconds]
//
// The ready file is created once the file is held; the file is let go when
// the stop file exists or the bound (default 120 s) has passed. Exit code 1
// when the file cannot be opened, 2 on a wrong command line.

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

const DWORD poll_ms = 20;

bool file_exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool create_empty_file(const char* path)
{
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: hold_file <file> <ready file> <stop file> [bound seconds]\n");
        return 2;
    }
    const char* stop_file = argv[3];
    ULONGLONG bound_ms = (argc == 5 ? std::strtoull(argv[4], nullptr, 10) : 120) * 1000;

    // Share mode 0: every other open of the file, for deletion too, fails
    // with a sharing violation while this handle lives.
    HANDLE held = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    if (!create_empty_file(argv[2])) {
        std::fprintf(stderr, "cannot create %s: error %lu\n", argv[2], GetLastError());
        CloseHandle(held);
        return 1;
    }
    ULONGLONG started = GetTickCount64();
    while (!file_exists(stop_file) && GetTickCount64() - started < bound_ms)
        Sleep(poll_ms);
    CloseHandle(held);
    return 0;
}

// The program's .xz decoder alone, for the benchmark's decoder rate: decodes
// one file's compressed form a number of times and prints the seconds the
// fastest decode took and the rate in MiB/s of decoded bytes.
//
//   xz_rate <file.xz> <decoded size> <decodes>
//
// Exit code 0 when every decode made exactly <decoded size> bytes.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "update/xz_decoder.h"

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    std::ifstream in(argv[1], std::ios::binary);
    const std::string stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t size = std::strtoull(argv[2], nullptr, 10);
    const int decodes = std::atoi(argv[3]);
    double fastest = 0;
    for (int i = 0; i < decodes; ++i) {
        std::string made;
        const auto start = std::chrono::steady_clock::now();
        if (!decode_xz(stream, size, made) || made.size() != size)
            return 1;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (i == 0 || took.count() < fastest)
            fastest = took.count();
    }
    std::printf("%.6f %.1f\n", fastest, size / 1048576.0 / fastest);
    return 0;
}

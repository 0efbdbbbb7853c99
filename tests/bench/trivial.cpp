// A Windows program that does nothing: the benchmark's measure of what
// starting any program under the platform costs.

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return 0;
}

// The debugger output on Windows.
#include <windows.h>

namespace rklog {
void SystemDebugOutput(const char* text) { OutputDebugStringA(text); }
}

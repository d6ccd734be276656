#include <windows.h>

namespace rklog {
void SystemDebugOutput(const char* text) { OutputDebugStringA(text); }
}

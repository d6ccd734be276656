// Any command-line text must parse without crash or hang, and the package description
// derived from it must be consistent.
#include <cstdint>
#include <cstring>
#include <string>

#include "app/core/cmdline.h"
#include "app/core/zipconf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Two bytes per UTF-16 unit, as the command line arrives; embedded NULs stay in the text.
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    CCmdLineParser parser(text.c_str());
    for (const auto& kv : parser.values()) {
        if (kv.first.empty()) __builtin_trap();
        if (parser.FindKey(kv.first) == parser.end()) __builtin_trap();
    }
    ZipConf conf = parseZipConf(text.c_str(), L"C:\\Program Files\\V\\U\\");
    if (conf.clientDic != L"C:\\Program Files\\") __builtin_trap();
    // Raw bytes as a narrow-derived text too (8-bit units).
    std::wstring narrow(reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + size);
    CCmdLineParser second(narrow.c_str());
    return 0;
}

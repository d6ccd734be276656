// Decoding of entry names stored without the UTF-8 flag.
#pragma once

#include <string>

namespace zpvx {

// A name stored without the UTF-8 flag, in the archiver's legacy code page, as UTF-8 text.
// Windows uses the OEM code page as archivers there do; elsewhere code page 437.
bool LegacyNameToUtf8(const std::string& raw, std::string* out);

}  // namespace zpvx

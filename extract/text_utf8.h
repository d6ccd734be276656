// Strict UTF-8 handling for entry names, and the decoding of legacy (non-UTF-8) entry names.
#pragma once

#include <string>

namespace zpvx {

// Decodes strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool DecodeUtf8(const std::string& in, std::u32string* out);
void AppendUtf8(std::string* out, char32_t cp);

// A name stored without the UTF-8 flag, in the archiver's legacy code page, as UTF-8 text.
// Windows uses the OEM code page as archivers there do; elsewhere code page 437.
bool LegacyNameToUtf8(const std::string& raw, std::string* out);

}  // namespace zpvx

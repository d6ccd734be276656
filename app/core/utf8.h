// The program's one UTF-8 decoder and its encoders. Decoding is strict: overlong forms,
// surrogates, values above U+10FFFF and cut-off sequences are invalid. What to do with an
// invalid sequence is the caller's choice: refuse the text (archive names) or replace the
// sequence with U+FFFD (skins, native text conversion).
#pragma once

#include <cstddef>
#include <string>

struct Utf8Sequence {
    char32_t codePoint = 0;    // valid only when valid is true
    std::size_t length = 1;    // bytes consumed; for an invalid sequence, what a replacing
                               // caller skips (at least 1, never a byte that may start the next)
    bool valid = false;
};

// Decodes the sequence that starts at data[pos] (pos < size).
Utf8Sequence DecodeUtf8Sequence(const unsigned char* data, std::size_t size, std::size_t pos);

// Whole text, refusing: false at the first invalid sequence.
bool DecodeUtf8(const std::string& in, std::u32string* out);

// Whole texts, replacing: invalid UTF-8 sequences and unpaired surrogates become U+FFFD.
std::wstring Utf8ToWide(const char* data, std::size_t size);
inline std::wstring Utf8ToWide(const std::string& text) { return Utf8ToWide(text.data(), text.size()); }
std::string WideToUtf8(const std::wstring& text);

// Encoders for a valid code point (no surrogates, at most U+10FFFF).
void AppendUtf8(std::string* out, char32_t cp);
// As a surrogate pair where wchar_t holds 16 bits.
void AppendUtf16(std::wstring* out, char32_t cp);

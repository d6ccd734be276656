// MD5 message digest (RFC 1321).
#pragma once

#include <cstdint>
#include <string>

class MD5_CTX {
public:
    MD5_CTX();
    virtual ~MD5_CTX() = default;

    void Update(const unsigned char* input, std::uint32_t length);
    // Writes the 16-byte digest and resets the context for a new message.
    void Final(unsigned char digest[16]);

    // Digest of a whole file as 32 lower-case hex digits plus NUL into out (>= 33 bytes).
    // False, with out untouched, when the file cannot be opened or read.
    bool MD5File(char* out, const std::string& path);

private:
    void Reset();
    void Transform(const unsigned char block[64]);

    std::uint32_t state[4];
    std::uint32_t count[2];
    unsigned char buffer[64];
    unsigned char padding[64];
};

// Digest as text: 32 lower-case hex digits.
std::string DigestHex(const unsigned char digest[16]);

// Digest text of a byte string (lower-case hex).
std::string MD5Hex(const void* data, std::size_t size);

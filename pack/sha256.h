// SHA-256 (FIPS 180-4): the package's second digest, printed for publishers who keep one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zpvpack {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, std::size_t n);
    // 64 lower-case hex digits; the object is spent afterwards.
    std::string FinalHex();

private:
    void Block(const unsigned char* p);

    std::uint32_t m_h[8];
    unsigned char m_buf[64];
    std::size_t m_used = 0;
    std::uint64_t m_bytes = 0;
};

}  // namespace zpvpack

// SHA-256 (FIPS 180-4): the package's second digest, printed for publishers who keep one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zpvpack {

class Sha256 {
public:
    // cpu: use the processor's SHA instructions where it has them (false: portable code only).
    explicit Sha256(bool cpu = true);
    void Update(const void* data, std::size_t n);
    // 64 lower-case hex digits; the object is spent afterwards.
    std::string FinalHex();

private:
    void Blocks(const unsigned char* p, std::size_t n);

    std::uint32_t m_h[8];
    unsigned char m_buf[64];
    std::size_t m_used = 0;
    std::uint64_t m_bytes = 0;
    bool m_cpu = false;
};

}  // namespace zpvpack

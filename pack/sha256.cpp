#include "pack/sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ZPV_SHA_NI 1
#endif

namespace zpvpack {
namespace {

const std::uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void PortableBlock(std::uint32_t* st, const unsigned char* p) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (std::uint32_t(p[4 * i]) << 24) | (std::uint32_t(p[4 * i + 1]) << 16) | (std::uint32_t(p[4 * i + 2]) << 8) | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = st[0], b = st[1], c = st[2], d = st[3], e = st[4], f = st[5], g = st[6], h = st[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
        const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    st[0] += a; st[1] += b; st[2] += c; st[3] += d; st[4] += e; st[5] += f; st[6] += g; st[7] += h;
}

#ifdef ZPV_SHA_NI
bool CpuHasSha() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 9)) || !(c & (1u << 19))) return false;   // SSSE3, SSE4.1
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29));
}

// The processor's SHA-256 rounds: about three times the portable code's speed, which matters
// because the package is digested while it is packed.
__attribute__((target("sha,sse4.1,ssse3"))) void CpuBlocks(std::uint32_t* h, const unsigned char* p, std::size_t n) {
    const __m128i order = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i t = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xB1);        // CDAB
    __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0x1B);   // EFGH
    __m128i s0 = _mm_alignr_epi8(t, s1, 8);   // ABEF
    s1 = _mm_blend_epi16(s1, t, 0xF0);        // CDGH
    for (; n > 0; --n, p += 64) {
        const __m128i save0 = s0, save1 = s1;
        __m128i w[4];
        for (int i = 0; i < 16; ++i) {
            __m128i& cur = w[i % 4];
            if (i < 4) {
                cur = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), order);
            } else {
                // W[t] = W[t-16] + s0(W[t-15]) + W[t-7] + s1(W[t-2]), four at a time.
                const __m128i x = _mm_add_epi32(_mm_sha256msg1_epu32(cur, w[(i + 1) % 4]), _mm_alignr_epi8(w[(i + 3) % 4], w[(i + 2) % 4], 4));
                cur = _mm_sha256msg2_epu32(x, w[(i + 3) % 4]);
            }
            __m128i m = _mm_add_epi32(cur, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kK + 4 * i)));
            s1 = _mm_sha256rnds2_epu32(s1, s0, m);
            m = _mm_shuffle_epi32(m, 0x0E);
            s0 = _mm_sha256rnds2_epu32(s0, s1, m);
        }
        s0 = _mm_add_epi32(s0, save0);
        s1 = _mm_add_epi32(s1, save1);
    }
    t = _mm_shuffle_epi32(s0, 0x1B);          // FEBA
    s1 = _mm_shuffle_epi32(s1, 0xB1);         // DCHG
    s0 = _mm_blend_epi16(t, s1, 0xF0);        // DCBA
    s1 = _mm_alignr_epi8(s1, t, 8);           // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), s0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), s1);
}
#endif

}  // namespace

Sha256::Sha256(bool cpu) {
#ifdef ZPV_SHA_NI
    static const bool has = CpuHasSha();
    m_cpu = cpu && has;
#else
    (void)cpu;
#endif
    const std::uint32_t init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(m_h, init, sizeof m_h);
}

void Sha256::Blocks(const unsigned char* p, std::size_t n) {
#ifdef ZPV_SHA_NI
    if (m_cpu) return CpuBlocks(m_h, p, n);
#endif
    for (; n > 0; --n, p += 64) PortableBlock(m_h, p);
}

void Sha256::Update(const void* data, std::size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_bytes += n;
    if (m_used) {
        const std::size_t take = n < 64 - m_used ? n : 64 - m_used;
        std::memcpy(m_buf + m_used, p, take);
        m_used += take;
        p += take;
        n -= take;
        if (m_used < 64) return;
        Blocks(m_buf, 1);
        m_used = 0;
    }
    Blocks(p, n / 64);
    p += n / 64 * 64;
    n %= 64;
    std::memcpy(m_buf, p, n);
    m_used = n;
}

std::string Sha256::FinalHex() {
    const std::uint64_t bits = m_bytes * 8;
    const unsigned char pad = 0x80;
    Update(&pad, 1);
    const unsigned char zero[64] = {};
    Update(zero, (m_used <= 56 ? 56 - m_used : 120 - m_used));
    unsigned char len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Update(len, 8);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::uint32_t v : m_h)
        for (int s = 28; s >= 0; s -= 4) out.push_back(kHex[(v >> s) & 15]);
    return out;
}

}  // namespace zpvpack

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "download/md5.h"

namespace {
std::string TempFile(const std::string& name, const std::string& content) {
    std::string path = ::testing::TempDir() + "md5_" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}
std::string FileDigest(const std::string& path) {
    MD5_CTX ctx;
    char out[33] = "untouched";
    if (!ctx.MD5File(out, path)) return std::string("false:") + out;
    return out;
}
}  // namespace

TEST(MD5, Rfc1321TestSuiteForStringsAndFiles) {
    const std::pair<std::string, std::string> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    int i = 0;
    for (const auto& [msg, digest] : suite) {
        EXPECT_EQ(MD5Hex(msg.data(), msg.size()), digest) << msg;
        EXPECT_EQ(FileDigest(TempFile(std::to_string(i++), msg)), digest) << msg;
    }
}

TEST(MD5, PiecewiseUpdatesAndReuseAfterFinal) {
    std::string data(100000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
    const std::string whole = MD5Hex(data.data(), data.size());
    MD5_CTX ctx;
    unsigned char d1[16], d2[16];
    ctx.Update(reinterpret_cast<const unsigned char*>("junk"), 4);
    ctx.Final(d1);   // Final resets: the next message is digested alone
    for (std::size_t pos = 0, step = 1; pos < data.size(); pos += step, step = step * 3 % 1000 + 1) {
        std::size_t n = std::min(step, data.size() - pos);
        ctx.Update(reinterpret_cast<const unsigned char*>(data.data() + pos), static_cast<std::uint32_t>(n));
    }
    ctx.Update(nullptr, 0);
    ctx.Final(d2);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d2[i]);
    EXPECT_EQ(std::string(hex), whole);
    // A file larger than one read piece gives the same digest.
    std::string big(3 * 1024 * 1024 + 17, 'q');
    EXPECT_EQ(FileDigest(TempFile("big", big)), MD5Hex(big.data(), big.size()));
}

TEST(MD5, LeadingZeroNibblesAndMissingFiles) {
    // md5("jk8ssl") = 00000000 18e6137a c2caab16 074784a6
    EXPECT_EQ(MD5Hex("jk8ssl", 6), "0000000018e6137ac2caab16074784a6");
    EXPECT_EQ(FileDigest(::testing::TempDir() + "no/such/file"), "false:untouched");
    EXPECT_EQ(FileDigest(::testing::TempDir()), "false:untouched");   // a folder cannot be read
}

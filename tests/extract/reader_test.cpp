// The archive reader on archives from real archivers and on hand-made hostile ones.
#include <gtest/gtest.h>

#include <cstdlib>

#include "extract/extract_status.h"
#include "extract/zip_path.h"
#include "extract/zip_reader.h"
#include "tree_util.h"
#include "zip_writer.h"

using namespace ztest;
using zpvx::ZipReader;

namespace {

class StringSink : public zpvx::EntrySink {
public:
    bool Write(const unsigned char* d, std::size_t n) override {
        data.append(reinterpret_cast<const char*>(d), n);
        return true;
    }
    std::string data;
};

struct Opened {
    int status;
    std::string error;
    std::map<std::string, std::string> files;   // rel -> content ("<dir>" for folders)
};

// Opens and reads every entry; the first failure is the result.
Opened ReadAll(const std::string& bytes, const zpvx::ZipLimits& limits = zpvx::ZipLimits()) {
    zpvx::MemorySource src(bytes.data(), bytes.size());
    ZipReader r;
    Opened o{r.Open(&src, limits), r.Error(), {}};
    if (o.status) return o;
    for (const auto& e : r.Entries()) {
        StringSink sink;
        int st = r.ReadEntry(e, &sink);
        if (st) return Opened{st, r.Error(), o.files};
        o.files[e.rel] = e.isDir ? std::string("<dir>") : sink.data;
    }
    return o;
}

fs::path Scratch(const std::string& name) {
    fs::path p = fs::path(::testing::TempDir()) / ("zpvx_reader_" + name);
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

int Shell(const std::string& cmd) { return std::system(cmd.c_str()); }

std::string OneEntry(ZipItem item) {
    ZipWriter w;
    w.Add(item);
    return w.Finish();
}

}  // namespace

TEST(ZipReader, ReadsWhatTheZipToolWrites) {
    fs::path dir = Scratch("ziptool");
    Tree tree = {{"app/bin/client.exe", Noise(300000, 1)}, {"app/readme.txt", Text(50000, 2)},
                 {"app/empty.dat", ""},                    {"app/cache/", "<dir>"},
                 {"app/deep/a/b/c/d.txt", "deep"}};
    MakeTree(dir / "src", {{"app/bin/client.exe", tree["app/bin/client.exe"]},
                           {"app/readme.txt", tree["app/readme.txt"]},
                           {"app/empty.dat", ""},
                           {"app/cache", "<dir>"},
                           {"app/deep/a/b/c/d.txt", "deep"}});
    // -0 stores, default deflates, -fz forces Zip64 records, -fd writes data descriptors.
    for (std::string opts : {"", "-0", "-fz", "-9 -fd"}) {
        fs::path zip = dir / "p.zip";
        fs::remove(zip);
        ASSERT_EQ(Shell("cd '" + (dir / "src").string() + "' && zip -q -r " + opts + " '" + zip.string() + "' app"), 0);
        Opened o = ReadAll(ReadFile(zip));
        ASSERT_EQ(o.status, ZPV_EXTRACT_OK) << opts << ": " << o.error;
        EXPECT_EQ(o.files["app/bin/client.exe"], tree["app/bin/client.exe"]) << opts;
        EXPECT_EQ(o.files["app/readme.txt"], tree["app/readme.txt"]) << opts;
        EXPECT_EQ(o.files["app/empty.dat"], "") << opts;
        EXPECT_EQ(o.files["app/cache"], "<dir>") << opts;
        EXPECT_EQ(o.files["app/deep/a/b/c/d.txt"], "deep") << opts;
    }
    // Streamed input: no sizes in the local header, descriptor after the data.
    fs::path piped = dir / "piped.zip";
    ASSERT_EQ(Shell("head -c 200000 /dev/zero | zip -q - - > '" + piped.string() + "'"), 0);
    Opened o = ReadAll(ReadFile(piped));
    ASSERT_EQ(o.status, ZPV_EXTRACT_OK) << o.error;
    EXPECT_EQ(o.files["-"], std::string(200000, '\0'));
}

TEST(ZipReader, ReadsZip64RecordsUtf8NamesAndDescriptorsOfAScriptedWriter) {
    fs::path dir = Scratch("python");
    fs::path zip = dir / "p.zip", many = dir / "many.zip";
    const std::string script =
        "import zipfile, io\n"
        "with zipfile.ZipFile('" + zip.string() + "', 'w') as z:\n"
        "    z.writestr(zipfile.ZipInfo('stored.bin'), bytes(range(256)) * 10)\n"
        "    z.writestr('中文/名字.txt', 'hello ' * 1000, compress_type=zipfile.ZIP_DEFLATED)\n"
        "    with z.open('forced64.txt', 'w', force_zip64=True) as f: f.write(b'x' * 70000)\n"
        "    z.writestr('dir/', '')\n"
        // An unseekable output makes the writer use data descriptors.
        "class W(io.RawIOBase):\n"
        "    def __init__(s, f): s.f = f\n"
        "    def writable(s): return True\n"
        "    def write(s, b): return s.f.write(b)\n"
        "with open('" + (dir / "stream.zip").string() + "', 'wb') as raw:\n"
        "    with zipfile.ZipFile(W(raw), 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "        z.writestr('s.txt', 'streamed ' * 5000)\n"
        // More than 65535 entries needs the Zip64 end record.
        "with zipfile.ZipFile('" + many.string() + "', 'w') as z:\n"
        "    for i in range(70000): z.writestr('f/%d' % i, '')\n";
    WriteFile(dir / "make.py", script);
    ASSERT_EQ(Shell("python3 '" + (dir / "make.py").string() + "'"), 0);

    Opened o = ReadAll(ReadFile(zip));
    ASSERT_EQ(o.status, ZPV_EXTRACT_OK) << o.error;
    std::string bytes;
    for (int i = 0; i < 10; ++i)
        for (int c = 0; c < 256; ++c) bytes.push_back(static_cast<char>(c));
    EXPECT_EQ(o.files["stored.bin"], bytes);
    std::string hello;
    for (int i = 0; i < 1000; ++i) hello += "hello ";
    EXPECT_EQ(o.files["中文/名字.txt"], hello);
    EXPECT_EQ(o.files["forced64.txt"], std::string(70000, 'x'));
    EXPECT_EQ(o.files["dir"], "<dir>");

    Opened s = ReadAll(ReadFile(dir / "stream.zip"));
    ASSERT_EQ(s.status, ZPV_EXTRACT_OK) << s.error;
    EXPECT_EQ(s.files["s.txt"].size(), 45000u);

    std::string m = ReadFile(many);
    zpvx::MemorySource src(m.data(), m.size());
    ZipReader r;
    ASSERT_EQ(r.Open(&src), ZPV_EXTRACT_OK) << r.Error();
    EXPECT_EQ(r.Entries().size(), 70000u);
    zpvx::ZipLimits tight;
    tight.maxEntries = 60000;
    EXPECT_EQ(r.Open(&src, tight), ZPV_EXTRACT_TOO_MANY_ENTRIES);
}

TEST(ZipReader, HandMadeZip64RecordsAndDescriptors) {
    ZipWriter w;
    ZipItem a{"a.txt", Text(5000, 1)};
    a.zip64 = true;
    ZipItem b{"b.bin", Noise(3000, 2), 0};
    b.zip64 = true;
    b.descriptor = true;
    ZipItem c{"c.txt", "plain"};
    c.descriptor = true;
    w.Add(a);
    w.Add(b);
    w.Add(c);
    ZipWriter::End end;
    end.zip64 = true;
    Opened o = ReadAll(w.Finish(end));
    ASSERT_EQ(o.status, ZPV_EXTRACT_OK) << o.error;
    EXPECT_EQ(o.files["a.txt"], a.data);
    EXPECT_EQ(o.files["b.bin"], b.data);
    EXPECT_EQ(o.files["c.txt"], "plain");
}

TEST(ZipReader, EntryNamesUtf8LegacyAndUnicodePathField) {
    ZipItem utf8{"\xE5\x8D\x87\xE7\xBA\xA7.txt", "x"};   // "升级.txt"
    utf8.flags = 1 << 11;
    EXPECT_EQ(ReadAll(OneEntry(utf8)).files.count("\xE5\x8D\x87\xE7\xBA\xA7.txt"), 1u);

    // Without the flag the bytes are code page 437: 0x81 is u-umlaut, 0xE1 sharp s.
    ZipItem legacy{"gr\x81\xE1.txt", "x"};
    EXPECT_EQ(ReadAll(OneEntry(legacy)).files.count("gr\xC3\xBC\xC3\x9F.txt"), 1u);

    // A Unicode path field wins over the legacy name when it belongs to that name.
    ZipItem withField{"legacy?.txt", "x"};
    withField.extra = ExtraRecord(0x7075, std::string(1, '\x01') + Le32(Crc("legacy?.txt")) + "\xC3\xA9t\xC3\xA9.txt");
    EXPECT_EQ(ReadAll(OneEntry(withField)).files.count("\xC3\xA9t\xC3\xA9.txt"), 1u);
    // A stale field (the name was changed after it was written) is ignored.
    ZipItem stale{"plain.txt", "x"};
    stale.extra = ExtraRecord(0x7075, std::string(1, '\x01') + Le32(Crc("other")) + "new.txt");
    EXPECT_EQ(ReadAll(OneEntry(stale)).files.count("plain.txt"), 1u);

    ZipItem badUtf8{"bad\xC0\xAF.txt", "x"};   // overlong '/'
    badUtf8.flags = 1 << 11;
    EXPECT_EQ(ReadAll(OneEntry(badUtf8)).status, ZPV_EXTRACT_BAD_NAME);
}

TEST(EntryPath, RefusesNamesThatLeaveTheFolderOrAreNotFileNames) {
    const std::string unsafe[] = {
        "../x", "a/../../x", "a/..", "..\\x", "a\\..\\..\\x", "/etc/passwd", "\\x", "C:/x", "C:x", "c:\\x",
        "//server/share/x", "\\\\server\\share\\x", "\\\\?\\C:\\x", "file.txt:stream", "a/b::$DATA",
        "CON", "con.txt", "a/NUL", "Nul.tar.gz", "LPT1.log", "COM9", "com1", "COM\xC2\xB9", "aux .txt", "CONIN$",
        "PRN", "a./b", "a /b", "b.", "x?", "x*", "x|y", "x<y", "x\"y", "a\x01" "b", ".zpv-extract/x", ".ZPV-Extract",
        "", "/", std::string(256, 'n')};
    for (const std::string& n : unsafe) {
        zpvx::EntryPath p;
        std::string why;
        EXPECT_EQ(zpvx::NormalizeEntryPath(n, &p, &why), ZPV_EXTRACT_UNSAFE_PATH) << n;
    }
    const std::pair<const char*, const char*> fine[] = {
        {"a/./b", "a/b"}, {"a//b", "a/b"}, {"a\\b\\c.txt", "a/b/c.txt"}, {"CONSOLE.txt", "CONSOLE.txt"},
        {"com10", "com10"}, {"lpt", "lpt"}, {"..a", "..a"}, {"a..b", "a..b"}, {".hidden", ".hidden"},
        {"x/CON_", "x/CON_"}, {"\xE4\xB8\xAD/\xE6\x96\x87", "\xE4\xB8\xAD/\xE6\x96\x87"}};
    for (const auto& [in, out] : fine) {
        zpvx::EntryPath p;
        std::string why;
        EXPECT_EQ(zpvx::NormalizeEntryPath(in, &p, &why), ZPV_EXTRACT_OK) << in << ": " << why;
        EXPECT_EQ(p.rel, out);
        EXPECT_FALSE(p.isDir);
    }
    zpvx::EntryPath d;
    std::string why;
    ASSERT_EQ(zpvx::NormalizeEntryPath("a/b/", &d, &why), ZPV_EXTRACT_OK);
    EXPECT_TRUE(d.isDir);
    EXPECT_EQ(d.rel, "a/b");
    std::string deep;
    for (int i = 0; i < 128; ++i) deep += "a/";
    EXPECT_EQ(zpvx::NormalizeEntryPath(deep + "f", &d, &why), ZPV_EXTRACT_UNSAFE_PATH);   // 129 levels
    EXPECT_EQ(zpvx::NormalizeEntryPath(deep, &d, &why), ZPV_EXTRACT_OK);
    // The archive's hostile name is refused as a whole archive.
    EXPECT_EQ(ReadAll(OneEntry(ZipItem{"ok/../../evil", "x"})).status, ZPV_EXTRACT_UNSAFE_PATH);
}

TEST(ZipReader, TwoEntriesForOnePathAreRefused) {
    auto two = [](const char* a, const char* b) {
        ZipWriter w;
        w.Add(ZipItem{a, a[std::string(a).size() - 1] == '/' ? "" : "1"});
        w.Add(ZipItem{b, b[std::string(b).size() - 1] == '/' ? "" : "2"});
        return ReadAll(w.Finish()).status;
    };
    EXPECT_EQ(two("a.txt", "a.txt"), ZPV_EXTRACT_DUPLICATE_ENTRY);
    EXPECT_EQ(two("Dir/a.txt", "dir/A.TXT"), ZPV_EXTRACT_DUPLICATE_ENTRY);   // one file on Windows
    EXPECT_EQ(two("a", "a/b"), ZPV_EXTRACT_DUPLICATE_ENTRY);                 // file used as a folder
    EXPECT_EQ(two("a/b", "a"), ZPV_EXTRACT_DUPLICATE_ENTRY);
    EXPECT_EQ(two("a/./b", "a/b"), ZPV_EXTRACT_DUPLICATE_ENTRY);
    EXPECT_EQ(two("a/", "a/b"), ZPV_EXTRACT_OK);
    EXPECT_EQ(two("a/b", "a/"), ZPV_EXTRACT_OK);
    EXPECT_EQ(two("a/", "A/"), ZPV_EXTRACT_OK);
    EXPECT_EQ(two("a/", "a"), ZPV_EXTRACT_DUPLICATE_ENTRY);
}

TEST(ZipReader, CorruptAndLyingEntriesAreRefused) {
    const std::string text = Text(100000, 3);
    ZipItem wrongCrc{"a.txt", text};
    wrongCrc.crc = Crc(text) ^ 1;
    EXPECT_EQ(ReadAll(OneEntry(wrongCrc)).status, ZPV_EXTRACT_CRC_MISMATCH);
    ZipItem storedCrc{"a.bin", "abc", 0};
    storedCrc.crc = 7;
    EXPECT_EQ(ReadAll(OneEntry(storedCrc)).status, ZPV_EXTRACT_CRC_MISMATCH);

    ZipItem longer{"a.txt", text};
    longer.size = text.size() + 1;
    EXPECT_EQ(ReadAll(OneEntry(longer)).status, ZPV_EXTRACT_SIZE_MISMATCH);
    ZipItem shorter{"a.txt", text};
    shorter.size = text.size() - 1;
    EXPECT_EQ(ReadAll(OneEntry(shorter)).status, ZPV_EXTRACT_SIZE_MISMATCH);
    ZipItem storedSizes{"a.bin", "abcdef", 0};
    storedSizes.size = 5;
    EXPECT_EQ(ReadAll(OneEntry(storedSizes)).status, ZPV_EXTRACT_SIZE_MISMATCH);
    // Compressed size larger than the deflate stream.
    ZipWriter w;
    ZipItem greedy{"a.txt", text};
    greedy.compressedSize = Deflate(text).size() + 10;
    w.Add(greedy);
    w.AddRaw(std::string(10, 'j'));
    EXPECT_EQ(ReadAll(w.Finish()).status, ZPV_EXTRACT_SIZE_MISMATCH);
    // ... or claiming the bytes of the next record.
    ZipWriter w2;
    w2.Add(greedy);
    w2.Add(ZipItem{"b.txt", "b"});
    EXPECT_EQ(ReadAll(w2.Finish()).status, ZPV_EXTRACT_OVERLAPPING_ENTRIES);

    // Garbage instead of deflate data.
    ZipItem garbage{"g.txt", "", 0};
    garbage.data = std::string(1000, '\xFF');
    std::string zip = OneEntry(garbage);
    zip[8] = 8;   // local method
    zip[zip.find("PK\x01\x02") + 10] = 8;   // central method
    EXPECT_EQ(ReadAll(zip).status, ZPV_EXTRACT_CORRUPT_DATA);

    // Data descriptor that disagrees with the directory.
    ZipItem desc{"d.txt", "descriptor"};
    desc.descriptor = true;
    std::string d = OneEntry(desc);
    std::size_t at = d.find("PK\x07\x08");
    d[at + 4] ^= 1;
    EXPECT_EQ(ReadAll(d).status, ZPV_EXTRACT_HEADER_MISMATCH);
}

TEST(ZipReader, BombsAreCutAtTheDeclaredSize) {
    // 20 MB of zeros declared as 1000 bytes: at most one byte past the declaration comes out.
    const std::string zeros(20u << 20, '\0');
    ZipItem bomb{"bomb", zeros};
    bomb.size = 1000;
    const std::string zip = OneEntry(bomb);
    EXPECT_LT(zip.size(), 30000u);
    zpvx::MemorySource src(zip.data(), zip.size());
    ZipReader r;
    ASSERT_EQ(r.Open(&src), ZPV_EXTRACT_OK);
    StringSink sink;
    EXPECT_EQ(r.ReadEntry(r.Entries()[0], &sink), ZPV_EXTRACT_SIZE_MISMATCH);
    EXPECT_LE(sink.data.size(), 1000u);

    // A declaration deflate cannot reach is refused before any data is read.
    ZipItem absurd{"x", "tiny"};
    absurd.size = 1ull << 32;
    EXPECT_EQ(ReadAll(OneEntry(absurd)).status, ZPV_EXTRACT_SIZE_MISMATCH);
    zpvx::ZipLimits small;
    small.maxEntrySize = 100;
    EXPECT_EQ(ReadAll(OneEntry(ZipItem{"big", Text(1000, 1)}), small).status, ZPV_EXTRACT_TOO_LARGE);
    small = zpvx::ZipLimits();
    small.maxTotalSize = 1500;
    ZipWriter w;
    w.Add(ZipItem{"a", Text(1000, 1)});
    w.Add(ZipItem{"b", Text(1000, 2)});
    EXPECT_EQ(ReadAll(w.Finish(), small).status, ZPV_EXTRACT_TOO_LARGE);
}

TEST(ZipReader, OverlappingEntriesAreRefused) {
    // b's record sits inside a's stored data: the classic way to reuse bytes many times.
    ZipItem b{"b.txt", Text(2000, 5)};
    std::string inner = ZipWriter::LocalRecord(b);
    ZipWriter w;
    ZipItem a{"a.bin", "head" + inner + "tail", 0};
    std::uint64_t aOffset = w.Add(a);
    w.AddCentral(b, aOffset + 30 + 5 + 4);
    EXPECT_EQ(ReadAll(w.Finish()).status, ZPV_EXTRACT_OVERLAPPING_ENTRIES);

    // Two directory records for one local record.
    ZipWriter w2;
    ZipItem one{"same.txt", "x"};
    w2.Add(one);
    w2.AddCentral(one, 0);
    EXPECT_NE(ReadAll(w2.Finish()).status, ZPV_EXTRACT_OK);
}

TEST(ZipReader, MalformedStructureIsRefused) {
    ZipWriter w;
    w.Add(ZipItem{"a.txt", Text(3000, 1)});
    w.Add(ZipItem{"b/c.txt", Noise(3000, 2), 0});
    const std::string good = w.Finish();
    ASSERT_EQ(ReadAll(good).status, ZPV_EXTRACT_OK);

    // Every truncation fails cleanly.
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_NE(ReadAll(good.substr(0, n)).status, ZPV_EXTRACT_OK) << n;
    // Every single flipped byte is either harmless or refused; never a crash.
    for (std::size_t i = 0; i < good.size(); i += 7) {
        std::string bad = good;
        bad[i] = static_cast<char>(bad[i] ^ 0x5A);
        ReadAll(bad);
    }
    EXPECT_EQ(ReadAll(std::string(100, 'x')).status, ZPV_EXTRACT_NOT_AN_ARCHIVE);
    EXPECT_EQ(ReadAll("").status, ZPV_EXTRACT_NOT_AN_ARCHIVE);

    auto withEnd = [](ZipWriter::End end) {
        ZipWriter w;
        w.Add(ZipItem{"a.txt", "a"});
        return ReadAll(w.Finish(end)).status;
    };
    ZipWriter::End e;
    e.count = 0xFFFE;   // far more entries than the directory can hold
    EXPECT_EQ(withEnd(e), ZPV_EXTRACT_NOT_AN_ARCHIVE);
    e = ZipWriter::End();
    e.zip64 = true;
    e.count = 1ull << 40;
    EXPECT_EQ(withEnd(e), ZPV_EXTRACT_TOO_MANY_ENTRIES);
    e = ZipWriter::End();
    e.cdOffset = 1u << 30;
    EXPECT_EQ(withEnd(e), ZPV_EXTRACT_TRUNCATED);
    e = ZipWriter::End();
    e.comment = "trailing comment with PK\x05\x06 inside";
    EXPECT_EQ(withEnd(e), ZPV_EXTRACT_OK);

    ZipItem enc{"e.txt", "secret"};
    enc.flags = 1;
    EXPECT_EQ(ReadAll(OneEntry(enc)).status, ZPV_EXTRACT_UNSUPPORTED);
    ZipItem bz{"e.txt", "bzip2", 12};
    EXPECT_EQ(ReadAll(OneEntry(bz)).status, ZPV_EXTRACT_UNSUPPORTED);
    ZipItem renamed{"a.txt", "x"};
    renamed.localName = "b.txt";
    EXPECT_EQ(ReadAll(OneEntry(renamed)).status, ZPV_EXTRACT_HEADER_MISMATCH);
}

// What the native and the Wine tests of zpvpack share: a release folder and hostile packages.
#pragma once

#include <string>
#include <vector>

#include "tests/extract/tree_util.h"
#include "tests/extract/zip_writer.h"

namespace ztest {

// A client folder as released: the updater in its own folder, nested files, an empty folder,
// a non-ASCII name, a file of several deflate chunks.
inline Tree Release() {
    return {{"Updater/ZPVUpdate.exe", Noise(3000, 1)}, {"Updater/zlib.dll", "dll"}, {"ZPVLaunch.exe", Text(5000, 2)},
            {"res/empty", "<dir>"}, {"res/\xE6\x95\x99\xE5\xAE\xA4.txt", "classroom"}, {"res/zero.dat", ""},
            {"bin/big.dat", Text(700000, 3) + Noise(600000, 4) + Text(300000, 5)}};
}

// Packages in the client's top folder, one good and then one of each kind the extractor refuses.
inline std::vector<std::string> HostilePackages() {
    auto pkg = [](std::vector<ZipItem> items) {
        ZipWriter w;
        for (ZipItem& i : items) {
            i.name = "Veltaro/" + i.name;
            w.Add(i);
        }
        return w.Finish();
    };
    const std::string text = Text(100000, 7);
    ZipItem badCrc{"x.txt", text};
    badCrc.crc = Crc(text) + 1;
    ZipItem lying{"x.txt", text};
    lying.size = text.size() - 10;
    ZipItem bomb{"bomb.bin", std::string(4u << 20, '\0')};
    bomb.size = 4096;
    ZipItem badName{"\xC0\xAF.txt", "x"};
    badName.flags = 1 << 11;
    const std::string good = pkg({ZipItem{"a.txt", text}, ZipItem{"b/", ""}});
    std::string broken = pkg({ZipItem{"a.txt", text}});
    broken[30 + 13 + 100] ^= 0x55;   // inside the deflated data
    // One entry's data inside another's.
    ZipItem inner{"Veltaro/b.txt", "shared"};
    ZipWriter ow;
    const std::uint64_t at = ow.Add(ZipItem{"Veltaro/a.bin", "pad" + ZipWriter::LocalRecord(inner), 0});
    ow.AddCentral(inner, at + 30 + 13 + 3);
    return {good, broken, good.substr(0, good.size() - 5), good.substr(0, good.size() / 2),
            pkg({badCrc}), pkg({lying}), pkg({bomb}), ow.Finish(),
            pkg({ZipItem{"../evil.txt", "x"}}), pkg({ZipItem{"CON", "x"}}), pkg({ZipItem{"a:b", "x"}}),
            pkg({ZipItem{"A.txt", "1"}, ZipItem{"a.TXT", "2"}}), pkg({ZipItem{"f", "1"}, ZipItem{"f/g", "2"}}),
            pkg({ZipItem{"x.txt", "x", 12}}), pkg({badName})};
}

}  // namespace ztest

// Prints the MD5File digest of each file given, like md5sum: "<digest>  <path>".
#include <cstdio>

#include "download/md5.h"

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        MD5_CTX ctx;
        char digest[33];
        if (!ctx.MD5File(digest, argv[i])) {
            std::fprintf(stderr, "md5_bench: cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        std::printf("%s  %s\n", digest, argv[i]);
    }
    return status;
}

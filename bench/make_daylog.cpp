// Writes a generated day file for the end-to-end benchmarks.
//
//   bench_daylog.exe PATH BYTES
//
// PATH gets old lines (see daylog.h) up to about BYTES bytes.
#include "bench/daylog.h"
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: bench_daylog.exe PATH BYTES\n");
        return 2;
    }
    std::string content;
    AppendOldLines(content, (size_t)strtoul(argv[2], NULL, 10), 7);
    FILE* file = fopen(argv[1], "wb");
    if (file == NULL) {
        fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    size_t written = fwrite(content.data(), 1, content.size(), file);
    if (fclose(file) != 0 || written != content.size()) {
        fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    printf("%u bytes\n", (unsigned int)content.size());
    return 0;
}

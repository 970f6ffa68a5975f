// Writes the seed corpus of fuzz_framing into a directory, one file per seed
// and chunk plan: each seed whole, and again in 7-byte receives so that the
// corpus starts with headers split across chunks.
//
// Usage: make_seeds DIR
#include <cstdio>
#include <fstream>
#include <string>

#include <google/protobuf/stubs/logging.h>

#include "FuzzStream.h"
#include "SeedCorpus.h"

namespace {

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    // The seeds carry GBK text in string fields, as the server does; the
    // generated code's debug check would log each one.
    google::protobuf::SetLogHandler(nullptr);
    const std::string dir = argv[1];
    int written = 0;
    for (const hvr_fuzz::Seed& seed : hvr_fuzz::seedCorpus()) {
        const std::size_t size = seed.stream.size();
        const std::string whole = hvr_fuzz::makeFuzzInput(seed.stream, hvr_fuzz::evenChunks(size, size));
        const std::string split = hvr_fuzz::makeFuzzInput(seed.stream, hvr_fuzz::evenChunks(size, 7));
        if (!writeFile(dir + "/" + seed.name, whole) || !writeFile(dir + "/" + seed.name + "_chunk7", split)) {
            std::fprintf(stderr, "make_seeds: cannot write into %s\n", dir.c_str());
            return 1;
        }
        written += 2;
    }
    std::printf("make_seeds: %d seeds in %s\n", written, dir.c_str());
    return 0;
}

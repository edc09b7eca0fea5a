// Writes the seed corpus into a directory: fuzz_seeds DIR
#include "seed_images.h"

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    for (const seed_image& seed : seed_images()) {
        std::ofstream out(std::string(argv[1]) + "/" + seed.name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
        if (!out.flush()) {
            std::fprintf(stderr, "fuzz_seeds: cannot write %s/%s\n", argv[1], seed.name.c_str());
            return 1;
        }
    }
    return 0;
}

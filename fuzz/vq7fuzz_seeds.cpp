// vq7fuzz_seeds: writes a fuzz target's seed corpus.
//
//   vq7fuzz_seeds class-layer <dir> <file.usb>...   descriptor files (as
//                                                    `vq7usb export` writes
//                                                    them), encoded as inputs
//   vq7fuzz_seeds asio-channel <dir>                 the channel's sessions
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "seed_corpus.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 3 && args[0] == "class-layer") {
            std::vector<vq7fuzz::SeedInput> seeds;
            for (size_t i = 2; i < args.size(); ++i) seeds.push_back(vq7fuzz::ClassLayerSeedFromFile(args[i]));
            vq7fuzz::WriteSeeds(seeds, args[1]);
            return 0;
        }
        if (args.size() == 2 && args[0] == "asio-channel") {
            vq7fuzz::WriteSeeds(vq7fuzz::AsioChannelSeeds(), args[1]);
            return 0;
        }
    } catch (const std::exception& error) {
        fprintf(stderr, "vq7fuzz_seeds: %s\n", error.what());
        return 1;
    }
    fprintf(stderr,
            "usage: vq7fuzz_seeds class-layer <dir> <file.usb>...\n"
            "       vq7fuzz_seeds asio-channel <dir>\n");
    return 2;
}

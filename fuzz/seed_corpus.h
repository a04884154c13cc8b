// The targets' seed corpora, as files: what vq7fuzz_seeds writes and the
// seed replay test reads the same way.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vq7fuzz {

struct SeedInput {
    std::string name;
    std::vector<uint8_t> bytes;
};

// The ready-made devices, each exported as a descriptor file (as
// `vq7usb export` writes it), read back and encoded as a class-layer input.
std::vector<SeedInput> ClassLayerSeedsFromReadyMadeDevices();
// A descriptor file encoded as a class-layer input; throws
// simusb::DescriptorFileError for a file that does not load.
SeedInput ClassLayerSeedFromFile(const std::filesystem::path& file);
std::vector<SeedInput> AsioChannelSeeds();

void WriteSeeds(const std::vector<SeedInput>& seeds, const std::filesystem::path& directory);
// Every regular file of a directory, in name order; none if it does not exist.
std::vector<SeedInput> ReadSeeds(const std::filesystem::path& directory);

}  // namespace vq7fuzz

#include "seed_corpus.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "asio_channel_session.h"
#include "class_layer_input.h"
#include "simusb/descriptor_file.h"
#include "simusb/ready_made_devices.h"

namespace vq7fuzz {

std::vector<SeedInput> ClassLayerSeedsFromReadyMadeDevices() {
    std::vector<SeedInput> seeds;
    for (const simusb::ReadyMadeDevice& device : simusb::ReadyMadeDevices()) {
        const std::string text = simusb::WriteDescriptorFile(*device.Make());
        seeds.push_back({std::string(device.name), EncodeClassLayerInput(simusb::ParseDescriptorFile(text))});
    }
    return seeds;
}

SeedInput ClassLayerSeedFromFile(const std::filesystem::path& file) {
    return {file.stem().string(), EncodeClassLayerInput(simusb::ReadDescriptorFile(file))};
}

std::vector<SeedInput> AsioChannelSeeds() {
    std::vector<SeedInput> seeds;
    for (std::vector<uint8_t>& bytes : AsioChannelSeedInputs()) {
        seeds.push_back({"session-" + std::to_string(seeds.size() + 1), std::move(bytes)});
    }
    return seeds;
}

void WriteSeeds(const std::vector<SeedInput>& seeds, const std::filesystem::path& directory) {
    std::filesystem::create_directories(directory);
    for (const SeedInput& seed : seeds) {
        std::ofstream out(directory / seed.name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + (directory / seed.name).string());
    }
}

std::vector<SeedInput> ReadSeeds(const std::filesystem::path& directory) {
    std::vector<SeedInput> seeds;
    if (!std::filesystem::is_directory(directory)) return seeds;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        seeds.push_back({entry.path().filename().string(),
                         std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())});
    }
    std::sort(seeds.begin(), seeds.end(), [](const SeedInput& a, const SeedInput& b) { return a.name < b.name; });
    return seeds;
}

}  // namespace vq7fuzz

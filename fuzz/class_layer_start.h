// The class-layer target's world: one simulated kernel and USB host kept
// for the whole run. Each input plugs a device made from its bytes into the
// host, starts the driver's class layer on it directly (as the adapter does
// at start, without Plug and Play), destroys the layer and unplugs the
// device; the layer must give back every block of pool it took.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kmsim/simulation.h"
#include "simusbhost/bus.h"

namespace vq7fuzz {

class ClassLayerStartWorld {
public:
    ClassLayerStartWorld();
    ~ClassLayerStartWorld();
    ClassLayerStartWorld(const ClassLayerStartWorld&) = delete;
    ClassLayerStartWorld& operator=(const ClassLayerStartWorld&) = delete;

    // False when the simulated device refuses the bytes (nothing ran). A
    // layer that keeps pool after it is destroyed stops the program with
    // the leak report.
    bool Run(const uint8_t* data, size_t size);
    // Inputs whose layer started, for tests of the seeds.
    uint64_t Started() const { return started_; }

private:
    kmsim::Simulation sim_;
    std::unique_ptr<simusbhost::Bus> bus_;
    uint64_t started_ = 0;
};

}  // namespace vq7fuzz

// A target's world, built at the first input on the fuzzing thread (the
// one that boots the simulated kernel) and kept until the process ends.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace vq7fuzz {

// libFuzzer ends a run that found nothing with exit(0). By the time exit
// handlers run the simulated kernel's per-thread state is already gone, so
// the world cannot be taken down (every input already showed that it
// leaves the world as it found it): the process ends here, before the
// kernel's statics.
inline void EndWithoutTeardown() {
    fflush(nullptr);
    _Exit(0);
}

template <typename World>
World& KeptWorld() {
    static World* world = nullptr;
    if (world == nullptr) {
        world = new World;
        atexit(EndWithoutTeardown);
    }
    return *world;
}

}  // namespace vq7fuzz

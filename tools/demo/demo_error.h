// A failure the demo reports as one line and a non-zero exit: bad options,
// a device or file that cannot be had, a request the driver refused.
#pragma once

#include <stdexcept>

namespace vq7demo {

class DemoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vq7demo

// printf-style formatting into a std::string, for the readable reports.
#pragma once

#include <string>

namespace vq7usb {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vq7usb

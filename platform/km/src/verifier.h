// The stand-in's driver checker: rule violations stop the program with a
// message that names the rule and the function that broke it.
#pragma once

#include <wdm.h>

#include <string>

namespace km {

// The address the calling stand-in function returns to: the caller to blame.
#define KM_CALLER (__builtin_return_address(0))

// Stops like a bug check: prints the code, the message, the caller and a
// backtrace, then aborts.
[[noreturn]] void Stop(ULONG code, const void* caller, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// "function (file:line)" for a code address, as well as it can be resolved.
std::string DescribeCodeAddress(const void* pc);

// Checks that the caller runs at or below `maximum`.
void RequireIrqlAtMost(KIRQL maximum, const void* caller, const char* function);

}  // namespace km

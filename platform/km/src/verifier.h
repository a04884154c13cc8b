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
// "file:line" of the innermost inlined frame at a code address, or empty.
std::string CodeLocation(const void* pc);

// Checks that the caller runs at or below `maximum`.
void RequireIrqlAtMost(KIRQL maximum, const void* caller, const char* function);

}  // namespace km

namespace km {

// What a routine the stand-in calls (dispatch and completion routines, DPCs,
// work items, system threads) found on entry, and must leave as it was.
struct RoutineFrame {
    KIRQL irql;
    ULONG spinLocks;
    ULONG mutexes;
    ULONG gateMutexes;  // fast and guarded mutexes
    LONG criticalRegion;
    LONG guardedRegion;
};

RoutineFrame EnterRoutine();
// Stops, naming the routine, when it returns at another IRQL, holding a lock
// it did not hold on entry, or with its critical or guarded regions unbalanced.
void CheckRoutineExit(const RoutineFrame& entry, const void* routine, const char* kind);

}  // namespace km

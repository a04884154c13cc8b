#include "wavert/performance_parameters.h"

#include "common/trace.h"

namespace vq7 {

ULONG PlaybackFramesPerTransfer = 8;
ULONG PlaybackTransfersInFlight = 8;
ULONG CaptureFramesPerTransfer = 1;
ULONG CaptureTransfersInFlight = 16;

namespace {

struct ParameterPair {
    PCWSTR firstName;
    PCWSTR secondName;
    ULONG firstLimit;
    ULONG secondLimit;
};

const ParameterPair kPairs[] = {
    {L"param1", L"param2", 8, 8},
    {L"param3", L"param4", 1, 16},
};

const WCHAR kPerformanceKey[] = L"\\Registry\\Machine\\SOFTWARE\\VEXO\\Q7 ASIO Performance";

ULONG Clamp(ULONG value, ULONG fallback, ULONG limit) {
    if (value == 0) return fallback;
    return value > limit ? limit : value;
}

}  // namespace

void ReadPerformanceParameters(ULONG set, ULONG* first, ULONG* second) {
    PAGED_CODE();
    if (set >= RTL_NUMBER_OF(kPairs)) {
        return;
    }
    const ParameterPair& pair = kPairs[set];
    ULONG firstDefault = *first;
    ULONG secondDefault = *second;
    if (firstDefault == 0 || firstDefault > pair.firstLimit || secondDefault == 0 ||
        secondDefault > pair.secondLimit) {
        return;
    }
    ULONG firstValue = firstDefault;
    ULONG secondValue = secondDefault;
    // The type check keeps a value of another type (a string, a blob) from
    // being copied over the ULONG: such a key fails the query instead.
    const ULONG direct = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    const ULONG typeCheck = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0] = {nullptr, direct, const_cast<PWSTR>(pair.firstName), &firstValue, typeCheck | REG_DWORD,
                &firstDefault, sizeof(ULONG)};
    table[1] = {nullptr, direct, const_cast<PWSTR>(pair.secondName), &secondValue, typeCheck | REG_DWORD,
                &secondDefault, sizeof(ULONG)};
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kPerformanceKey, table, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_INFORMATION, kTraceWaveRt, "performance key not read: 0x%08lx",
                  static_cast<ULONG>(status));
        return;
    }
    *first = Clamp(firstValue, firstDefault, pair.firstLimit);
    *second = Clamp(secondValue, secondDefault, pair.secondLimit);
}

}  // namespace vq7

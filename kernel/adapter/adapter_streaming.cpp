// The adapter's streaming slots. Formats, spans and the prepared state are
// served by the streaming engine's pipelines and mixers; until those run, a
// stream cannot be given a format, so these slots refuse the format and
// keep nothing.

#include "adapter/adapter.h"

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::SetFormat(BOOLEAN Capture, USHORT FormatTag, ULONG Channels,
                                                    ULONG BitsPerSample, ULONG Rate) {
    UNREFERENCED_PARAMETER(Capture);
    UNREFERENCED_PARAMETER(FormatTag);
    UNREFERENCED_PARAMETER(Channels);
    UNREFERENCED_PARAMETER(BitsPerSample);
    UNREFERENCED_PARAMETER(Rate);
    if (KeReadStateEvent(&engine_.removing) != 0) {
        return STATUS_DELETE_PENDING;
    }
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(void) CUSBAudioAdapter::ClearFormat(BOOLEAN Capture) { UNREFERENCED_PARAMETER(Capture); }

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::Prepare(BOOLEAN Capture, ULONG BufferBytes) {
    UNREFERENCED_PARAMETER(Capture);
    UNREFERENCED_PARAMETER(BufferBytes);
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::Unprepare(BOOLEAN Capture) {
    UNREFERENCED_PARAMETER(Capture);
    return STATUS_SUCCESS;
}

// CUSBAudioCL: the WaveRT filter's description, built from the audio model.

#include "usbaudiocl.h"

ULONG CUSBAudioCL::CountPins() const {
    ULONG count = 0;
    for (CUSBAudioEntity* entity = Entities(); entity != nullptr; entity = entity->Next()) {
        count += entity->IsTerminal() ? 1 : 0;
    }
    return count;
}

NTSTATUS CUSBAudioCL::BuildDataRanges(USB_AS_INTERFACE*, vq7::DataRangeList*) { return STATUS_NOT_IMPLEMENTED; }

void CUSBAudioCL::FreeDataRanges(vq7::DataRangeList*) {}

NTSTATUS CUSBAudioCL::BuildFilterDescriptor(FilterDescriptionBlock*) { return STATUS_NOT_IMPLEMENTED; }

void CUSBAudioCL::FreeFilterDescriptor(FilterDescriptionBlock*) {}

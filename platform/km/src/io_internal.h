// The I/O manager's pieces that its parts share: device stacks, file
// objects, and the requests it builds on a client's behalf.
#pragma once

#include <wdm.h>

#include <string_view>

namespace km {

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// Sends a create, cleanup or close for `file` to the top of its device's
// stack and waits for it. PASSIVE_LEVEL.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction);

// A file object for `device` named `fileName`, opened with IRP_MJ_CREATE;
// `related`, when given, is the file object the name is relative to, and
// the new one holds a reference on it until it goes. On success it has one
// reference, the caller's; the last dereference sends IRP_MJ_CLOSE and
// frees it. PASSIVE_LEVEL.
NTSTATUS CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName, PFILE_OBJECT* file,
                          PFILE_OBJECT related = nullptr);

// An IRP the I/O manager builds itself: when it completes, the I/O manager
// copies the buffers back, fills the status block, signals the event and
// frees it (see irp.cpp).
PIRP AllocateBuiltIrp(CCHAR stackSize);

// Called as a built IRP with an OriginalFileObject finishes, before it is
// freed: the client side's bookkeeping and the file object's reference.
void ClientRequestCompleted(PIRP irp);

}  // namespace km

// CUSBCL: the driver's thin layer over the USB bus driver. It owns every
// exchange with the USB stack: the device, configuration and string
// descriptors, configuration and alternate-setting selection, the pipe
// handles, synchronous URBs (control requests, pipe resets) and asynchronous
// ones (isochronous and bulk transfers with a completion callback), the bus
// speed and the host controller's identity. It knows nothing about audio;
// CUSBAudioCL derives from it.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbbusif.h>
#include <usbdlib.h>
#include <usbuser.h>

#include "common/pool.h"
#include "common/rundown_gate.h"

class CUSBCL;

// Called once when an asynchronous transfer ends: its status, the data bytes
// moved, the URB's start frame (0 when not isochronous or failed), the
// callback context, and the transfer's duration in milliseconds (0 when not
// isochronous). Runs at DISPATCH_LEVEL or below, in the bus driver's
// completion context.
typedef VOID (*USB_TRANSFER_CALLBACK)(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG durationMs);

// One asynchronous transfer in flight, from the transfer-context lookaside.
// The first pointer doubles as the lookaside link while the record is free.
struct USB_TRANSFER_CONTEXT {
    PURB urb;
    PUSBD_PIPE_INFORMATION pipe;
    USB_TRANSFER_CALLBACK callback;
    PVOID callbackContext;
    CUSBCL* owner;
    PVOID stagingBuffer;  // an owned bounce buffer, or null
    ULONG stagingSize;
};
static_assert(sizeof(USB_TRANSFER_CONTEXT) == 56, "transfer-context lookaside entries are 56 bytes");

// One string descriptor exactly as the device returned it: the two-byte
// header followed by UTF-16LE characters.
class CUSBStringDescriptor {
public:
    CUSBStringDescriptor() = default;
    ~CUSBStringDescriptor();
    CUSBStringDescriptor(const CUSBStringDescriptor&) = delete;
    CUSBStringDescriptor& operator=(const CUSBStringDescriptor&) = delete;

    ULONG Size() const { return size_; }
    ULONG TextBytes() const { return size_ < 2 ? 0 : size_ - 2; }
    ULONG Characters() const { return TextBytes() / sizeof(WCHAR); }
    // Character i, read without assuming alignment; 0 past the end.
    WCHAR Character(ULONG i) const;
    const UCHAR* Bytes() const { return buffer_; }

    void Reset();
    // Takes ownership of a pool buffer of `size` bytes.
    void Adopt(PUCHAR buffer, ULONG size);

private:
    ULONG size_ = 0;
    PUCHAR buffer_ = nullptr;
};

class CUSBCL : public vq7::PoolObject<vq7::kPoolTagUsba> {
public:
    // Isochronous URBs come from a lookaside whose entries hold 64 packets.
    static constexpr ULONG kMaximumIsoPackets = 64;
    static constexpr ULONG kIsoUrbBytes = GET_ISO_URB_SIZE(kMaximumIsoPackets);
    static_assert(kIsoUrbBytes == 920, "an isochronous URB of 64 packets is 920 bytes");
    static constexpr ULONG kDefaultIrpCount = 10;

    CUSBCL();
    virtual ~CUSBCL();
    CUSBCL(const CUSBCL&) = delete;
    CUSBCL& operator=(const CUSBCL&) = delete;

    // Slot 1: the status to report for a finished transfer.
    virtual NTSTATUS CheckCompletedTransfer(NTSTATUS status, PURB urb, USB_TRANSFER_CONTEXT* context) = 0;
    // Slot 2: start on the device below.
    virtual NTSTATUS Start(PDEVICE_OBJECT lowerDevice, ULONG irpCount) = 0;

    // ---- start-up and descriptors (PASSIVE_LEVEL)
    [[nodiscard]] NTSTATUS Initialize(PDEVICE_OBJECT lowerDevice, ULONG irpCount);
    [[nodiscard]] NTSTATUS GetBusInterface();
    [[nodiscard]] NTSTATUS QueryHighSpeed();
    [[nodiscard]] NTSTATUS GetStringDescriptor(UCHAR index, CUSBStringDescriptor& out, USHORT languageId);
    [[nodiscard]] NTSTATUS GetSerialNumberString(CUSBStringDescriptor& out, USHORT languageId);
    [[nodiscard]] NTSTATUS GetControllerInfo(USB_CONTROLLER_INFO_0* info);

    // ---- configuration (PASSIVE_LEVEL)
    PUSBD_INTERFACE_LIST_ENTRY CreateInterfaceList(ULONG* count);
    [[nodiscard]] NTSTATUS ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY list, ULONG count);
    [[nodiscard]] NTSTATUS SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting);
    PUSBD_PIPE_INFORMATION FindPipe(UCHAR endpointAddress);
    ULONG GetPipeIntervalUnits(const USBD_PIPE_INFORMATION* pipe) const;
    ULONG GetTransferDuration(ULONG packets, const USBD_PIPE_INFORMATION* pipe) const;

    // ---- requests
    [[nodiscard]] NTSTATUS SubmitUrb(PURB urb);  // PASSIVE_LEVEL
    // A class or vendor control transfer; `returned`, when given, receives
    // the bytes the device actually sent or took. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS ControlRequest(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex,
                                          USHORT wLength, PVOID buffer, PULONG returned = nullptr);
    // IRQL <= DISPATCH_LEVEL.
    [[nodiscard]] NTSTATUS SubmitTransfer(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length, ULONG transferFlags,
                                          USB_TRANSFER_CALLBACK callback, PVOID context, ULONG startFrame);
    [[nodiscard]] NTSTATUS SubmitInTransfer(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length,
                                            USB_TRANSFER_CALLBACK callback, PVOID context);
    [[nodiscard]] NTSTATUS SubmitAsync(PURB urb, USB_TRANSFER_CONTEXT* context);
    [[nodiscard]] NTSTATUS AbortPipe(PUSBD_PIPE_INFORMATION pipe);  // PASSIVE_LEVEL
    [[nodiscard]] NTSTATUS ResetPipe(PUSBD_PIPE_INFORMATION pipe);  // PASSIVE_LEVEL

    // ---- what start-up established
    bool IsHighSpeed() const { return highSpeed_ != 0; }
    const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const { return deviceDescriptor_; }
    USHORT VendorId() const { return deviceDescriptor_.idVendor; }
    USHORT ProductId() const { return deviceDescriptor_.idProduct; }
    const UCHAR* Configuration() const { return reinterpret_cast<const UCHAR*>(configuration_); }
    ULONG ConfigurationBytes() const { return configuration_ != nullptr ? configuration_->wTotalLength : 0; }
    PDEVICE_OBJECT LowerDevice() const { return lowerDevice_; }
    const USB_BUS_INTERFACE_USBDI_V1& BusInterface() const { return busInterface_; }

protected:
    // Transfer records and isochronous URBs from the lookasides; null when
    // exhausted. IRQL <= DISPATCH_LEVEL.
    USB_TRANSFER_CONTEXT* AllocateTransferContext();
    void FreeTransferContext(USB_TRANSFER_CONTEXT* context);
    PURB AllocateIsoUrb();
    void FreeIsoUrb(PURB urb);
    // Releases a URB the way it was obtained: lookaside for isochronous, pool otherwise.
    void FreeTransferUrb(PURB urb);
    // Sends a built URB with `completion` on a pooled IRP; STATUS_SUCCESS
    // once sent. Every completion routine ends with FinishCompletion.
    [[nodiscard]] NTSTATUS SendAsync(PURB urb, USB_TRANSFER_CONTEXT* context, PIO_COMPLETION_ROUTINE completion);
    // The last step of a completion routine: the IRP goes back to the pool
    // and the transfer stops counting as running; the routine must not touch
    // the layer afterwards. IRQL <= DISPATCH_LEVEL.
    void FinishCompletion(PIRP irp);
    void ReturnIrp(PIRP irp);
    // Refuses new transfers and waits until every transfer in flight has
    // finished its completion. A derived class calls it first in its
    // destructor, because completions call its CheckCompletedTransfer and
    // read its stream records; the layer's own destructor calls it again,
    // which then returns at once. PASSIVE_LEVEL.
    void DrainTransfers();

private:
    static NTSTATUS OnTransferComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
    NTSTATUS QueryBusInterface(PVOID buffer);
    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, PVOID buffer, ULONG length, PULONG returned);
    NTSTATUS ReadConfiguration();
    NTSTATUS ReadLanguageIds();
    bool LanguageAvailable(USHORT languageId) const;
    NTSTATUS GetControllerName(PUNICODE_STRING name, vq7::PoolBuffer<UCHAR>& storage);
    NTSTATUS PipeRequest(USHORT function, PUSBD_PIPE_INFORMATION pipe);
    NTSTATUS CopyInterfaceInfo(ULONG slot, PUSBD_INTERFACE_INFORMATION info);
    void FreeInterfaceCopiesLocked();
    NTSTATUS AllocateIrpPool(ULONG count);
    PIRP GetIrp();
    void FreeIrpPool();

    UCHAR highSpeed_ = 0;
    USB_DEVICE_DESCRIPTOR deviceDescriptor_{};
    PUSB_CONFIGURATION_DESCRIPTOR configuration_ = nullptr;
    PDEVICE_OBJECT lowerDevice_ = nullptr;
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    ULONG interfaceCount_ = 0;
    PUSBD_INTERFACE_INFORMATION* interfaces_ = nullptr;  // guarded by interfaceMutex_
    KMUTEX interfaceMutex_;
    PUCHAR languageIds_ = nullptr;
    ULONG languageIdBytes_ = 0;  // what the device actually returned of string descriptor 0
    USB_BUS_INTERFACE_USBDI_V1 busInterface_{};
    NPAGED_LOOKASIDE_LIST contextLookaside_{};
    NPAGED_LOOKASIDE_LIST urbLookaside_{};
    KSPIN_LOCK irpListLock_ = 0;
    LIST_ENTRY irpFreeList_{};
    // Counts the transfers whose completion has not finished: the layer is
    // not torn down under a completion routine that still runs on it, even
    // when the routine's callback already told its owner the transfer ended.
    vq7::RundownGate transfersInFlight_;
};

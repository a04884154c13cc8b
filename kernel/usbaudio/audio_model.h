// The records of the audio model: one per audio-streaming interface, with one
// per alternate setting. Descriptor pointers point into the configuration
// descriptor set that CUSBCL owns; nothing is copied.
#pragma once

#include <ntddk.h>
#include <usb.h>

class CUSBAudioEntity;

// One alternate setting of a streaming interface, zeroed first. A setting
// without endpoints has only its interface descriptor.
struct USB_AS_ALTERNATE {
    const UCHAR* interfaceDescriptor;  // the standard interface descriptor
    const UCHAR* dataEndpoint;         // the standard endpoint descriptor that carries audio
    const UCHAR* general;              // class-specific AS_GENERAL (0x24, subtype 1)
    const UCHAR* format;               // class-specific FORMAT_TYPE (0x24, subtype 2)
    const UCHAR* dataEndpointGeneral;  // class-specific EP_GENERAL (0x25, subtype 1) after the data endpoint
    const UCHAR* feedbackEndpoint;     // explicit feedback (class 2.0) or synch (class 1.0) endpoint
};
static_assert(sizeof(USB_AS_ALTERNATE) == 48, "six descriptor pointers");

// One audio-streaming interface.
struct USB_AS_INTERFACE {
    USB_AS_INTERFACE* next;
    UCHAR interfaceNumber;
    UCHAR inputFlag;  // 1: alternate setting 1's first endpoint is IN (capture)
    ULONG alternateCount;  // settings 0 .. alternateCount - 1
    ULONG currentAlternate;  // the setting currently selected on the device
    USB_AS_ALTERNATE* alternates;
    CUSBAudioEntity* terminal;  // the terminal alternate setting 1's bTerminalLink names
    PUSBD_PIPE_INFORMATION dataPipe;  // of the current setting's data endpoint, or null
    ULONG bytesPerFrame;  // channels x container bytes of the current format
    ULONG nominalPacketBytes;
    ULONG minimumPacketBytes;
    ULONG maximumPacketBytes;
    UCHAR minimumDiffers;  // nominal and minimum packet sizes differ
    PUSBD_PIPE_INFORMATION feedbackPipe;  // of the current setting's feedback endpoint, or null
    ULONG appliedFeedback;  // 16.16 samples per packet used to size render transfers
    ULONG pendingFeedback;  // latest accepted feedback value, 16.16
    KSPIN_LOCK feedbackLock;  // guards applied and pending feedback
    LONG lastFeedback;  // last non-zero raw feedback value seen
    ULONG feedbackFraction;  // fractional sample accumulator, low 16 bits used
    ULONG sampleRate;  // rate of the current format, Hz
    USHORT vendorMode;  // last value sent with the vendor mode request

    const USB_AS_ALTERNATE& Current() const { return alternates[currentAlternate]; }
};

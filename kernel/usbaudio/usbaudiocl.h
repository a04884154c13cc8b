// CUSBAudioCL: the USB audio class layer. It turns the configuration
// descriptor into the audio model (the audio-control interface and its class
// version, the entities, the streaming interfaces with every alternate
// setting, the render and the capture stream), selects the configuration,
// and resolves the pipes of the current alternate settings. Class 2.0 is the
// main case; class 1.0 is supported.
//
// Direction arguments are bytes: nonzero selects the capture stream, 0 the
// render stream.
#pragma once

#include "audio_model.h"
#include "entity.h"
#include "usbcl.h"

class CUSBAudioCL : public CUSBCL {
public:
    static constexpr UCHAR kAudioClass = 0x01;
    static constexpr UCHAR kVendorClass = 0xFF;
    static constexpr UCHAR kAudioControlSubclass = 0x01;
    static constexpr UCHAR kAudioStreamingSubclass = 0x02;

    CUSBAudioCL() = default;
    ~CUSBAudioCL() override;

    NTSTATUS CheckCompletedTransfer(NTSTATUS status, PURB urb, USB_TRANSFER_CONTEXT* context) override;  // slot 1
    NTSTATUS Start(PDEVICE_OBJECT lowerDevice, ULONG irpCount) override;                                  // slot 2
    virtual NTSTATUS SelectConfiguration();                                                              // slot 3
    virtual NTSTATUS EnumerateStreamingInterfaces();                                                     // slot 4
    virtual NTSTATUS ParseStreamingInterface(USB_AS_INTERFACE* record);                                  // slot 5

    NTSTATUS ParseEntities(const UCHAR* header);
    CUSBAudioEntity* FindEntity(ULONG id) const;
    NTSTATUS ResolvePipes();
    PUSBD_INTERFACE_LIST_ENTRY BuildInterfaceList(ULONG* count);
    bool IsClassTwo() const { return classTwo_ != 0; }
    ULONG GetCurrentAlternate(UCHAR direction) const;

    // ---- the model, for the rest of the driver (read without locks once started)
    const UCHAR* AudioControlInterface() const { return controlInterface_; }
    UCHAR AudioControlInterfaceNumber() const { return controlInterface_ != nullptr ? controlInterface_[2] : 0; }
    const UCHAR* AudioControlHeader() const { return controlHeader_; }
    CUSBAudioEntity* Entities() const { return entities_; }
    ULONG StreamingInterfaceCount() const { return streamingCount_; }
    USB_AS_INTERFACE* StreamingInterfaces() const { return streams_; }
    USB_AS_INTERFACE* RenderStream() const { return render_; }
    USB_AS_INTERFACE* CaptureStream() const { return capture_; }
    USB_AS_INTERFACE* Stream(UCHAR direction) const { return direction != 0 ? capture_ : render_; }
    bool SharedClock() const { return sharedClock_ != 0; }
    ULONG Quirks() const { return quirks_; }
    // The class code of this device's audio interfaces.
    UCHAR AudioInterfaceClass() const;
    // The region of the configuration a walk may cover.
    ULONG ConfigurationWalkBytes() const { return ConfigurationBytes(); }

protected:
    // Used by the format, clock and transport slices of the class.
    ULONG forcedSampleRate_ = 0;
    UCHAR packetMarginQuirk_ = 0;
    const void* scheduleEntry_ = nullptr;
    ULONG schedulePosition_ = 0;
    ULONG renderServiceInterval_ = 1;

private:
    NTSTATUS FindAudioControl();
    NTSTATUS ParseAlternate(USB_AS_INTERFACE* record, ULONG alternate, USB_AS_ALTERNATE* into);
    NTSTATUS ResolvePipe(const UCHAR* endpoint, PUSBD_PIPE_INFORMATION* pipe);
    void NormaliseInterval(PUSBD_PIPE_INFORMATION pipe) const;
    NTSTATUS LinkStreamTerminals();
    void ChooseStreams();
    void FreeModel();

    UCHAR classTwo_ = 0;
    const UCHAR* controlInterface_ = nullptr;
    const UCHAR* controlHeader_ = nullptr;
    CUSBAudioEntity* entities_ = nullptr;
    ULONG streamingCount_ = 0;
    USB_AS_INTERFACE* streams_ = nullptr;
    USB_AS_INTERFACE* render_ = nullptr;
    USB_AS_INTERFACE* capture_ = nullptr;
    UCHAR sharedClock_ = 0;
    ULONG quirks_ = 0;
};

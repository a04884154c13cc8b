// CUSBAudioCL: the USB audio class layer. It turns the configuration
// descriptor into the audio model (the audio-control interface and its class
// version, the entities, the streaming interfaces with every alternate
// setting, the render and the capture stream), selects the configuration,
// and resolves the pipes of the current alternate settings. Class 2.0 is the
// main case; class 1.0 is supported.
//
// On top of the model it realises stream formats (which alternate setting,
// which clock rate, which packet sizes) and runs the isochronous transport:
// render transfers cut into packets by the packet schedule, by explicit
// feedback or by what capture delivers, capture transfers checked on
// completion, and feedback read and averaged.
//
// Direction arguments are bytes: nonzero selects the capture stream, 0 the
// render stream.
#pragma once

#include <ntddk.h>
#include <drmk.h>

#include "audio_model.h"
#include "entity.h"
#include "filter_description.h"
#include "packet_schedule.h"
#include "render_packet_plan.h"
#include "usbcl.h"

namespace vq7 {

struct FilterChains;

// What a format selection chose, beyond the channels and container size.
struct SelectedFormat {
    USB_AS_INTERFACE* stream = nullptr;
    const PacketScheduleRow* scheduleRow = nullptr;  // render paced by the schedule
    ULONG serviceInterval = 1;                       // H: bus units per packet of the data endpoint
    ULONG frameBytes = 0;                            // 0 for alternate setting 0
    ULONG packetCapacity = 0;                        // bytes one packet of the data endpoint can carry
    ULONG maxBytesPerTransfer = 0;
};

}  // namespace vq7

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

    // ---- formats and clocks (PASSIVE_LEVEL; the engine serialises them)
    // Explicit form: render paced by explicit feedback or by the packet schedule.
    [[nodiscard]] NTSTATUS SelectStreamingFormat(UCHAR direction, USHORT formatTag, ULONG channels, ULONG validBits,
                                                 ULONG rate, ULONG msPerTransfer, PULONG outChannels,
                                                 PULONG outContainerBits, PULONG maxBytesPerTransfer);
    // Paced form: render packet sizes follow what capture delivers. Null
    // outputs are not asked for.
    [[nodiscard]] NTSTATUS SelectStreamingFormat(UCHAR direction, USHORT formatTag, ULONG channels, ULONG validBits,
                                                 ULONG rate, ULONG msPerTransfer, PULONG outChannels,
                                                 PULONG outContainerBits, PULONG nominalBytesPerTransfer,
                                                 PLONG framesBelow, PLONG framesAbove, PULONG maxBytesPerTransfer);
    [[nodiscard]] NTSTATUS ChooseAlternate(USB_AS_INTERFACE* stream, USHORT formatTag, ULONG channels, ULONG validBits,
                                           ULONG rate, PULONG outChannels, PULONG outContainerBits,
                                           PULONG alternate);
    [[nodiscard]] NTSTATUS FindFormat(UCHAR direction, USHORT formatTag, ULONG channels, ULONG validBits, ULONG rate,
                                      PULONG outChannels, PULONG outContainerBits);
    [[nodiscard]] NTSTATUS GetBestFormat(UCHAR direction, USHORT formatTag, ULONG rate, PULONG outChannels,
                                         PULONG outContainerBits);
    [[nodiscard]] NTSTATUS GetFormatCapabilities(UCHAR direction, PULONG maxChannels, PULONG minBits, PULONG maxBits,
                                                 PULONG minRate, PULONG maxRate);
    // Narrows [*minimum, *maximum] to the rates the direction offers (see
    // usbaudiocl_clock.cpp); STATUS_INVALID_PARAMETER without its stream.
    [[nodiscard]] NTSTATUS NarrowRateRange(UCHAR direction, PULONG minimum, PULONG maximum);
    [[nodiscard]] NTSTATUS IsRateSupported(ULONG rate);
    [[nodiscard]] NTSTATUS SetSampleRate(ULONG rate);
    bool IsClockStable(UCHAR direction);
    ULONG ForcedSampleRate() const { return forcedSampleRate_; }

    // The vendor streaming mode (PCM or native DSD), per streaming interface.
    [[nodiscard]] NTSTATUS SetVendorMode(USHORT mode);
    [[nodiscard]] NTSTATUS RestoreVendorMode();
    USHORT GetVendorMode() const;

    // ---- transport (IRQL <= DISPATCH_LEVEL)
    // Render packet sizes follow what capture delivers: one clock for both
    // directions, or a capture endpoint that is an implicit feedback source.
    bool RenderFollowsCapture() const;
    // Render submissions must be serialised by the caller: the schedule
    // position and the feedback fraction move without a lock.
    [[nodiscard]] NTSTATUS SubmitRenderTransfer(PVOID buffer, PMDL mdl, ULONG bytes, ULONG frames,
                                                USB_TRANSFER_CALLBACK callback, PVOID context);
    [[nodiscard]] NTSTATUS SubmitCaptureTransfer(PVOID buffer, ULONG bytes, ULONG frames,
                                                 USB_TRANSFER_CALLBACK callback, PVOID context);
    // The callback gets (status, average feedback 16.16, start frame, context, 0).
    [[nodiscard]] NTSTATUS RecvFeedback(PVOID buffer, ULONG bytes, USB_TRANSFER_CALLBACK callback, PVOID context);
    ULONG GetFeedbackTransferBytes() const;
    // Bytes of the next render transfer of `frames` ms at `feedbackValue`
    // (16.16 samples per bus unit; ignored without a feedback pipe).
    ULONG GetRenderTransferBytes(ULONG frames, ULONG feedbackValue) const;
    // The packets the next render transfer of `bytes` would get, without
    // submitting it; SubmitRenderTransfer lays its URB out from this plan.
    [[nodiscard]] NTSTATUS PlanRenderPackets(ULONG bytes, ULONG frames, vq7::RenderPacketPlan* plan) const;
    // The same for a transfer that continues from `from` instead of from
    // where the last submitted transfer left the pattern (a plan's `after`),
    // so that a tool can show the transfers that would follow.
    vq7::RenderCursor CurrentRenderCursor() const;
    ULONG GetRenderTransferBytes(ULONG frames, ULONG feedbackValue, const vq7::RenderCursor& from) const;
    [[nodiscard]] NTSTATUS PlanRenderPackets(ULONG bytes, ULONG frames, const vq7::RenderCursor& from,
                                             vq7::RenderPacketPlan* plan) const;
    // Bus units between two packets of the direction's current setting (H).
    ULONG GetServiceInterval(UCHAR direction) const;
    // The feedback value the device should report for the current format,
    // 16.16 samples per bus unit; 0 without a feedback pipe.
    ULONG GetFeedbackNominal(UCHAR direction) const { return feedbackNominal_[direction != 0 ? 1 : 0]; }
    // The render stream's feedback values, under its feedback lock: the
    // engine stores each accepted value as pending and applies it before it
    // sizes a render transfer.
    void StorePendingFeedback(ULONG value);
    ULONG ApplyPendingFeedback();
    [[nodiscard]] NTSTATUS GetDrmForwardInfo(UCHAR direction, DRMFORWARD* info) const;

    // ---- the WaveRT filter's description (PASSIVE_LEVEL, once the model is built)
    // One stream's data ranges; STATUS_INVALID_PARAMETER without a stream.
    // The list is freed with FreeDataRanges.
    [[nodiscard]] NTSTATUS BuildDataRanges(USB_AS_INTERFACE* stream, vq7::DataRangeList* list);
    static void FreeDataRanges(vq7::DataRangeList* list);
    // Fills the pins, nodes, connections and both range lists of `block`.
    // The caller's automation table (the descriptor's AutomationTable, set
    // before the call) is kept when the filter has pins. On failure
    // everything built is freed again and the description is empty.
    [[nodiscard]] NTSTATUS BuildFilterDescriptor(FilterDescriptionBlock* block);
    static void FreeFilterDescriptor(FilterDescriptionBlock* block);
    // The number of input and output terminals.
    ULONG CountPins() const;

    const vq7::PacketScheduleRow* ScheduleEntry() const { return scheduleEntry_; }
    ULONG SchedulePosition() const { return schedulePosition_; }
    ULONG RenderServiceInterval() const { return renderServiceInterval_; }

protected:
    // Used by the format, clock and transport slices of the class.
    ULONG forcedSampleRate_ = 0;
    UCHAR packetMarginQuirk_ = 0;
    const vq7::PacketScheduleRow* scheduleEntry_ = nullptr;
    ULONG schedulePosition_ = 0;
    ULONG renderServiceInterval_ = 1;
    ULONG feedbackNominal_[2] = {};  // render, capture

private:
    // formats and clocks
    CUSBAudioClock* StreamClock(const USB_AS_INTERFACE* stream) const;
    NTSTATUS ClockRange(const USB_AS_INTERFACE* stream, PULONG minimum, PULONG maximum) const;
    NTSTATUS AlternateCarries(USB_AS_INTERFACE* stream, ULONG index, USHORT formatTag, ULONG rate, bool* carries);
    bool EndpointTakesRate(const USB_AS_ALTERNATE& alternate) const;
    NTSTATUS ClassOneRateIsCurrent(USB_AS_INTERFACE* stream, ULONG index, ULONG rate, bool* current);
    NTSTATUS SetEndpointRate(const USB_AS_INTERFACE* stream, ULONG rate);
    void ResetRenderFeedback(USB_AS_INTERFACE* stream);
    NTSTATUS SelectFormatOnDevice(USB_AS_INTERFACE* stream, USHORT formatTag, ULONG channels, ULONG validBits,
                                  ULONG rate, PULONG outChannels, PULONG outContainerBits, PULONG alternate);
    NTSTATUS SelectAndDescribe(UCHAR direction, bool bySchedule, USHORT formatTag, ULONG channels, ULONG validBits,
                               ULONG rate, ULONG msPerTransfer, PULONG outChannels, PULONG outContainerBits,
                               vq7::SelectedFormat* selected);
    NTSTATUS SwitchAlternate(USB_AS_INTERFACE* stream, ULONG alternate);
    ULONG ServiceIntervalOf(const USB_AS_ALTERNATE& alternate) const;
    ULONG PacketCapacity(const USB_AS_ALTERNATE& alternate) const;
    ULONG CapacityPerMillisecond(const USB_AS_ALTERNATE& alternate) const;
    ULONG NominalFeedback(const USB_AS_INTERFACE* stream, ULONG rate) const;
    NTSTATUS SendVendorModes(const USHORT* mode);
    // the filter description
    NTSTATUS DescribeRange(const USB_AS_INTERFACE* stream, const USB_AS_ALTERNATE& alternate,
                           KSDATARANGE_AUDIO* range, bool* offered) const;
    bool NarrowToForcedRate(const KSDATARANGE_AUDIO* records, ULONG count, KSDATARANGE_AUDIO* range) const;
    bool IsNodeEntity(CUSBAudioEntity* entity) const;
    NTSTATUS BuildBothRangeLists(FilterDescriptionBlock* block);
    NTSTATUS BuildPins(FilterDescriptionBlock* block, const PCAUTOMATION_TABLE* filterAutomation,
                       vq7::FilterChains* chains);
    NTSTATUS BuildNodes(FilterDescriptionBlock* block, vq7::FilterChains* chains);
    // transport
    vq7::RenderPacing CurrentRenderPacing() const;
    NTSTATUS StageFramedTransfer(PVOID buffer, PMDL mdl, const vq7::RenderPacketPlan& plan,
                                 USB_TRANSFER_CONTEXT* context);
    NTSTATUS BuildRenderUrb(PVOID buffer, PMDL mdl, const vq7::RenderPacketPlan& plan,
                            USB_TRANSFER_CONTEXT* context, PURB* built);
    NTSTATUS SendOrRelease(PURB urb, USB_TRANSFER_CONTEXT* context, PIO_COMPLETION_ROUTINE completion);
    void FinishTransfer(PIRP irp, USB_TRANSFER_CONTEXT* context, NTSTATUS status, ULONG bytes, ULONG startFrame,
                        ULONG durationMs);
    void CompleteFramedRender(PIRP irp, USB_TRANSFER_CONTEXT* context);
    void CompleteFeedback(PIRP irp, USB_TRANSFER_CONTEXT* context);
    // The completion routine of a transfer this class finishes itself. The
    // class keeps the IRP. IRQL <= DISPATCH_LEVEL.
    template <void (CUSBAudioCL::*Complete)(PIRP, USB_TRANSFER_CONTEXT*)>
    static NTSTATUS CompletionRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* record = static_cast<USB_TRANSFER_CONTEXT*>(context);
        (static_cast<CUSBAudioCL*>(record->owner)->*Complete)(irp, record);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // the model
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

// CAsioChannelHandle: one open file object of the ASIO channel, stored in
// the file object's FsContext2. It carries the handle's place in the
// channel's protocol (Opened, then Owner, Prepared and Running as the
// channel's requests move it) and serves the requests the IRP hooks route
// to it. PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

#include "common/pool.h"

class CUSBAudioAdapter;

class CAsioChannelHandle : public vq7::PoolObject<vq7::kPoolTagUsba> {
public:
    enum State : ULONG {
        Closed = 0,
        Opened = 1,
        Owner = 2,
        Prepared = 3,
        Running = 4,
    };

    explicit CAsioChannelHandle(CUSBAudioAdapter* adapter) : adapter_(adapter) {}
    virtual ~CAsioChannelHandle() = default;
    CAsioChannelHandle(const CAsioChannelHandle&) = delete;
    CAsioChannelHandle& operator=(const CAsioChannelHandle&) = delete;

    virtual NTSTATUS Create();
    // Unwinds what the handle holds of the channel; it stays open.
    virtual NTSTATUS Cleanup(PIRP irp);
    virtual NTSTATUS Close();
    virtual NTSTATUS Read(PIRP irp);
    virtual NTSTATUS Write(PIRP irp);
    virtual NTSTATUS DeviceControl(PIRP irp);

    State GetState() const { return state_; }
    CUSBAudioAdapter* Adapter() const { return adapter_; }

    // One device I/O control request as the dispatcher hands it to its
    // handler: the system buffer and its lengths, and the bytes the reply
    // holds on success.
    struct Request {
        PVOID buffer;
        ULONG inputLength;
        ULONG outputLength;
        ULONG_PTR information;
    };
    using Handler = NTSTATUS (CAsioChannelHandle::*)(Request& request);

private:
    // The request handlers (asio_channel_requests.cpp), each under the
    // channel mutex after the dispatcher checked state and buffer lengths.
    NTSTATUS GetRateRange(Request& request);
    NTSTATUS GetFormatInfo(Request& request);
    NTSTATUS GetSampleRate(Request& request);
    NTSTATUS SetSampleRate(Request& request);
    NTSTATUS GetDsdSupport(Request& request);
    NTSTATUS GetDeviceName(Request& request);
    NTSTATUS GetUsbSpeed(Request& request);
    NTSTATUS Open(Request& request);
    NTSTATUS Prepare(Request& request);
    NTSTATUS Start(Request& request);
    NTSTATUS Stop(Request& request);
    NTSTATUS Unprepare(Request& request);
    NTSTATUS CloseOwner(Request& request);
    NTSTATUS GetCaptureFramesPerTransfer(Request& request);
    NTSTATUS Nop(Request& request);
    NTSTATUS GetStreamError(Request& request);
    NTSTATUS ArmInput(Request& request);
    NTSTATUS GetPosition(Request& request);
    NTSTATUS SyncPosition(Request& request);
    NTSTATUS FailNextInput(Request& request);
    NTSTATUS FailNextOutput(Request& request);
    NTSTATUS SetPlaybackLead(Request& request);
    NTSTATUS SetOutputPrefill(Request& request);
    // Replies with one ULONG.
    static NTSTATUS ReplyUlong(Request& request, ULONG value);
    static ULONG InputUlong(const Request& request);

    // One row of the dispatcher's table (asio_channel_requests.cpp).
    struct Rule {
        ULONG code;
        ULONG minimumInput;
        ULONG minimumOutput;
        ULONG state;           // the state the request needs, or kAnyState
        NTSTATUS shortInput;   // the status of a too short input buffer
        NTSTATUS shortOutput;  // the same for the output buffer
        Handler handler;
    };
    static constexpr ULONG kAnyState = MAXULONG;
    static const Rule kRules[];
    // The row of `code`, or null.
    static const Rule* FindRule(ULONG code);
    // The status rules in their order, then the handler.
    NTSTATUS Dispatch(ULONG code, Request& request);

    CUSBAudioAdapter* adapter_;
    State state_ = Closed;
};

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

private:
    CUSBAudioAdapter* adapter_;
    State state_ = Closed;
};

// A test's stand-in for the user-mode clients of the ASIO channel: one
// process with a handle on a device's "\asio" path, sending the channel's
// requests exactly as DeviceIoControl would.
#pragma once

#include <ntddk.h>

#include <cstring>
#include <string>
#include <vector>

#include "asio_channel.h"
#include "driver_world.h"
#include "kmsim/client.h"

namespace asiotest {

struct Reply {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG information = 0;
    std::vector<UCHAR> data;  // the whole output buffer

    ULONG Ulong(size_t offset = 0) const {
        ULONG value = 0;
        std::memcpy(&value, data.data() + offset, sizeof(value));
        return value;
    }
};

class ChannelClient {
public:
    ChannelClient(kerneltest::DriverWorld& world, PDEVICE_OBJECT pdo, const char* name = "asio-client")
        : process_(name), path_(world.DevicePath(pdo) + "\\asio") {}

    NTSTATUS Open() { return process_.Open(path_, &handle_); }
    NTSTATUS Close() {
        NTSTATUS status = process_.Close(handle_);
        handle_ = nullptr;
        return status;
    }
    HANDLE Handle() const { return handle_; }
    kmsim::Client& Process() { return process_; }

    // The request with `input` and an output buffer of `outputLength` bytes
    // (filled with 0xCC first, so that untouched bytes show).
    Reply Send(ULONG code, const void* input = nullptr, ULONG inputLength = 0, ULONG outputLength = 0) {
        Reply reply;
        // Without input data the input buffer still has its length, zeroed.
        std::vector<UCHAR> in(inputLength, 0);
        if (input != nullptr && inputLength != 0) {
            std::memcpy(in.data(), input, inputLength);
        }
        reply.data.assign(outputLength, 0xCC);
        reply.information = 0xDEAD;
        reply.status = process_.DeviceIoControl(handle_, code, in.empty() ? nullptr : in.data(), inputLength,
                                                reply.data.empty() ? nullptr : reply.data.data(), outputLength,
                                                &reply.information);
        return reply;
    }
    NTSTATUS SendUlong(ULONG code, ULONG value) { return Send(code, &value, sizeof(value)).status; }
    Reply Query(ULONG code, ULONG outputLength = sizeof(ULONG)) { return Send(code, nullptr, 0, outputLength); }

    NTSTATUS Prepare(const ASIO_PREPARE_PARAMS& params) { return Send(IOCTL_ASIO_PREPARE, &params, sizeof(params)).status; }
    // OPEN, PREPARE and START in turn; the first failure's status.
    NTSTATUS OpenPrepareStart(const ASIO_PREPARE_PARAMS& params) {
        NTSTATUS status = Send(IOCTL_ASIO_OPEN).status;
        if (NT_SUCCESS(status)) status = Prepare(params);
        if (NT_SUCCESS(status)) status = Send(IOCTL_ASIO_START).status;
        return status;
    }

private:
    kmsim::Client process_;
    std::string path_;
    HANDLE handle_ = nullptr;
};

inline ASIO_PREPARE_PARAMS Params(ULONG bufferFrames, bool input, bool output, USHORT tag = ASIO_FORMAT_TAG_PCM,
                                  USHORT dsd = 0, ULONG latencyPercent = 0) {
    ASIO_PREPARE_PARAMS p = {};
    p.BufferFrames = bufferFrames;
    p.InputEnable = input ? 1 : 0;
    p.OutputEnable = output ? 1 : 0;
    p.LatencyPercent = latencyPercent;
    p.DsdMode = dsd;
    p.FormatTag = tag;
    return p;
}

}  // namespace asiotest

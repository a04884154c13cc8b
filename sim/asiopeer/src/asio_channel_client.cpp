#include "asiopeer/asio_channel_client.h"

#include <algorithm>
#include <cstring>

#include "kmsim/utf8.h"

namespace asiopeer {

struct AsioChannelClient::Slot {
    explicit Slot(ULONG bytes) : buffer(bytes) {}
    std::vector<UCHAR> buffer;
    kmsim::Overlapped overlapped;
    bool pending = false;
};

AsioChannelClient::AsioChannelClient(const char* processName) : process_(processName) {}

AsioChannelClient::~AsioChannelClient() {
    if (handle_ != nullptr) {
        Close();
    }
}

NTSTATUS AsioChannelClient::Open(const std::string& devicePath) { return process_.Open(devicePath + "\\asio", &handle_); }

NTSTATUS AsioChannelClient::Close() {
    DrainReads();
    const NTSTATUS status = process_.Close(handle_);
    handle_ = nullptr;
    slots_.clear();
    return status;
}

NTSTATUS AsioChannelClient::Control(ULONG code, const void* input, ULONG inputLength, void* output,
                                    ULONG outputLength, ULONG* information) {
    ULONG transferred = 0;
    const NTSTATUS status =
        process_.DeviceIoControl(handle_, code, input, inputLength, output, outputLength, &transferred);
    if (information != nullptr) {
        *information = transferred;
    }
    return status;
}

NTSTATUS AsioChannelClient::QueryUlong(ULONG code, ULONG* value) {
    return Control(code, nullptr, 0, value, sizeof(*value));
}

NTSTATUS AsioChannelClient::GetRateRange(ULONG* minRate, ULONG* maxRate) {
    ULONG range[2] = {};
    const NTSTATUS status = Control(IOCTL_ASIO_GET_RATE_RANGE, nullptr, 0, range, sizeof(range));
    *minRate = range[0];
    *maxRate = range[1];
    return status;
}

NTSTATUS AsioChannelClient::GetSampleRate(ULONG* rate) { return QueryUlong(IOCTL_ASIO_GET_SAMPLE_RATE, rate); }

NTSTATUS AsioChannelClient::SetSampleRate(ULONG rate) {
    return Control(IOCTL_ASIO_SET_SAMPLE_RATE, &rate, sizeof(rate), nullptr, 0);
}

NTSTATUS AsioChannelClient::GetFormatInfo(ASIO_FORMAT_INFO* info) {
    ASIO_FORMAT_INFO request = *info;
    return Control(IOCTL_ASIO_GET_FORMAT_INFO, &request, sizeof(request), info, sizeof(*info));
}

NTSTATUS AsioChannelClient::GetDsdSupport(bool* supported) {
    ULONG value = 0;
    const NTSTATUS status = QueryUlong(IOCTL_ASIO_GET_DSD_SUPPORT, &value);
    *supported = NT_SUCCESS(status) && value != 0;
    return status;
}

// The name comes in two steps: its length with the shortest reply, then the
// whole name.
NTSTATUS AsioChannelClient::GetDeviceName(std::string* name) {
    ASIO_DEVICE_NAME_HEADER header = {};
    UCHAR shortest[ASIO_DEVICE_NAME_REPLY_BYTES(0)] = {};
    NTSTATUS status = Control(IOCTL_ASIO_GET_DEVICE_NAME, nullptr, 0, shortest, sizeof(shortest));
    if (status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status)) {
        return status;
    }
    std::memcpy(&header, shortest, sizeof(header));
    std::vector<UCHAR> reply(ASIO_DEVICE_NAME_REPLY_BYTES(header.LengthInChars));
    status = Control(IOCTL_ASIO_GET_DEVICE_NAME, nullptr, 0, reply.data(), static_cast<ULONG>(reply.size()));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<WCHAR> units(header.LengthInChars);
    std::memcpy(units.data(), reply.data() + sizeof(header), units.size() * sizeof(WCHAR));
    *name = kmsim::Utf8(units.data(), units.size());
    return status;
}

NTSTATUS AsioChannelClient::GetCaptureFramesPerTransfer(ULONG* frames) {
    return QueryUlong(IOCTL_ASIO_GET_CAPTURE_FRAMES_PER_TRANSFER, frames);
}

NTSTATUS AsioChannelClient::GetStreamError(ULONG* error) { return QueryUlong(IOCTL_ASIO_GET_STREAM_ERROR, error); }

NTSTATUS AsioChannelClient::GetPosition(ULONG* frames) { return QueryUlong(IOCTL_ASIO_GET_POSITION, frames); }

NTSTATUS AsioChannelClient::Claim() { return Control(IOCTL_ASIO_OPEN, nullptr, 0, nullptr, 0); }

NTSTATUS AsioChannelClient::Prepare(const ASIO_PREPARE_PARAMS& params) {
    return Control(IOCTL_ASIO_PREPARE, &params, sizeof(params), nullptr, 0);
}

NTSTATUS AsioChannelClient::Start() { return Control(IOCTL_ASIO_START, nullptr, 0, nullptr, 0); }
NTSTATUS AsioChannelClient::ArmInput() { return Control(IOCTL_ASIO_ARM_INPUT, nullptr, 0, nullptr, 0); }
NTSTATUS AsioChannelClient::Stop() { return Control(IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0); }
NTSTATUS AsioChannelClient::Unprepare() { return Control(IOCTL_ASIO_UNPREPARE, nullptr, 0, nullptr, 0); }
NTSTATUS AsioChannelClient::Release() { return Control(IOCTL_ASIO_CLOSE, nullptr, 0, nullptr, 0); }

NTSTATUS AsioChannelClient::Issue(Slot& slot) {
    const NTSTATUS status = process_.Read(handle_, slot.buffer.data(), static_cast<ULONG>(slot.buffer.size()),
                                          &slot.overlapped);
    // Pending or not, the overlapped record is signalled at completion.
    slot.pending = true;
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

NTSTATUS AsioChannelClient::BeginReads(ULONG slots, ULONG periodBytes) {
    DrainReads();
    slots_.clear();
    next_ = 0;
    for (ULONG i = 0; i < slots; ++i) {
        slots_.push_back(std::make_unique<Slot>(periodBytes));
    }
    for (auto& slot : slots_) {
        const NTSTATUS status = Issue(*slot);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS AsioChannelClient::WaitPeriod(std::span<const UCHAR>* period) {
    if (slots_.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Slot& slot = *slots_[next_];
    const NTSTATUS status = slot.overlapped.Wait();
    slot.pending = false;
    const size_t delivered = std::min<size_t>(slot.overlapped.ioStatus.Information, slot.buffer.size());
    *period = std::span<const UCHAR>(slot.buffer.data(), NT_SUCCESS(status) ? delivered : 0);
    return status;
}

NTSTATUS AsioChannelClient::RequeueRead() {
    Slot& slot = *slots_[next_];
    next_ = (next_ + 1) % slots_.size();
    return Issue(slot);
}

void AsioChannelClient::DrainReads() {
    for (auto& slot : slots_) {
        if (slot->pending) {
            slot->overlapped.Wait();
            slot->pending = false;
        }
    }
}

NTSTATUS AsioChannelClient::Write(std::span<const UCHAR> period) {
    ULONG transferred = 0;
    return process_.Write(handle_, period.data(), static_cast<ULONG>(period.size()), &transferred);
}

ASIO_PREPARE_PARAMS DuplexParams(ULONG bufferFrames, USHORT formatTag, bool dsd) {
    ASIO_PREPARE_PARAMS params = {};
    params.BufferFrames = bufferFrames;
    params.InputEnable = 1;
    params.OutputEnable = 1;
    params.LatencyPercent = 0;
    params.DsdMode = dsd ? ASIO_DSD_MODE_DSD : 0;
    params.FormatTag = formatTag;
    return params;
}

ULONG ReadSlots(ULONG transferFrames, ULONG bufferFrames) {
    if (bufferFrames == 0) {
        return 2;
    }
    return std::max(2u, (transferFrames + bufferFrames - 1) / bufferFrames + 1);
}

}  // namespace asiopeer

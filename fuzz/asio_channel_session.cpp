#include "asio_channel_session.h"

#include <ntddk.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>

#include "asio_channel.h"
#include "fuzz_input.h"
#include "kmsim/client.h"

namespace vq7fuzz {

namespace {

// Every request the channel knows, the one function between them that is
// none, and a code of another device type.
constexpr ULONG kCodes[] = {
    IOCTL_ASIO_GET_RATE_RANGE, IOCTL_ASIO_GET_FORMAT_INFO, IOCTL_ASIO_GET_SAMPLE_RATE, IOCTL_ASIO_SET_SAMPLE_RATE,
    IOCTL_ASIO_GET_DSD_SUPPORT, IOCTL_ASIO_GET_DEVICE_NAME, IOCTL_ASIO_GET_USB_SPEED, IOCTL_ASIO_OPEN,
    IOCTL_ASIO_PREPARE, IOCTL_ASIO_START, IOCTL_ASIO_STOP, IOCTL_ASIO_UNPREPARE, IOCTL_ASIO_CLOSE,
    IOCTL_ASIO_GET_CAPTURE_FRAMES_PER_TRANSFER, IOCTL_ASIO_NOP, IOCTL_ASIO_GET_STREAM_ERROR, IOCTL_ASIO_ARM_INPUT,
    IOCTL_ASIO_GET_POSITION, IOCTL_ASIO_SYNC_POSITION, IOCTL_ASIO_FAIL_NEXT_INPUT, IOCTL_ASIO_FAIL_NEXT_OUTPUT,
    IOCTL_ASIO_SET_PLAYBACK_LEAD, IOCTL_ASIO_SET_OUTPUT_PREFILL, VQ7_ASIO_CTL_CODE(0x81C),
    CTL_CODE(FILE_DEVICE_KS, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
};
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
static_assert(kCodeCount < kAnyCode, "the code byte's values below kAnyCode name the table's codes");

constexpr size_t kProcesses = 2;
constexpr size_t kSlotsPerProcess = 2;
constexpr int64_t kCompletionWait_us = 1000000;  // after the last close, a request's completion may take this long

struct Request {
    kmsim::Overlapped overlapped;
    std::vector<uint8_t> buffer;
};

class Session {
public:
    Session(AsioChannelWorld& world, const uint8_t* data, size_t size)
        : world_(world), in_(data, size), processes_{kmsim::Client("fuzz-owner"), kmsim::Client("fuzz-other")} {}

    void Run() {
        while (!in_.Empty()) {
            Step(static_cast<ChannelOp>(in_.Byte() % kOpCount));
        }
        CloseEverything();
    }

private:
    struct Slot {
        size_t process;
        HANDLE handle;
    };

    Slot& SlotAt(uint8_t index) { return slots_[index % slots_.size()]; }
    kmsim::Client& ProcessOf(const Slot& slot) { return processes_[slot.process]; }

    void Step(ChannelOp op) {
        switch (op) {
        case kOpOpen: Open(SlotAt(in_.Byte())); break;
        case kOpClose: Close(SlotAt(in_.Byte())); break;
        case kOpDuplicate: Duplicate(in_.Byte()); break;
        case kOpControl: Control(SlotAt(in_.Byte())); break;
        case kOpRead: Read(SlotAt(in_.Byte())); break;
        case kOpWrite: Write(SlotAt(in_.Byte())); break;
        case kOpSleep: Sleep(in_.Byte()); break;
        case kOpStream: Stream(SlotAt(in_.Byte())); break;
        case kOpUnplug:
            if (in_.Byte() == kUnplugKey) world_.Unplug();
            break;
        case kOpCount: break;
        }
    }

    void Open(Slot& slot) {
        if (slot.handle == nullptr) {
            HANDLE handle = nullptr;
            if (NT_SUCCESS(ProcessOf(slot).Open(world_.ChannelPath(), &handle))) slot.handle = handle;
        }
    }

    void Close(Slot& slot) {
        if (slot.handle != nullptr) {
            ProcessOf(slot).Close(slot.handle);
            slot.handle = nullptr;
        }
    }

    void Duplicate(uint8_t index) {
        Slot& from = SlotAt(index);
        Slot& to = SlotAt(static_cast<uint8_t>(index ^ 1));  // the same process's other slot
        if (from.handle != nullptr && to.handle == nullptr) {
            HANDLE copy = nullptr;
            if (NT_SUCCESS(ProcessOf(from).Duplicate(from.handle, &copy))) to.handle = copy;
        }
    }

    ULONG Code() {
        const uint8_t pick = in_.Byte();
        return pick == kAnyCode ? in_.U32() : kCodes[pick % kCodeCount];
    }

    void Control(Slot& slot) {
        const ULONG code = Code();
        std::vector<uint8_t> input = in_.Bytes(in_.Byte());
        std::vector<uint8_t> output(std::min<uint32_t>(in_.U16(), kMaxIoBytes), 0xCC);
        if (slot.handle == nullptr) return;
        ULONG transferred = 0;
        ProcessOf(slot).DeviceIoControl(slot.handle, code, input.empty() ? nullptr : input.data(),
                                        static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(),
                                        static_cast<ULONG>(output.size()), &transferred);
        if (transferred > output.size()) Fail("the driver reported more bytes than the output buffer holds");
    }

    Request* NewRequest(uint32_t length) {
        if (pending_.size() >= kMaxPending) return nullptr;
        Request& request = pending_.emplace_back();
        request.buffer.assign(length, 0);
        return &request;
    }

    void Read(Slot& slot) {
        const uint32_t length = std::min<uint32_t>(in_.U16(), kMaxIoBytes);
        if (slot.handle == nullptr) return;
        Request* request = NewRequest(length);
        if (request == nullptr) return;
        ProcessOf(slot).Read(slot.handle, request->buffer.empty() ? nullptr : request->buffer.data(), length,
                             &request->overlapped);
    }

    void Write(Slot& slot) {
        const uint32_t length = std::min<uint32_t>(in_.U16(), kMaxIoBytes);
        const uint8_t fill = in_.Byte();
        if (slot.handle == nullptr) return;
        Request* request = NewRequest(length);
        if (request == nullptr) return;
        std::fill(request->buffer.begin(), request->buffer.end(), fill);
        ProcessOf(slot).Write(slot.handle, request->buffer.empty() ? nullptr : request->buffer.data(), length,
                              &request->overlapped);
    }

    void Sleep(uint8_t quarters) {
        const int64_t us = std::min<int64_t>((quarters % 16 + 1) * 250, kMaxSleep_us - slept_us_);
        if (us <= 0) return;
        SleepUs(us);
        slept_us_ += us;
    }

    void Stream(Slot& slot) {
        ASIO_PREPARE_PARAMS params = {};
        params.BufferFrames = in_.U16() % 4096 + 1;
        const uint8_t flags = in_.Byte();
        params.InputEnable = flags & 1;
        params.OutputEnable = (flags >> 1) & 1;
        params.DsdMode = (flags >> 2) & 1;
        params.FormatTag = (flags & 8) != 0 ? ASIO_FORMAT_TAG_IEEE_FLOAT : ASIO_FORMAT_TAG_PCM;
        params.LatencyPercent = in_.Byte();
        if (slot.handle == nullptr) return;
        kmsim::Client& process = ProcessOf(slot);
        ULONG transferred = 0;
        if (!NT_SUCCESS(process.DeviceIoControl(slot.handle, IOCTL_ASIO_OPEN, nullptr, 0, nullptr, 0, &transferred)))
            return;
        if (!NT_SUCCESS(process.DeviceIoControl(slot.handle, IOCTL_ASIO_PREPARE, &params, sizeof(params), nullptr, 0,
                                                &transferred)))
            return;
        process.DeviceIoControl(slot.handle, IOCTL_ASIO_START, nullptr, 0, nullptr, 0, &transferred);
    }

    // Every handle closed: the owner's stream stops, its requests end.
    void CloseEverything() {
        for (Slot& slot : slots_) Close(slot);
        int64_t waited_us = 0;
        while (std::any_of(pending_.begin(), pending_.end(), [](const Request& r) { return !r.overlapped.Done(); })) {
            if (waited_us >= kCompletionWait_us) Fail("a request stayed pending after every handle was closed");
            SleepUs(1000);
            waited_us += 1000;
        }
        for (const Request& request : pending_) {
            if (request.overlapped.ioStatus.Information > request.buffer.size())
                Fail("the driver reported more bytes than the request's buffer holds");
        }
        world_.Restore();
    }

    [[noreturn]] static void Fail(const char* what) {
        fprintf(stderr, "asio channel session: %s\n", what);
        abort();
    }

    AsioChannelWorld& world_;
    FuzzInput in_;
    std::array<kmsim::Client, kProcesses> processes_;
    std::array<Slot, kProcesses * kSlotsPerProcess> slots_{{{0, nullptr}, {0, nullptr}, {1, nullptr}, {1, nullptr}}};
    std::list<Request> pending_;  // stable addresses: the driver holds them until completion
    int64_t slept_us_ = 0;
};

// A seed's operations, written as the input format reads them.
class SeedWriter {
public:
    SeedWriter& Open(uint8_t slot) { return Op(kOpOpen).Byte(slot); }
    SeedWriter& Close(uint8_t slot) { return Op(kOpClose).Byte(slot); }
    SeedWriter& Control(uint8_t slot, ULONG code, std::vector<uint8_t> input = {}, uint16_t output = 0) {
        Op(kOpControl).Byte(slot).Byte(CodeByte(code));
        out_.Byte(static_cast<uint8_t>(input.size())).Bytes(input).U16(output);
        return *this;
    }
    SeedWriter& Read(uint8_t slot, uint16_t length) { return Op(kOpRead).Byte(slot).U16(length); }
    SeedWriter& Write(uint8_t slot, uint16_t length, uint8_t fill) {
        Op(kOpWrite).Byte(slot).U16(length);
        out_.Byte(fill);
        return *this;
    }
    SeedWriter& Sleep(uint8_t quarters) { return Op(kOpSleep).Byte(quarters); }
    SeedWriter& Stream(uint8_t slot, uint16_t frames, uint8_t flags) {
        Op(kOpStream).Byte(slot).U16(frames);
        out_.Byte(flags).Byte(0);
        return *this;
    }
    SeedWriter& Unplug() { return Op(kOpUnplug).Byte(kUnplugKey); }
    std::vector<uint8_t> Result() const { return out_.Result(); }

private:
    SeedWriter& Op(ChannelOp op) { return Byte(op); }
    SeedWriter& Byte(uint8_t value) {
        out_.Byte(value);
        return *this;
    }
    SeedWriter& U16(uint16_t value) {
        out_.U16(value);
        return *this;
    }
    static uint8_t CodeByte(ULONG code) {
        return static_cast<uint8_t>(std::find(kCodes, kCodes + kCodeCount, code) - kCodes);
    }
    FuzzInputWriter out_;
};

std::vector<uint8_t> Ulong(ULONG value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

}  // namespace

void RunAsioChannelInput(AsioChannelWorld& world, const uint8_t* data, size_t size) {
    Session(world, data, size).Run();
}

std::vector<std::vector<uint8_t>> AsioChannelSeedInputs() {
    constexpr uint8_t kDuplex = 3;
    constexpr uint8_t kSecondProcess = 2;
    return {
        // The queries a client makes before it owns the channel.
        SeedWriter()
            .Open(0)
            .Control(0, IOCTL_ASIO_GET_RATE_RANGE, {}, 8)
            .Control(0, IOCTL_ASIO_GET_SAMPLE_RATE, {}, 4)
            .Control(0, IOCTL_ASIO_GET_FORMAT_INFO, {1, 0, 0x80, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                     22)
            .Control(0, IOCTL_ASIO_GET_DEVICE_NAME, {}, 6)
            .Control(0, IOCTL_ASIO_GET_DEVICE_NAME, {}, 64)
            .Control(0, IOCTL_ASIO_GET_USB_SPEED, {}, 4)
            .Control(0, IOCTL_ASIO_GET_DSD_SUPPORT, {}, 4)
            .Close(0)
            .Result(),
        // A duplex session: armed input, reads per buffer, writes, position.
        SeedWriter()
            .Open(0)
            .Stream(0, 64, kDuplex)
            .Control(0, IOCTL_ASIO_ARM_INPUT)
            .Read(0, 1024)
            .Write(0, 512, 0x11)
            .Sleep(8)
            .Read(0, 1024)
            .Write(0, 512, 0x22)
            .Control(0, IOCTL_ASIO_GET_POSITION, {}, 4)
            .Sleep(8)
            .Control(0, IOCTL_ASIO_STOP)
            .Control(0, IOCTL_ASIO_UNPREPARE)
            .Control(0, IOCTL_ASIO_CLOSE)
            .Close(0)
            .Result(),
        // A second process wants the channel while the first owns it.
        SeedWriter()
            .Open(0)
            .Open(kSecondProcess)
            .Stream(0, 256, kDuplex)
            .Control(kSecondProcess, IOCTL_ASIO_OPEN)
            .Read(kSecondProcess, 2048)
            .Sleep(4)
            .Close(0)
            .Control(kSecondProcess, IOCTL_ASIO_OPEN)
            .Result(),
        // A rate change, tuning values and a forced failure mid-stream.
        SeedWriter()
            .Open(0)
            .Control(0, IOCTL_ASIO_SET_SAMPLE_RATE, Ulong(96000))
            .Control(0, IOCTL_ASIO_SET_PLAYBACK_LEAD, Ulong(32))
            .Stream(0, 128, kDuplex)
            .Control(0, IOCTL_ASIO_ARM_INPUT)
            .Read(0, 4096)
            .Control(0, IOCTL_ASIO_FAIL_NEXT_INPUT)
            .Sleep(12)
            .Control(0, IOCTL_ASIO_GET_STREAM_ERROR, {}, 4)
            .Result(),
        // The device pulled with a read pending.
        SeedWriter().Open(0).Stream(0, 64, kDuplex).Control(0, IOCTL_ASIO_ARM_INPUT).Read(0, 512).Sleep(2).Unplug().Result(),
    };
}

}  // namespace vq7fuzz

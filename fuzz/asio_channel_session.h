// The channel target's input: a sequence of operations of two client
// processes with two handle slots each on the ASIO channel, run in virtual
// time against the world of asio_channel_world.h.
//
// Each operation is an opcode byte (its value modulo kOpCount) and its
// fields:
//
//   open       u8 slot                        CreateFile on the channel
//   close      u8 slot                        CloseHandle
//   duplicate  u8 slot                        DuplicateHandle into the process's other slot
//   control    u8 slot, u8 code, [u32 code when the byte is 0xFF],
//              u8 input length, the input bytes, u16 output length
//                                             DeviceIoControl; the code byte
//                                             picks one of the channel's
//                                             codes, 0xFF any code
//   read       u8 slot, u16 length            an overlapped ReadFile
//   write      u8 slot, u16 length, u8 fill   an overlapped WriteFile
//   sleep      u8 quarter milliseconds        virtual time passes (streaming)
//   stream     u8 slot, u16 buffer frames, u8 flags, u8 latency percent
//                                             OPEN, PREPARE and START in turn
//   unplug     u8 0xA5                        the device is pulled (rare: the
//                                             byte must match)
//
// Lengths are capped at kMaxIoBytes, pending requests at kMaxPending,
// virtual time at kMaxSleep_us per input. At the end every handle is
// closed, every request must complete, and the world is restored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "asio_channel_world.h"

namespace vq7fuzz {

constexpr uint32_t kMaxIoBytes = 4096;
constexpr size_t kMaxPending = 16;
constexpr int64_t kMaxSleep_us = 5000;

enum ChannelOp : uint8_t {
    kOpOpen,
    kOpClose,
    kOpDuplicate,
    kOpControl,
    kOpRead,
    kOpWrite,
    kOpSleep,
    kOpStream,
    kOpUnplug,
    kOpCount,
};

constexpr uint8_t kAnyCode = 0xFF;
constexpr uint8_t kUnplugKey = 0xA5;

void RunAsioChannelInput(AsioChannelWorld& world, const uint8_t* data, size_t size);

// The seed corpus: a few sessions a real client would run.
std::vector<std::vector<uint8_t>> AsioChannelSeedInputs();

}  // namespace vq7fuzz

// The ASIO channel's private requests: the device I/O control codes a
// client sends on a file object opened as "<device interface>\asio", and
// the records they carry. Shared by the kernel driver and its user-mode
// clients: include <ntddk.h> (kernel) or <windows.h> and <winioctl.h>
// (user mode) first, for CTL_CODE and the Windows integer types.
//
// Every request is METHOD_BUFFERED and FILE_ANY_ACCESS on FILE_DEVICE_UNKNOWN.
// Records are packed and little-endian, so that both sides agree on every
// byte whatever their compiler's alignment.
#pragma once

#if !defined(CTL_CODE) || !defined(METHOD_BUFFERED) || !defined(FILE_ANY_ACCESS)
#error "include <ntddk.h> or <winioctl.h> before asio_channel.h"
#endif

#define VQ7_ASIO_CTL_CODE(Function) CTL_CODE(FILE_DEVICE_UNKNOWN, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)

// Queries and settings any handle may send.
#define IOCTL_ASIO_GET_RATE_RANGE VQ7_ASIO_CTL_CODE(0x800)    // out: ULONG min, ULONG max
#define IOCTL_ASIO_GET_FORMAT_INFO VQ7_ASIO_CTL_CODE(0x801)   // in/out: ASIO_FORMAT_INFO
#define IOCTL_ASIO_GET_SAMPLE_RATE VQ7_ASIO_CTL_CODE(0x802)   // out: ULONG (0 = none fixed)
#define IOCTL_ASIO_SET_SAMPLE_RATE VQ7_ASIO_CTL_CODE(0x803)   // in: ULONG
#define IOCTL_ASIO_GET_DSD_SUPPORT VQ7_ASIO_CTL_CODE(0x804)   // out: ULONG 1 or 0
#define IOCTL_ASIO_GET_DEVICE_NAME VQ7_ASIO_CTL_CODE(0x805)   // out: ASIO_DEVICE_NAME_HEADER, name, NUL
#define IOCTL_ASIO_GET_USB_SPEED VQ7_ASIO_CTL_CODE(0x806)     // out: ULONG 2 high speed, 1 otherwise

// The owner's protocol: Opened -> Owner -> Prepared -> Running and back.
#define IOCTL_ASIO_OPEN VQ7_ASIO_CTL_CODE(0x810)
#define IOCTL_ASIO_PREPARE VQ7_ASIO_CTL_CODE(0x811)           // in: ASIO_PREPARE_PARAMS
#define IOCTL_ASIO_START VQ7_ASIO_CTL_CODE(0x812)
#define IOCTL_ASIO_STOP VQ7_ASIO_CTL_CODE(0x813)
#define IOCTL_ASIO_UNPREPARE VQ7_ASIO_CTL_CODE(0x814)
#define IOCTL_ASIO_CLOSE VQ7_ASIO_CTL_CODE(0x815)
#define IOCTL_ASIO_GET_CAPTURE_FRAMES_PER_TRANSFER VQ7_ASIO_CTL_CODE(0x816)  // out: ULONG
#define IOCTL_ASIO_NOP VQ7_ASIO_CTL_CODE(0x817)
#define IOCTL_ASIO_GET_STREAM_ERROR VQ7_ASIO_CTL_CODE(0x818)  // out: ULONG, nonzero after a failure
#define IOCTL_ASIO_ARM_INPUT VQ7_ASIO_CTL_CODE(0x819)
#define IOCTL_ASIO_GET_POSITION VQ7_ASIO_CTL_CODE(0x81A)      // out: ULONG frames
#define IOCTL_ASIO_SYNC_POSITION VQ7_ASIO_CTL_CODE(0x81B)     // in: ULONG frames
// Function 0x81C is not a request.

// Test hooks and tuning values, process-wide until the driver unloads.
#define IOCTL_ASIO_FAIL_NEXT_INPUT VQ7_ASIO_CTL_CODE(0x81D)
#define IOCTL_ASIO_FAIL_NEXT_OUTPUT VQ7_ASIO_CTL_CODE(0x81E)
#define IOCTL_ASIO_SET_PLAYBACK_LEAD VQ7_ASIO_CTL_CODE(0x81F)   // in: ULONG frames, 0 = computed
#define IOCTL_ASIO_SET_OUTPUT_PREFILL VQ7_ASIO_CTL_CODE(0x820)  // in: ULONG frames, 0 = computed

static_assert(IOCTL_ASIO_GET_RATE_RANGE == 0x222000, "query codes start at 0x222000");
static_assert(IOCTL_ASIO_GET_USB_SPEED == 0x222018, "query codes end at 0x222018");
static_assert(IOCTL_ASIO_OPEN == 0x222040, "protocol codes start at 0x222040");
static_assert(IOCTL_ASIO_SYNC_POSITION == 0x22206C, "protocol codes are consecutive");
static_assert(IOCTL_ASIO_FAIL_NEXT_INPUT == 0x222074, "test hooks follow the gap");
static_assert(IOCTL_ASIO_SET_OUTPUT_PREFILL == 0x222080, "tuning codes end at 0x222080");

// ASIO_FORMAT_INFO.FormatTag and ASIO_PREPARE_PARAMS.FormatTag.
#define ASIO_FORMAT_TAG_PCM 1         // integer samples
#define ASIO_FORMAT_TAG_IEEE_FLOAT 3  // IEEE float samples
// ASIO_PREPARE_PARAMS.DsdMode: 1 streams DSD, anything else PCM.
#define ASIO_DSD_MODE_DSD 1

#pragma pack(push, 1)

// Request and reply of IOCTL_ASIO_GET_FORMAT_INFO: the client gives the
// tag and rate, the driver the best format of each direction (0 channels
// and 0 bits for a direction the device does not have).
typedef struct _ASIO_FORMAT_INFO {
    USHORT FormatTag;
    ULONG SampleRate;
    ULONG OutChannels;
    ULONG OutBitsPerSample;
    ULONG InChannels;
    ULONG InBitsPerSample;
} ASIO_FORMAT_INFO, *PASIO_FORMAT_INFO;

// Request of IOCTL_ASIO_PREPARE.
typedef struct _ASIO_PREPARE_PARAMS {
    ULONG BufferFrames;    // frames per client buffer; 0 is invalid
    ULONG InputEnable;     // nonzero: capture streams to the client
    ULONG OutputEnable;    // nonzero: render streams from the client
    ULONG LatencyPercent;  // 0-100 of the render lead's range; above 100 counts as 100
    USHORT DsdMode;        // ASIO_DSD_MODE_DSD, anything else PCM
    USHORT FormatTag;      // ASIO_FORMAT_TAG_*
} ASIO_PREPARE_PARAMS, *PASIO_PREPARE_PARAMS;

// Head of the IOCTL_ASIO_GET_DEVICE_NAME reply; the name follows in UTF-16
// code units, then a 16-bit NUL. A client asks with
// ASIO_DEVICE_NAME_REPLY_BYTES(0) first, then with the full length.
typedef struct _ASIO_DEVICE_NAME_HEADER {
    ULONG LengthInChars;  // of the whole name, without the terminator
} ASIO_DEVICE_NAME_HEADER, *PASIO_DEVICE_NAME_HEADER;

#pragma pack(pop)

#define ASIO_DEVICE_NAME_REPLY_BYTES(chars) (sizeof(ASIO_DEVICE_NAME_HEADER) + ((chars) + 1) * sizeof(WCHAR))

static_assert(sizeof(ASIO_FORMAT_INFO) == 22, "ASIO_FORMAT_INFO is 22 bytes");
static_assert(FIELD_OFFSET(ASIO_FORMAT_INFO, SampleRate) == 2, "ASIO_FORMAT_INFO layout");
static_assert(FIELD_OFFSET(ASIO_FORMAT_INFO, OutChannels) == 6, "ASIO_FORMAT_INFO layout");
static_assert(FIELD_OFFSET(ASIO_FORMAT_INFO, OutBitsPerSample) == 10, "ASIO_FORMAT_INFO layout");
static_assert(FIELD_OFFSET(ASIO_FORMAT_INFO, InChannels) == 14, "ASIO_FORMAT_INFO layout");
static_assert(FIELD_OFFSET(ASIO_FORMAT_INFO, InBitsPerSample) == 18, "ASIO_FORMAT_INFO layout");
static_assert(sizeof(ASIO_PREPARE_PARAMS) == 20, "ASIO_PREPARE_PARAMS is 20 bytes");
static_assert(FIELD_OFFSET(ASIO_PREPARE_PARAMS, InputEnable) == 4, "ASIO_PREPARE_PARAMS layout");
static_assert(FIELD_OFFSET(ASIO_PREPARE_PARAMS, OutputEnable) == 8, "ASIO_PREPARE_PARAMS layout");
static_assert(FIELD_OFFSET(ASIO_PREPARE_PARAMS, LatencyPercent) == 12, "ASIO_PREPARE_PARAMS layout");
static_assert(FIELD_OFFSET(ASIO_PREPARE_PARAMS, DsdMode) == 16, "ASIO_PREPARE_PARAMS layout");
static_assert(FIELD_OFFSET(ASIO_PREPARE_PARAMS, FormatTag) == 18, "ASIO_PREPARE_PARAMS layout");
static_assert(ASIO_DEVICE_NAME_REPLY_BYTES(0) == 6, "the shortest name reply holds the length and the NUL");

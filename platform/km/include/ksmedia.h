// Stand-in for <ksmedia.h>: the audio categories and formats, the audio
// data range, the stream position, and the jack descriptions of the
// KSPROPSETID_Jack property set, with their published x64 layouts.
#pragma once

#include <ks.h>

#define STATIC_KSCATEGORY_AUDIO 0x6994AD04L, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
KS_DEFINE_GUID(KSCATEGORY_AUDIO, STATIC_KSCATEGORY_AUDIO);
#define STATIC_KSCATEGORY_REALTIME 0xEB115FFCL, 0x10C8, 0x4964, 0x83, 0x1D, 0x6D, 0xCB, 0x02, 0xE6, 0xF2, 0x3F
KS_DEFINE_GUID(KSCATEGORY_REALTIME, STATIC_KSCATEGORY_REALTIME);

#define STATIC_KSDATAFORMAT_TYPE_AUDIO 0x73647561L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
KS_DEFINE_GUID(KSDATAFORMAT_TYPE_AUDIO, STATIC_KSDATAFORMAT_TYPE_AUDIO);
#define STATIC_KSDATAFORMAT_SUBTYPE_PCM 0x00000001L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
KS_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_PCM, STATIC_KSDATAFORMAT_SUBTYPE_PCM);
#define STATIC_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT \
    0x00000003L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
KS_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, STATIC_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
#define STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX \
    0x05589f81L, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a
KS_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
#define STATIC_KSDATAFORMAT_SPECIFIER_DSOUND 0x518590a2L, 0xa184, 0x11d0, 0x85, 0x22, 0x00, 0xc0, 0x4f, 0xd9, 0xba, 0xf3
KS_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_DSOUND, STATIC_KSDATAFORMAT_SPECIFIER_DSOUND);

typedef struct {
    KSDATARANGE DataRange;
    ULONG MaximumChannels;
    ULONG MinimumBitsPerSample;
    ULONG MaximumBitsPerSample;
    ULONG MinimumSampleFrequency;
    ULONG MaximumSampleFrequency;
} KSDATARANGE_AUDIO, *PKSDATARANGE_AUDIO;

static_assert(offsetof(KSDATARANGE_AUDIO, MaximumChannels) == 64, "KSDATARANGE_AUDIO layout");
static_assert(sizeof(KSDATARANGE_AUDIO) == 88, "KSDATARANGE_AUDIO layout");

typedef struct {
    ULONGLONG PlayOffset;
    ULONGLONG WriteOffset;
} KSAUDIO_POSITION, *PKSAUDIO_POSITION;

static_assert(sizeof(KSAUDIO_POSITION) == 16, "KSAUDIO_POSITION layout");

// ---------------------------------------------------------------- jacks

#define STATIC_KSPROPSETID_Jack 0x4509F757L, 0x2D46, 0x4637, 0x8E, 0x62, 0xCE, 0x7D, 0xB9, 0x44, 0xF5, 0x7B
KS_DEFINE_GUID(KSPROPSETID_Jack, STATIC_KSPROPSETID_Jack);

typedef enum {
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2 = 2,
    KSPROPERTY_JACK_SINK_INFO = 3,
    KSPROPERTY_JACK_CONTAINERID
} KSPROPERTY_JACK;

typedef enum {
    eConnTypeUnknown = 0,
    eConnType3Point5mm,
    eConnTypeQuarter,
    eConnTypeAtapiInternal,
    eConnTypeRCA,
    eConnTypeOptical,
    eConnTypeOtherDigital,
    eConnTypeOtherAnalog,
    eConnTypeMultichannelAnalogDIN,
    eConnTypeXlrProfessional,
    eConnTypeRJ11Modem,
    eConnTypeCombination
} EPcxConnectionType;

typedef enum {
    eGeoLocRear = 1,
    eGeoLocFront,
    eGeoLocLeft,
    eGeoLocRight,
    eGeoLocTop,
    eGeoLocBottom,
    eGeoLocRearPanel,
    eGeoLocRiser,
    eGeoLocInsideMobileLid,
    eGeoLocDrivebay,
    eGeoLocHDMI,
    eGeoLocOutsideMobileLid,
    eGeoLocATAPI,
    eGeoLocNotApplicable,
    eGeoLocReserved6
} EPcxGeoLocation;

typedef enum { eGenLocPrimaryBox = 0, eGenLocInternal, eGenLocSeparate, eGenLocOther } EPcxGenLocation;

typedef enum {
    ePortConnJack = 0,
    ePortConnIntegratedDevice,
    ePortConnBothIntegratedAndJack,
    ePortConnUnknown
} EPxcPortConnection;

typedef struct {
    DWORD ChannelMapping;
    DWORD Color;  // COLORREF: 0x00BBGGRR
    EPcxConnectionType ConnectionType;
    EPcxGeoLocation GeoLocation;
    EPcxGenLocation GenLocation;
    EPxcPortConnection PortConnection;
    BOOL IsConnected;
} KSJACK_DESCRIPTION, *PKSJACK_DESCRIPTION;

#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001
#define JACKDESC2_DYNAMIC_FORMAT_CHANGE_CAPABILITY 0x00000002

typedef struct _tagKSJACK_DESCRIPTION2 {
    DWORD DeviceStateInfo;
    DWORD JackCapabilities;
} KSJACK_DESCRIPTION2, *PKSJACK_DESCRIPTION2;

static_assert(sizeof(KSJACK_DESCRIPTION) == 28, "KSJACK_DESCRIPTION layout");
static_assert(offsetof(KSJACK_DESCRIPTION, GeoLocation) == 12, "KSJACK_DESCRIPTION layout");
static_assert(offsetof(KSJACK_DESCRIPTION, IsConnected) == 24, "KSJACK_DESCRIPTION layout");
static_assert(sizeof(KSJACK_DESCRIPTION2) == 8, "KSJACK_DESCRIPTION2 layout");

// ---------------------------------------------------------------- signal processing modes

#define STATIC_AUDIO_SIGNALPROCESSINGMODE_RAW 0x9e90ea20L, 0xb493, 0x4fd1, 0xa1, 0xa8, 0x7e, 0x13, 0x61, 0xa9, 0x56, 0xcf
KS_DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_RAW, STATIC_AUDIO_SIGNALPROCESSINGMODE_RAW);

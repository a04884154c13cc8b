// The Q7 family: high-speed version 2.0 duplex interfaces, 2 channels to
// the line outputs and 4 from the line inputs, one clock from 32 to 768 kHz.
//
//   clock 41 ----------------------------------------------+ (every terminal)
//   IT 1 (USB, 2 ch) -> FU 10 (master mute/volume) -> OT 2 (line out)
//   IT 3 (line in, 4 ch) ------------------------------> OT 4 (USB)
//
// Interface 1 renders (endpoint 0x01, async, feedback 0x81): 24 bits in 32,
// 32 in 32, and 32-bit raw for native DSD after the vendor mode request;
// interface 2 captures (0x82, async): 24 in 32 and 32 in 32.

#include <cstdio>

#include "ready_made_catalog.h"
#include "ready_made_parts.h"

namespace simusb::catalog {

namespace {

using namespace parts;

constexpr uint16_t kVendor = 0xF0E1;
constexpr uint16_t kModePcm = 0;
constexpr uint16_t kModeDsd = 1;
constexpr int64_t kRateSettle_ns = 50 * kMillisecond_ns;

const std::vector<uint32_t>& Q7Rates() {
    static const std::vector<uint32_t> rates = {32000,  44100,  48000,  88200,  96000, 176400,
                                                192000, 352800, 384000, 705600, 768000};
    return rates;
}

}  // namespace

AudioDescription Q7(uint16_t productId, const std::string& model) {
    AudioDescription d;
    char serial[16];
    std::snprintf(serial, sizeof serial, "Q7%04X-001024", productId);
    d.identity = desc::Identity{kVendor, productId, 0x0102, "VQ Audio", model, serial,
                                {{2, 0x0407, Utf16FromUtf8(model + " Audio-Schnittstelle")}}};
    d.clocks = {InternalClock(41, Q7Rates(), kRateSettle_ns)};
    d.terminals = {FromHost(1, 41, 2), PhysicalOut(2, uac::kTerminalLineConnector, 10, 41),
                   PhysicalIn(3, uac::kTerminalLineConnector, 41, 4), ToHost(4, 3, 41)};
    d.featureUnits = {MasterMuteVolume(10, 1, 2)};
    desc::Stream render;
    render.terminal = 1;
    render.formats = {Pcm(2, 4, 24), Pcm(2, 4, 32), Raw32(2)};
    render.endpoint = 0x01;
    render.feedbackEndpoint = 0x81;
    desc::Stream capture;
    capture.terminal = 4;
    capture.formats = {Pcm(4, 4, 24), Pcm(4, 4, 32)};
    capture.endpoint = 0x82;
    d.streams = {render, capture};
    d.vendorModes = {kModePcm, kModeDsd};
    return d;
}

}  // namespace simusb::catalog

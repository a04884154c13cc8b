#include "class_layer_start.h"

#include <cstdio>
#include <cstdlib>

#include "class_layer_input.h"
#include "common/pool.h"
#include "kmsim/verifier.h"
#include "usbaudiocl.h"

namespace vq7fuzz {

namespace {

constexpr ULONG kAdapterIrpCount = 24;  // the transfer IRPs the adapter gives the layer

kmsim::Options WorldOptions() {
    kmsim::Options options;
    options.threadName = "fuzz";
    return options;
}

}  // namespace

ClassLayerStartWorld::ClassLayerStartWorld() : sim_(WorldOptions()), bus_(std::make_unique<simusbhost::Bus>()) {
    ExSetTimerResolution(10000, TRUE);
}

ClassLayerStartWorld::~ClassLayerStartWorld() {
    bus_.reset();
    ExSetTimerResolution(0, FALSE);
}

bool ClassLayerStartWorld::Run(const uint8_t* data, size_t size) {
    ClassLayerInput input = DecodeClassLayerInput(data, size);
    std::shared_ptr<simusb::AudioDevice> device;
    try {
        device = simusb::MakeDeviceFromFile(input.file);
    } catch (const std::exception&) {
        return false;
    }
    device->Faults().SetHook([script = ReplyScript(std::move(input.replyScript))](
                                 const simusb::Setup& setup, simusb::ControlReply& reply) mutable {
        script.Apply(setup, reply);
    });
    PDEVICE_OBJECT pdo = bus_->Attach(device);
    auto* layer = new CUSBAudioCL;
    if (layer != nullptr) {
        NTSTATUS status = layer->Start(pdo, kAdapterIrpCount);
        if (NT_SUCCESS(status) && !input.startOnly) {
            status = layer->SelectConfiguration();
        }
        started_ += NT_SUCCESS(status) ? 1 : 0;
        delete layer;
    }
    bus_->Detach(pdo);
    if (kmsim::OutstandingAllocations(vq7::kPoolTagUsba) != 0) {
        fprintf(stderr, "the class layer kept pool after it was destroyed:\n%s\n", kmsim::LeakReport().c_str());
        abort();
    }
    return true;
}

}  // namespace vq7fuzz

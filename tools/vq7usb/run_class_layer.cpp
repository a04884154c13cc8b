#include "run_class_layer.h"

#include "refusal.h"

#include "kmsim/simulation.h"
#include "simusbhost/bus.h"
#include "usbaudiocl.h"

namespace vq7usb {

void WithStartedLayer(std::shared_ptr<simusb::AudioDevice> device, std::optional<Refusal>* refusal,
                      const std::function<void(CUSBAudioCL& layer, NTSTATUS start)>& use) {
    kmsim::Simulation simulation;
    ExSetTimerResolution(10000, TRUE);
    {
        simusbhost::Bus bus;
        PDEVICE_OBJECT pdo = bus.Attach(device);
        auto* layer = new CUSBAudioCL;
        NTSTATUS status = StartAsTheAdapter(*layer, pdo, *device, refusal);
        use(*layer, status);
        delete layer;
    }
    ExSetTimerResolution(0, FALSE);
}

ModelView RunClassLayer(std::shared_ptr<simusb::AudioDevice> device) {
    ModelView model;
    std::optional<Refusal> refusal;
    WithStartedLayer(device, &refusal, [&](CUSBAudioCL& layer, NTSTATUS status) { model = DescribeModel(layer, status); });
    model.refusal = refusal;
    return model;
}

}  // namespace vq7usb

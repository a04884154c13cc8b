#include "run_class_layer.h"

#include "refusal.h"

#include "kmsim/simulation.h"
#include "simusbhost/bus.h"
#include "usbaudiocl.h"

namespace vq7usb {

ModelView RunClassLayer(std::shared_ptr<simusb::AudioDevice> device) {
    kmsim::Simulation simulation;
    ExSetTimerResolution(10000, TRUE);
    ModelView model;
    {
        simusbhost::Bus bus;
        PDEVICE_OBJECT pdo = bus.Attach(device);
        auto* layer = new CUSBAudioCL;
        std::optional<Refusal> refusal;
        NTSTATUS status = StartAsTheAdapter(*layer, pdo, *device, &refusal);
        model = DescribeModel(*layer, status);
        model.refusal = refusal;
        delete layer;
    }
    ExSetTimerResolution(0, FALSE);
    return model;
}

}  // namespace vq7usb

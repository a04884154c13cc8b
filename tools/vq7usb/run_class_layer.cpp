#include "run_class_layer.h"

#include "kmsim/simulation.h"
#include "simusbhost/bus.h"
#include "usbaudiocl.h"

namespace vq7usb {

// The IRPs the adapter gives the class layer's pool.
constexpr ULONG kAdapterIrpCount = 24;

ModelView RunClassLayer(std::shared_ptr<simusb::AudioDevice> device) {
    kmsim::Simulation simulation;
    ExSetTimerResolution(10000, TRUE);
    ModelView model;
    {
        simusbhost::Bus bus;
        PDEVICE_OBJECT pdo = bus.Attach(device);
        auto* layer = new CUSBAudioCL;
        NTSTATUS status = layer->Start(pdo, kAdapterIrpCount);
        if (NT_SUCCESS(status)) {
            status = layer->SelectConfiguration();
        }
        model = DescribeModel(*layer, status);
        delete layer;
    }
    ExSetTimerResolution(0, FALSE);
    return model;
}

}  // namespace vq7usb

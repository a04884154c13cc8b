#include "transfer_plan.h"

#include "json_writer.h"
#include "refusal.h"
#include "run_class_layer.h"
#include "render_packet_plan.h"
#include "status_names.h"
#include "text_format.h"
#include "usbaudiocl.h"

namespace vq7usb {

namespace {

constexpr UCHAR kRender = 0;
constexpr UCHAR kCapture = 1;

// Selects the direction's format as the engine does when it opens it.
DirectionPlan SelectDirection(CUSBAudioCL& layer, UCHAR direction, bool paced, const PlanRequest& request) {
    DirectionPlan plan;
    plan.paced = paced;
    ULONG channels = 0;
    ULONG bits = 0;
    plan.status = layer.GetBestFormat(direction, request.tag, request.rate, &channels, &bits);
    if (!NT_SUCCESS(plan.status)) {
        return plan;
    }
    if (paced) {
        plan.status = layer.SelectStreamingFormat(direction, request.tag, channels, bits, request.rate, request.ms,
                                                  &plan.channels, &plan.containerBits, &plan.nominalPerTransfer,
                                                  &plan.framesBelow, &plan.framesAbove, &plan.maxBytesPerTransfer);
    } else {
        plan.status = layer.SelectStreamingFormat(direction, request.tag, channels, bits, request.rate, request.ms,
                                                  &plan.channels, &plan.containerBits, &plan.maxBytesPerTransfer);
        if (NT_SUCCESS(plan.status) && direction == kCapture) {
            // The per-transfer bounds capture is checked against, as the
            // paced form computes them for the same setting.
            ULONG unusedChannels = 0;
            ULONG unusedBits = 0;
            ULONG unusedMax = 0;
            NTSTATUS bounds = layer.SelectStreamingFormat(direction, request.tag, channels, bits, request.rate,
                                                          request.ms, &unusedChannels, &unusedBits,
                                                          &plan.nominalPerTransfer, &plan.framesBelow,
                                                          &plan.framesAbove, &unusedMax);
            if (!NT_SUCCESS(bounds)) plan.status = bounds;
        }
    }
    if (!NT_SUCCESS(plan.status)) {
        return plan;
    }
    const USB_AS_INTERFACE* stream = layer.Stream(direction);
    plan.alternate = stream->currentAlternate;
    plan.bytesPerFrame = stream->bytesPerFrame;
    plan.nominal = stream->nominalPacketBytes;
    plan.minimum = stream->minimumPacketBytes;
    plan.maximum = stream->maximumPacketBytes;
    plan.minimumDiffers = stream->minimumDiffers != 0;
    plan.serviceInterval = layer.GetServiceInterval(direction);
    if (stream->feedbackPipe != nullptr) {
        plan.feedbackNominal = layer.GetFeedbackNominal(direction);
    }
    return plan;
}

// The first render transfers, cut into packets as the transport cuts them.
void LayOutRenderTransfers(CUSBAudioCL& layer, const PlanRequest& request, DirectionPlan& plan) {
    const USB_AS_INTERFACE* render = layer.RenderStream();
    ULONG feedback = 0;
    if (plan.paced) {
        plan.pacing = "capture";  // every capture transfer of nominal size
    } else if (render->feedbackPipe != nullptr) {
        plan.pacing = "feedback";  // the device reports exactly its nominal rate
        feedback = layer.GetFeedbackNominal(kRender);
        layer.StorePendingFeedback(feedback);
        layer.ApplyPendingFeedback();
    } else {
        plan.pacing = "schedule";
    }
    vq7::RenderCursor cursor = layer.CurrentRenderCursor();
    for (ULONG t = 0; t < request.transfers; ++t) {
        ULONG bytes = plan.paced ? plan.nominalPerTransfer : layer.GetRenderTransferBytes(request.ms, feedback, cursor);
        vq7::RenderPacketPlan packets{};
        if (!NT_SUCCESS(layer.PlanRenderPackets(bytes, request.ms, cursor, &packets))) {
            break;
        }
        plan.transfers.emplace_back(packets.lengths, packets.lengths + packets.count);
        cursor = packets.after;
    }
}

void WriteDirection(JsonWriter& json, const DirectionPlan& plan, bool render) {
    json.BeginObject();
    json.Key("status").String(StatusName(plan.status));
    if (NT_SUCCESS(plan.status)) {
        json.Key("form").String(plan.paced ? "paced" : "explicit");
        json.Key("alternate").Number(plan.alternate);
        json.Key("channels").Number(plan.channels);
        json.Key("containerBits").Number(plan.containerBits);
        json.Key("bytesPerFrame").Number(plan.bytesPerFrame);
        json.Key("nominal").Number(plan.nominal);
        json.Key("minimum").Number(plan.minimum);
        json.Key("maximum").Number(plan.maximum);
        json.Key("minimumDiffers").Bool(plan.minimumDiffers);
        json.Key("serviceInterval").Number(plan.serviceInterval);
        json.Key("maxBytesPerTransfer").Number(plan.maxBytesPerTransfer);
        json.Key("feedbackNominal");
        if (plan.feedbackNominal) json.Hex(*plan.feedbackNominal, 8); else json.Null();
        if (render) {
            json.Key("pacing").String(plan.pacing);
            json.Key("transfers").BeginArray();
            for (const std::vector<ULONG>& transfer : plan.transfers) {
                json.BeginArray();
                for (ULONG length : transfer) json.Number(length);
                json.EndArray();
            }
            json.EndArray();
        }
        if (!render || plan.paced) {
            json.Key("nominalPerTransfer").Number(plan.nominalPerTransfer);
            json.Key("framesBelow").Number(plan.framesBelow);
            json.Key("framesAbove").Number(plan.framesAbove);
        }
    }
    json.EndObject();
}

std::string DirectionText(const char* name, const DirectionPlan& plan, bool render) {
    if (!NT_SUCCESS(plan.status)) {
        return Format("%s: refused, %s\n", name, StatusName(plan.status).c_str());
    }
    std::string text = Format("%s: alternate %u, %u channels of %u bits (%u bytes a frame), %s form\n", name,
                              plan.alternate, plan.channels, plan.containerBits, plan.bytesPerFrame,
                              plan.paced ? "paced" : "explicit");
    text += Format("  packets: nominal %u, minimum %u%s, maximum %u bytes; a packet every %u bus unit(s); at most %u "
                   "bytes a transfer\n",
                   plan.nominal, plan.minimum, plan.minimumDiffers ? "" : " (same as nominal)", plan.maximum,
                   plan.serviceInterval, plan.maxBytesPerTransfer);
    if (plan.feedbackNominal) {
        text += Format("  feedback nominal 0x%08X (%.4f samples a bus unit)\n", *plan.feedbackNominal,
                       static_cast<double>(*plan.feedbackNominal) / 65536.0);
    }
    if (!render || plan.paced) {
        text += Format("  per transfer: nominal %u bytes, %d to %+d frames around it\n", plan.nominalPerTransfer,
                       plan.framesBelow, plan.framesAbove);
    }
    if (render) {
        text += Format("  first render transfers, paced by %s:\n", plan.pacing.c_str());
        for (size_t t = 0; t < plan.transfers.size(); ++t) {
            std::string line = Format("    %zu:", t + 1);
            ULONG total = 0;
            for (ULONG length : plan.transfers[t]) {
                line += Format(" %u", length);
                total += length;
            }
            text += line + Format("  (%u bytes)\n", total);
        }
    }
    return text;
}

}  // namespace

TransferPlan PlanTransfers(std::shared_ptr<simusb::AudioDevice> device, const PlanRequest& request) {
    TransferPlan plan;
    plan.request = request;
    WithStartedLayer(device, &plan.refusal, [&](CUSBAudioCL& layer, NTSTATUS start) {
        plan.startStatus = start;
        if (!NT_SUCCESS(start)) return;
        bool paced = layer.RenderFollowsCapture();
        // A device whose render follows capture opens capture first, as the engine does.
        if (layer.CaptureStream() != nullptr && paced) plan.capture = SelectDirection(layer, kCapture, paced, request);
        if (layer.RenderStream() != nullptr) {
            plan.render = SelectDirection(layer, kRender, paced, request);
            if (NT_SUCCESS(plan.render->status)) LayOutRenderTransfers(layer, request, *plan.render);
        }
        if (layer.CaptureStream() != nullptr && !paced) plan.capture = SelectDirection(layer, kCapture, paced, request);
    });
    return plan;
}

std::string PlanJson(const TransferPlan& plan) {
    JsonWriter json;
    json.BeginObject();
    json.Key("rate").Number(plan.request.rate);
    json.Key("tag").Number(plan.request.tag);
    json.Key("ms").Number(plan.request.ms);
    json.Key("start").String(StatusName(plan.startStatus));
    json.Key("refusal");
    WriteRefusal(json, plan.refusal);
    if (plan.render) {
        json.Key("render");
        WriteDirection(json, *plan.render, true);
    }
    if (plan.capture) {
        json.Key("capture");
        WriteDirection(json, *plan.capture, false);
    }
    json.EndObject();
    return json.Text();
}

std::string PlanText(const TransferPlan& plan) {
    std::string text = Format("%u Hz, format tag %u, %u ms a transfer; start and configuration: %s\n",
                              plan.request.rate, plan.request.tag, plan.request.ms,
                              StatusName(plan.startStatus).c_str());
    text += RefusalText(plan.refusal);
    if (plan.render) text += DirectionText("Render", *plan.render, true);
    if (plan.capture) text += DirectionText("Capture", *plan.capture, false);
    if (!plan.render && !plan.capture && NT_SUCCESS(plan.startStatus)) text += "The device has no stream.\n";
    return text;
}

}  // namespace vq7usb

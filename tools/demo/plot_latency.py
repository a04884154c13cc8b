#!/usr/bin/env python3
"""Draws the demo's latency.png from the latency-data.json it wrote.

Top: channel 0 as the client wrote it and as it read it back, on one time
axis of client stream time, with the marker, its echo and the round trip
between them marked, and what the system's audio engine played beside it. Bottom: the ASIO rings' fill over the session.

usage: plot_latency.py latency-data.json latency.png
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def merge(seconds, low, high, mean, bins=250):
    """Stretches merged into at most `bins`: lowest of the lows, highest
    of the highs, mean of the means."""
    step = max(1, len(seconds) // bins)
    t, lo, hi, mid = [], [], [], []
    for i in range(0, len(seconds), step):
        t.append(seconds[i])
        lo.append(min(low[i:i + step]))
        hi.append(max(high[i:i + step]))
        mid.append(sum(mean[i:i + step]) / len(mean[i:i + step]))
    return t, lo, hi, mid


def main(data_path, png_path):
    with open(data_path) as f:
        d = json.load(f)
    rate = d["rate"]
    start = d["windowStartFrame"]

    def ms(frame):
        return frame * 1000.0 / rate

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(11, 7.5), gridspec_kw={"height_ratios": [3, 2]})
    fig.suptitle(f"{d['device']} round trip: {rate} Hz, {d['bufferFrames']}-frame buffers, {d['format']}", fontsize=13)

    written = d["written"]
    read = d["read"]
    t_written = [ms(start + i) for i in range(len(written))]
    t_read = [ms(start + i) for i in range(len(read))]
    top.plot(t_written, written, color="tab:blue", lw=1.2, label="written by the client (output)")
    top.plot(t_read, read, color="tab:orange", lw=1.2, label="read back by the client (input, via loopback)")
    system = d.get("system") or []
    if system:
        t_system = [ms(start + i) for i in range(len(system))]
        top.plot(t_system, system, color="tab:green", lw=0.8,
                 label="system audio (WaveRT, its own stream time), summed with the output")
    marker = ms(d["markerOutputFrame"])
    top.axvline(marker, color="tab:blue", ls=":", lw=1)
    echo_frame = d["markerInputFrame"]
    if echo_frame is not None:
        echo = ms(echo_frame)
        frames = echo_frame - d["markerOutputFrame"]
        top.axvline(echo, color="tab:orange", ls=":", lw=1)
        top.annotate("", xy=(echo, 1.05), xytext=(marker, 1.05),
                     arrowprops=dict(arrowstyle="<->", color="black", lw=1.4))
        text = f"round trip {frames} frames = {frames * 1000.0 / rate:.3f} ms"
        if d.get("computedFrames") is not None:
            text += f"  (computed {d['computedFrames']})"
        text += f"\nbuffers alone: {2 * d['bufferFrames']} frames = {2 * d['bufferFrames'] * 1000.0 / rate:.3f} ms"
        top.text((marker + echo) / 2, 1.12, text, ha="center", va="bottom", fontsize=10)
    else:
        top.text(marker, 1.1, "the marker's echo never came back", color="red")
    top.set_ylim(-1.1, 1.55)
    top.set_xlabel("client stream time (ms)")
    top.set_ylabel("channel 0 (full scale = 1)")
    top.legend(loc="lower right", fontsize=9)
    top.grid(alpha=0.3)

    fills = d["fills"]
    for ring, color, label in (("output", "tab:blue", "output ring (written, waiting for the device)"),
                               ("input", "tab:orange", "input ring (captured, waiting for reads)")):
        if not fills["seconds"]:
            continue
        t, lo, hi, mid = merge(fills["seconds"], fills[ring + "Low"], fills[ring + "High"], fills[ring + "Mean"])
        bottom.fill_between(t, lo, hi, step="post", color=color, alpha=0.3, lw=0)
        bottom.step(t, mid, where="post", color=color, lw=1.2, label=f"{label}: {min(lo)}..{max(hi)} frames")
    bottom.set_title("ring fill after each buffer switch (band: lowest to highest, line: mean)", fontsize=10)
    bottom.set_xlabel("session time (s)")
    bottom.set_ylabel("ring fill (frames)")
    bottom.set_ylim(bottom=0)
    bottom.legend(loc="center right", fontsize=9)
    bottom.grid(alpha=0.3)

    fig.tight_layout()
    fig.savefig(png_path, dpi=110)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])

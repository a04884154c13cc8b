#!/usr/bin/env bash
# vq7usb filter end to end: every ready-made device's WaveRT filter as JSON
# with the keys engineers rely on and a consistent topology (a pin per
# terminal, connections between existing ends, sink pins with audio ranges,
# bridge pins with the analog range), the same from its exported descriptor
# file; a forced rate narrowing every range to it or dropping it; the Q7's
# render and capture chains; bad arguments refused.
set -euo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_filter() {  # filter.json inspect.json [forced rate]
  python3 - "$@" <<'PY'
import json, sys
filter_ = json.load(open(sys.argv[1]))
model = json.load(open(sys.argv[2]))
rate = int(sys.argv[3]) if len(sys.argv) > 3 else None
assert filter_["status"] == "STATUS_SUCCESS", filter_["status"]
assert filter_["rate"] == rate
terminals = [e["id"] for e in model["entities"] if e["kind"] in ("InputTerminal", "OutputTerminal")]
pins = filter_["pins"]
assert [p["pin"] for p in pins] == list(range(len(pins)))
assert sorted(p["terminal"] for p in pins) == sorted(terminals), (pins, terminals)
subformats = {"PCM", "IEEE_FLOAT", "ALAW", "MULAW", "NONE", "ANALOG"}
for pin in pins:
    assert pin["terminalType"].startswith("0x") and len(pin["terminalType"]) == 6
    assert pin["dataFlow"] in ("in", "out") and pin["communication"] in ("sink", "bridge")
    assert pin["category"] is None or (pin["category"].startswith("{") and pin["category"] == pin["category"].upper())
    assert isinstance(pin["attributeList"], bool)
    if pin["communication"] == "sink":
        assert pin["terminalType"] == "0x0101" and pin["category"] == "{6994AD04-93EF-11D0-A3CC-00A0C9223196}"
        assert rate is not None or pin["dataRanges"], pin
        for r in pin["dataRanges"]:
            assert r["subFormat"] in subformats and r["subFormat"] != "ANALOG", r
            assert r["minBits"] <= r["maxBits"] and r["maxChannels"] > 0, r
            assert r["minRate"] <= r["maxRate"], r
            if rate is not None:
                assert r["minRate"] == r["maxRate"] == rate, r
        flagged = [r for r in pin["dataRanges"] if r["flags"] & 2]
        assert pin["attributeList"] == bool(flagged) and flagged in ([], [pin["dataRanges"][-1]]), pin
    else:
        assert pin["terminalType"] != "0x0101"
        assert pin["dataRanges"] == [{"subFormat": "ANALOG", "maxChannels": None, "minBits": None, "maxBits": None,
                                      "minRate": None, "maxRate": None, "flags": 0}], pin
nodes = filter_["nodes"]
assert [n["node"] for n in nodes] == list(range(len(nodes)))
entities = {e["id"] for e in model["entities"]}
for node in nodes:
    assert node["type"] in ("ADC", "DAC", "MUTE", "VOLUME", "TONE", "EQUALIZER", "AGC", "DELAY", "LOUDNESS",
                            "DEV_SPECIFIC"), node
    assert (node["entity"] is None) == (node["type"] in ("ADC", "DAC")), node
    assert node["entity"] is None or node["entity"] in entities, node
ends = set()
for c in filter_["connections"]:
    for node_key, pin_key in (("fromNode", "fromPin"), ("toNode", "toPin")):
        if c[node_key] == "pin":
            assert 0 <= c[pin_key] < len(pins), c
        else:
            assert 0 <= c[node_key] < len(nodes), c
    assert not (c["fromNode"] == "pin" and c["toNode"] == "pin"), c
    key = (c["fromNode"], c["fromPin"], c["toNode"], c["toPin"])
    assert key not in ends, c
    ends.add(key)
PY
}

count=0
for name in $("$tool" list | awk '{print $1}'); do
  "$tool" inspect --json "$name" > "$work/$name.model.json"
  "$tool" filter "$name" --json > "$work/$name.json"
  check_filter "$work/$name.json" "$work/$name.model.json" || { echo "FAIL: $name"; cat "$work/$name.json"; exit 1; }
  "$tool" filter "$name" | grep -q "^Filter: STATUS_SUCCESS" || { echo "FAIL: $name: text report"; exit 1; }
  "$tool" export "$name" > "$work/$name.usb"
  "$tool" filter --json "$work/$name.usb" > "$work/$name.file.json"
  cmp -s "$work/$name.json" "$work/$name.file.json" || {
    echo "FAIL: $name: the exported file gives another filter"; diff "$work/$name.json" "$work/$name.file.json"; exit 1; }
  "$tool" filter --rate 48000 --json "$name" > "$work/$name.48000.json"
  check_filter "$work/$name.48000.json" "$work/$name.model.json" 48000 || {
    echo "FAIL: $name at 48000 Hz"; cat "$work/$name.48000.json"; exit 1; }
  count=$((count + 1))
done
[ "$count" -ge 14 ] || { echo "FAIL: only $count ready-made devices listed"; exit 1; }

# The Q7: render runs from the streaming input terminal through the feature
# unit's volume and mute to the DAC and the speaker-side bridge pin; capture
# from the bridge input through the ADC to the streaming output terminal.
"$tool" filter q7-0b31 --json | python3 -c '
import json, sys
f = json.load(sys.stdin)
types = [n["type"] for n in f["nodes"]]
def end(node, pin): return ("pin", pin) if node == "pin" else (types[node], None)
chain = [(end(c["fromNode"], c["fromPin"]), end(c["toNode"], c["toPin"])) for c in f["connections"]]
assert chain == [(("pin", 2), ("ADC", None)), (("ADC", None), ("pin", 3)),
                 (("pin", 0), ("VOLUME", None)), (("VOLUME", None), ("MUTE", None)),
                 (("MUTE", None), ("DAC", None)), (("DAC", None), ("pin", 1))], chain
' || { echo "FAIL: the Q7's chains"; exit 1; }

# A rate no alternate offers leaves the streaming pins without ranges; a
# class 1.0 clock cannot be set, and its ranges are narrowed all the same.
"$tool" filter q7-0b31 --rate 12345 --json | python3 -c '
import json, sys
f = json.load(sys.stdin)
assert f["status"] == "STATUS_SUCCESS" and f["rateStatus"] != "STATUS_SUCCESS", f
assert all(p["dataRanges"] == [] for p in f["pins"] if p["communication"] == "sink"), f
' || { echo "FAIL: an unoffered rate"; exit 1; }
"$tool" filter uac1-duplex --json --rate 44100 | python3 -c '
import json, sys
f = json.load(sys.stdin)
assert f["rateStatus"] == "STATUS_UNSUCCESSFUL", f
ranges = [r for p in f["pins"] if p["communication"] == "sink" for r in p["dataRanges"]]
assert ranges and all(r["minRate"] == r["maxRate"] == 44100 for r in ranges), ranges
' || { echo "FAIL: a class 1.0 forced rate"; exit 1; }

for bad in "filter" "filter q7-0b31 --rate" "filter q7-0b31 --rate 0" "filter q7-0b31 --rate x" \
           "filter q7-0b31 --tag 1" "filter q7-0b31 q7-0b32" "filter no-such-device"; do
  set +e
  $tool $bad > /dev/null 2>&1
  status=$?
  set -e
  [ "$status" -eq 2 ] || { echo "FAIL: '$bad' exits $status, not 2"; exit 1; }
done
echo "vq7usb filter: $count devices"

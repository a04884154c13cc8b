#!/usr/bin/env bash
# vq7usb end to end: every ready-made device inspected as JSON with the keys
# engineers rely on, accepted by the driver, and inspected again from its
# exported descriptor file (which loads without warnings) with the same
# result; clear errors with exit status 2 for devices that cannot be had;
# options anywhere on the command line; a refused device's report naming
# the step and the request it failed on. Every ready-made device planned
# at every common rate: the keys engineers rely on, packets within the
# alternate's bounds, render transfers carrying the rate's frames.
set -euo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_json() {
  python3 - "$1" <<'PY'
import json, sys
model = json.load(open(sys.argv[1]))
for key, kind in [("vendor", str), ("product", str), ("highSpeed", bool), ("uac", int), ("controlInterface", int),
                  ("status", str), ("entities", list), ("sharedClock", bool), ("renderFollowsCapture", bool),
                  ("streams", list)]:
    assert isinstance(model[key], kind), (key, model.get(key))
assert model["status"] == "STATUS_SUCCESS", model["status"]
assert model["render"] is not None or model["capture"] is not None
for entity in model["entities"]:
    assert entity["kind"] in ("InputTerminal", "OutputTerminal", "FeatureUnit", "ClockSource", "ClockSelector",
                              "DummyUnit", "ProcessingUnit"), entity
    assert isinstance(entity["id"], int)
for stream in model["streams"]:
    assert stream["direction"] in ("render", "capture")
    for alternate in stream["alternates"]:
        for key in ("alternate", "channels", "subslotBytes", "bitResolution"):
            assert isinstance(alternate[key], int), key
        assert alternate["formats"].startswith("0x")
        assert alternate["dataEndpoint"] is None or alternate["dataEndpoint"]["address"].startswith("0x")
        if model["uac"] == 1:
            assert isinstance(alternate["rates"], list) and alternate["rates"]
PY
}

count=0
for name in $("$tool" list | awk '{print $1}'); do
  "$tool" inspect --json "$name" > "$work/$name.json"
  check_json "$work/$name.json" || { echo "FAIL: $name: unexpected JSON"; cat "$work/$name.json"; exit 1; }
  "$tool" inspect "$name" | grep -q "Start and configuration: STATUS_SUCCESS" || { echo "FAIL: $name: text report"; exit 1; }
  "$tool" export "$name" > "$work/$name.usb"
  "$tool" inspect "$work/$name.usb" --json > "$work/$name.file.json" 2> "$work/$name.err"
  [ ! -s "$work/$name.err" ] || { echo "FAIL: $name: the exported file warns"; cat "$work/$name.err"; exit 1; }
  cmp -s "$work/$name.json" "$work/$name.file.json" || {
    echo "FAIL: $name: the exported file inspects differently"; diff "$work/$name.json" "$work/$name.file.json"; exit 1; }
  count=$((count + 1))
done
[ "$count" -ge 14 ] || { echo "FAIL: only $count ready-made devices listed"; exit 1; }

check_plans() {  # files named <device>@<rate>.<exit status>.json
  python3 - "$@" <<'PY'
import json, os, sys
def check(path):
    plan = json.load(open(path))
    exit_status = int(os.path.basename(path).split(".")[-2])
    assert plan["start"] == "STATUS_SUCCESS", plan
    assert "render" in plan or "capture" in plan, plan
    refused = False
    keys = ["status", "form", "alternate", "channels", "containerBits", "bytesPerFrame", "nominal", "minimum", "maximum",
            "minimumDiffers", "serviceInterval", "maxBytesPerTransfer", "feedbackNominal"]
    for name in ("render", "capture"):
        if name not in plan:
            continue
        direction = plan[name]
        if direction["status"] != "STATUS_SUCCESS":
            assert list(direction) == ["status"], direction
            refused = True
            continue
        for key in keys:
            assert key in direction, (name, key)
        assert direction["form"] in ("paced", "explicit")
        assert direction["minimum"] <= direction["nominal"] <= direction["maximum"], direction
        assert direction["nominal"] % direction["bytesPerFrame"] == 0, direction
        assert direction["minimumDiffers"] == (direction["minimum"] != direction["nominal"]), direction
        feedback = direction["feedbackNominal"]
        assert feedback is None or feedback.startswith("0x"), feedback
        if name == "capture" or direction["form"] == "paced":
            assert direction["framesBelow"] <= 0 <= direction["framesAbove"], direction
            assert direction["nominalPerTransfer"] % direction["bytesPerFrame"] == 0, direction
        if name == "capture":
            assert "transfers" not in direction
            continue
        transfers = direction["transfers"]
        assert len(transfers) == 8, transfers
        frames = 0
        for transfer in transfers:
            assert transfer and sum(transfer) <= direction["maxBytesPerTransfer"], transfer
            assert all(0 <= length <= direction["maximum"] for length in transfer), transfer
            if direction["form"] == "paced":
                assert sum(transfer) == direction["nominalPerTransfer"], transfer
            frames += sum(transfer) // direction["bytesPerFrame"]
        if direction["form"] == "explicit":
            # Eight transfers carry the rate's frames, to within one frame.
            expected = plan["rate"] * plan["ms"] * 8 / 1000
            assert abs(frames - expected) <= 1, (frames, expected)
    assert exit_status == (1 if refused else 0), (exit_status, refused)
for path in sys.argv[1:]:
    try:
        check(path)
    except AssertionError as error:
        print("FAIL: plan", os.path.basename(path), error)
        print(open(path).read())
        sys.exit(1)
print(len(sys.argv) - 1, "plans checked")
PY
}

mkdir "$work/plans"
for name in $("$tool" list | awk '{print $1}'); do
  for rate in 32000 44100 48000 88200 96000 176400 192000 352800 384000 705600 768000; do
    set +e; "$tool" plan "$name" --rate "$rate" --json > "$work/plan.json"; status=$?; set -e
    mv "$work/plan.json" "$work/plans/$name@$rate.$status.json"
  done
done
planned=$(check_plans "$work"/plans/*.json) || { echo "$planned"; exit 1; }
"$tool" plan q7-0b31 --rate 48000 --json > "$work/plan.json"
python3 - "$work/plan.json" <<'PY'
import json, sys
plan = json.load(open(sys.argv[1]))
assert plan["render"]["form"] == "paced" and plan["capture"]["form"] == "paced", plan
assert plan["render"]["transfers"] == [[48] * 8] * 8, plan["render"]["transfers"]
assert plan["capture"]["nominalPerTransfer"] == 768 and plan["capture"]["channels"] == 4, plan["capture"]
PY
"$tool" plan uac2-async-dac --rate 44100 --ms 8 --json > "$work/plan.json"
python3 - "$work/plan.json" <<'PY'
import json, sys
plan = json.load(open(sys.argv[1]))
assert "capture" not in plan, plan
render = plan["render"]
assert render["form"] == "explicit" and render["feedbackNominal"] == "0x00058333", render
assert all(len(transfer) == 64 for transfer in render["transfers"]), render["transfers"]
assert sorted(set(length for transfer in render["transfers"] for length in transfer)) == [40, 48], render
PY
"$tool" plan uac1-async-dac --rate 48000 | grep -q "paced by feedback" || { echo "FAIL: plan text report"; exit 1; }
"$tool" export uac1-async-dac > "$work/dac.usb"
"$tool" plan "$work/dac.usb" --rate 48000 --json > "$work/dac.plan.json"
"$tool" plan uac1-async-dac --rate 48000 --json | cmp -s - "$work/dac.plan.json" || {
  echo "FAIL: the exported file plans differently"; exit 1; }

expect_exit() {  # status, then the command
  local want=$1; shift
  set +e; "$@" > "$work/out" 2> "$work/err"; local got=$?; set -e
  [ "$got" -eq "$want" ] || { echo "FAIL: '$*' exited $got, expected $want"; cat "$work/err"; exit 1; }
}
expect_exit 2 "$tool" inspect no-such-device
grep -q "no ready-made device and no file named 'no-such-device'" "$work/err"
expect_exit 2 "$tool" inspect "$work"
printf 'device 12 01 00 02\nconfig zz\n' > "$work/bad.usb"
expect_exit 2 "$tool" inspect "$work/bad.usb"
grep -q "line" "$work/err"
expect_exit 2 "$tool" export no-such-device
expect_exit 2 "$tool" frobnicate
expect_exit 1 "$tool" plan q7-0b31 --rate 48000 --tag 3
grep -q "refused, STATUS_NO_MATCH" "$work/out"
expect_exit 2 "$tool" plan q7-0b31
expect_exit 2 "$tool" plan q7-0b31 --rate fast
expect_exit 2 "$tool" plan q7-0b31 --rate 48000 --tag 2
expect_exit 2 "$tool" plan q7-0b31 --rate 48000 --ms 0
expect_exit 2 "$tool" plan no-such-device --rate 48000

# Options stand anywhere after the command.
"$tool" plan q7-0b31 --rate 48000 --json > "$work/plan.json"
"$tool" plan --json --rate 48000 q7-0b31 | cmp -s - "$work/plan.json" || { echo "FAIL: plan options first"; exit 1; }
"$tool" inspect q7-0b31 --json | cmp -s - "$work/q7-0b31.json" || { echo "FAIL: inspect option last"; exit 1; }
expect_exit 2 "$tool" inspect --json q7-0b31 --json
expect_exit 2 "$tool" plan q7-0b31 --rate 48000 --rate 44100
expect_exit 2 "$tool" list --json

# A device refused at start: the report names the step and the request.
grep -v '^string' "$work/uac2-async-dac.usb" > "$work/nostrings.usb"
expect_exit 1 "$tool" inspect "$work/nostrings.usb"
grep -q "audio function not examined" "$work/out" || { echo "FAIL: no-strings report"; cat "$work/out"; exit 1; }
grep -q "Refused while reading the descriptors: string descriptor 0 (language 0x0000) was not answered" "$work/out" ||
  { echo "FAIL: the refusal names no request"; cat "$work/out"; exit 1; }
grep -q "warning: the file has no 'string' lines" "$work/err" || { echo "FAIL: no warning"; cat "$work/err"; exit 1; }
grep -q "warning: line .*names string 2 (iProduct), which no 'string' line gives" "$work/err" ||
  { echo "FAIL: no warning for iProduct"; cat "$work/err"; exit 1; }
expect_exit 1 "$tool" inspect --json "$work/nostrings.usb"
python3 - "$work/out" <<'PY'
import json, sys
model = json.load(open(sys.argv[1]))
assert model["refusal"]["step"] == "reading the descriptors", model
assert "string descriptor 0" in model["refusal"]["detail"], model
PY
expect_exit 1 "$tool" plan "$work/nostrings.usb" --rate 48000
grep -q "Refused while reading the descriptors" "$work/out" || { echo "FAIL: plan refusal"; exit 1; }
# The audio-control interface's subclass becomes 7: no audio-control interface.
sed '0,/09 04 00 00 00 01 01/s//09 04 00 00 00 01 07/' "$work/uac2-async-dac.usb" > "$work/nocontrol.usb"
expect_exit 1 "$tool" inspect "$work/nocontrol.usb"
grep -q "Refused while building the audio model: no audio-control interface" "$work/out" ||
  { echo "FAIL: model refusal"; cat "$work/out"; exit 1; }

echo "vq7usb: $count devices inspected, exported and inspected again; $planned"

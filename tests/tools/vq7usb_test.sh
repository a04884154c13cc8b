#!/usr/bin/env bash
# vq7usb end to end: every ready-made device inspected as JSON with the keys
# engineers rely on, accepted by the driver, and inspected again from its
# exported descriptor file with the same result; clear errors with exit
# status 2 for devices that cannot be had.
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
  "$tool" inspect --json "$work/$name.usb" > "$work/$name.file.json"
  cmp -s "$work/$name.json" "$work/$name.file.json" || {
    echo "FAIL: $name: the exported file inspects differently"; diff "$work/$name.json" "$work/$name.file.json"; exit 1; }
  count=$((count + 1))
done
[ "$count" -ge 14 ] || { echo "FAIL: only $count ready-made devices listed"; exit 1; }

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
echo "vq7usb: $count devices inspected, exported and inspected again"

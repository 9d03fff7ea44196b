#!/usr/bin/env bash
# End to end under Wine with a display: tavlo.exe opens its window, and the
# driver (another Windows process) presses Start in it; one generated IMEI is
# written into a phone played by the Linux simulator on COM5. The banner must
# show done and the counts one phone passed, and a second copy started
# meanwhile ends at once; the IMEI must be in the phone's
# factory data and in data/wimei.history; Stop and Exit end tavlo with 0.
#   tavlo_window.sh SIM TAVLO_EXE DRIVER_EXE WINE_RUN WORK_DIR PREFIX
set -euo pipefail
sim=$1 tavlo=$2 driver=$3 wine_run=$4 work=$5 prefix=$6
source "$(dirname "$0")/station.sh"

# A stand-in boot image: the simulated phone takes any bytes.
head -c 24576 /dev/urandom > images/boot_fact.bin
printf '[CHIP_1]\nCHIPNAME=demo7731\nFACTNAME=factorydata\n' > ini/chipset.ini
cat > ini/wimei.ini <<'SETTINGS'
[GENERAL]
ISWIMEI=Yes
CHECK_IMEI=Yes
CHIPSET=demo7731
MAGIC_NUMBER=0x66616374
[PDL]
PATH=images
[WIMEI]
IMEINUM=1
INPUTTYPE=2
IS14CHAR=Yes
INITCODE14=35209900000000
MASKCODE14=35209900******
SETTINGS

ln -sfn "$work/ports/Gadget Serial (COM$com)" "$prefix/dosdevices/com$com"
# The phone stays plugged in after its write, so the banner keeps showing
# done until the driver reads it and presses Stop.
"$sim" -d "$work/ports" -n 1 --com-base $com --count 1 --report-dir "$work/reports" &
sim_pid=$!
for _ in $(seq 100); do [ -L "$work/ports/Gadget Serial (COM$com)" ] && break; sleep 0.1; done

status=0
PHONE_PORTS_DIR="Z:${work//\//\\}\\ports" timeout 180 "$wine_run" "$driver" \
  "Z:${tavlo//\//\\}" > driver.out 2>&1 || status=$?
cat driver.out
[ $status -eq 0 ] || { echo "the driver ended with status $status"; exit 1; }
grep -qx 'banner: 完 成' driver.out
grep -qx 'banner colour: 0,220,0' driver.out
grep -qx 'counts: 通过 1 失败 0' driver.out
grep -qx 'second copy: 0' driver.out
grep -q '^title: IMEI 工具 Release_v [0-9]' driver.out

# The phone's report is written when the simulator ends it.
kill "$sim_pid" && wait "$sim_pid" || true
sim_pid=
report="$work/reports/COM$com-1.json"
python3 - "$report" data/wimei.history <<'CHECK'
import base64, json, sys
report = json.load(open(sys.argv[1]))
history = [l.rstrip("\n").split("\t") for l in open(sys.argv[2], encoding="utf-8") if l.strip()]
assert report["factory"]["written"], "no factory data was written"
data = base64.b64decode(report["factory"]["base64"])
slot = data[0x2000 + 4:0x2000 + 13]
digits = [slot[0] >> 4]
for k in range(1, 8):
    digits += [slot[k] & 0xF, slot[k] >> 4]
imei = "".join(str(d) for d in digits)
assert len(history) == 1 and history[0][-1] == imei, (history, imei)
assert imei.startswith("35209900"), imei
print(f"IMEI {imei} is in the phone's factory data and the history")
CHECK

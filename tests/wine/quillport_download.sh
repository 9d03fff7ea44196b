#!/usr/bin/env bash
# End to end under Wine: quillport.exe --headless downloads a package into a
# phone played by the Linux simulator on a pseudo-terminal, which Wine maps
# as COM5. Every image must arrive byte for byte (the simulator's report
# holds the SHA-256 of what it received). With "pulled" the first phone is
# pulled in the middle of an image: its row fails, and the next phone passes.
#   quillport_download.sh SIM QUILLPORT_EXE PACK_EXE WINE_RUN WORK_DIR PREFIX [pulled]
set -euo pipefail
sim=$1 quillport=$2 pack=$3 wine_run=$4 work=$5 prefix=$6 mode=${7:-}
source "$(dirname "$0")/station.sh"

cat > package.ini <<'MANIFEST'
[PDL1]
file = pattern:48k:1
addr = 0x00100000
by_addr = yes
exec = yes
chunk = 4096
[PDL2]
file = pattern:384k:2
addr = 0x80000000
by_addr = yes
exec = yes
chunk = 4096
[modem]
file = pattern:2M:3
[system]
file = pattern:3M:4
MANIFEST
# The Windows build of quillport-pack makes the package and the file list.
"$wine_run" "$pack" create package.ini -o wine_norq_total.bin
{
  printf '[CONFIGURE]\nISFORMAT=Yes\nOPENDEBUG=No\n'
  "$wine_run" "$pack" filelist wine_norq_total.bin
  printf '[FILE_PATH]\nIMG_PATH=wine_norq_total.bin\n'
} > ini/filelist.ini
printf '[PORT_1]\nISUSED=Yes\nPORTNB=None\n' > ini/download.ini
"$wine_run" "$pack" list wine_norq_total.bin > package.list

# COM5 is the simulator's link; while no phone is plugged in it leads nowhere.
ln -sfn "$work/ports/Gadget Serial (COM$com)" "$prefix/dosdevices/com$com"
phones=1 sim_args=() expected="1 phone(s) passed, 0 failed" expected_status=0
if [ "$mode" = pulled ]; then
  phones=2 sim_args=(--fault "image=system,unplug-after=1000000,phone=1")
  expected="1 phone(s) passed, 1 failed" expected_status=1
fi
"$sim" -d "$work/ports" -n 1 --com-base $com --count $phones --report-dir "$work/reports" \
  "${sim_args[@]}" &
sim_pid=$!
for _ in $(seq 100); do [ -L "$work/ports/Gadget Serial (COM$com)" ] && break; sleep 0.1; done

status=0
PHONE_PORTS_DIR="Z:${work//\//\\}\\ports" timeout 120 "$wine_run" "$quillport" \
  --headless --rows 1 --count $phones --timeout 10000 > quillport.out 2>&1 || status=$?
grep -v '^0x\|^    [0-9a-f]' quillport.out | tail -n 3
[ $status -eq $expected_status ] || { echo "quillport.exe ended with status $status"; exit 1; }
grep -q "$expected" quillport.out

# The simulator writes its report once the phone has left: wait for it, bounded.
report="$work/reports/COM$com-$phones.json"
for _ in $(seq 300); do [ -s "$report" ] && break; sleep 0.1; done
python3 - "$report" wine_norq_total.bin package.list <<'CHECK'
import hashlib, json, sys
report = json.load(open(sys.argv[1]))
package = open(sys.argv[2], "rb").read()
rows = [l.split() for l in open(sys.argv[3]) if l[:1].isdigit()]
assert report["passed"], report["outcome"]
images = report["images"]
assert len(images) == len(rows), (len(images), len(rows))
for row, image in zip(rows, images):
    offset, size = int(row[2]), int(row[3])
    sent = hashlib.sha256(package[offset:offset + size]).hexdigest()
    assert image["received"] == size and image["sha256"] == sent, (row[1], image["received"], size)
print(f"{len(images)} images arrived byte for byte")
CHECK
if [ "$mode" = pulled ]; then
  python3 - "$work/reports/COM$com-1.json" <<'CHECK'
import json, sys
report = json.load(open(sys.argv[1]))
assert not report["passed"] and report["outcome"] == "unplugged", report["outcome"]
print("the pulled phone failed its row")
CHECK
fi

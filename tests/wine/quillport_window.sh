#!/usr/bin/env bash
# End to end under Wine with a display: quillport.exe opens its window with
# rows 1 and 2 over two phones of the Linux simulator, mapped as COM5 and
# COM6; window_driver.exe presses Start all through the button's message and
# waits for both rows to end. One phone passes and stays (silent after its
# power-off), the other answers the system image with failure replies. The
# row of the first must be drawn green and the other red: read from the
# pixels of a screenshot, whichever row took which phone.
#   quillport_window.sh SIM QUILLPORT_EXE PACK_EXE DRIVER_EXE WINE_RUN WORK_DIR PREFIX
set -euo pipefail
sim=$1 quillport=$2 pack=$3 driver=$4 wine_run=$5 work=$6 prefix=$7
source "$(dirname "$0")/station.sh"
[ -s "${NORQ_WINE_DISPLAY_FILE:-}" ] || { echo "no X display (wine_gui.display_start)"; exit 1; }
display=":$(cat "$NORQ_WINE_DISPLAY_FILE")"
second_sim= window_pid=
cleanup_window() {
  local pid
  for pid in $window_pid $second_sim $sim_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "$prefix/dosdevices/com5" "$prefix/dosdevices/com6"
}
trap cleanup_window EXIT

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
file = pattern:256k:3
[system]
file = pattern:256k:4
MANIFEST
"$wine_run" "$pack" create package.ini -o wine_norq_total.bin
{
  printf '[CONFIGURE]\nISFORMAT=Yes\nOPENDEBUG=No\n'
  "$wine_run" "$pack" filelist wine_norq_total.bin
  printf '[FILE_PATH]\nIMG_PATH=wine_norq_total.bin\n'
} > ini/filelist.ini
printf '[PORT_1]\nISUSED=Yes\nPORTNB=None\n[PORT_2]\nISUSED=Yes\nPORTNB=None\n' > ini/download.ini

ln -sfn "$work/ports/Gadget Serial (COM5)" "$prefix/dosdevices/com5"
ln -sfn "$work/ports/Gadget Serial (COM6)" "$prefix/dosdevices/com6"
"$sim" -q -d "$work/ports" -n 1 --com-base 5 --count 1 --power-off-ms 600000 &
sim_pid=$!
"$sim" -q -d "$work/ports" -n 1 --com-base 6 --count 1 --fault "image=system,fail" &
second_sim=$!
for _ in $(seq 100); do
  [ -L "$work/ports/Gadget Serial (COM5)" ] && [ -L "$work/ports/Gadget Serial (COM6)" ] && break
  sleep 0.1
done

LANG=zh_CN.UTF-8 PHONE_PORTS_DIR="Z:${work//\//\\}\\ports" timeout 150 "$wine_run" "$quillport" \
  --rows 1,2 --timeout 10000 > quillport.out 2>&1 &
window_pid=$!
# Start all (1092); both rows' state boxes (1080, 1081) end in done or error;
# then where to look: the status boxes' right ends (1032, 1033).
# The driver's texts are percent-encoded UTF-8.
ended=$(python3 -c 'import urllib.parse; print(urllib.parse.quote("完成|错误"))')
NORQ_DRIVER_TIMEOUT_MS=60000 "$wine_run" "$driver" NorqQuillportDlg click:1092 \
  "wait:1080=$ended" "wait:1081=$ended" text:1080 text:1081 text:1032 text:1033 \
  right:1032 right:1033 > driver.out
cat driver.out
DISPLAY=$display import -window root window.png

pixel() { DISPLAY= convert window.png -format "%[pixel:p{$1,$2}]" info:; }
colours=()
while IFS=$'\t' read -r id x y; do
  colours+=("$(pixel "$x" "$y")")
done < <(grep -P '^103[23]\t\d+\t\d+$' driver.out)
echo "status boxes drawn: ${colours[*]}"
printf '%s\n' "${colours[@]}" | sort | tr '\n' ' ' | grep -q '^srgb(0,220,0) srgb(220,0,0) $' ||
  { echo "expected one green (0,220,0) and one red (220,0,0) row"; exit 1; }
grep -qP '^108[01]\t完成  1 / 0$' driver.out && grep -qP '^108[01]\t错误  0 / 1$' driver.out ||
  { echo "expected the rows' counts 1 / 0 and 0 / 1"; exit 1; }

# Closing the window stops both rows and ends the program.
NORQ_DRIVER_TIMEOUT_MS=60000 "$wine_run" "$driver" NorqQuillportDlg close
status=0
wait $window_pid || status=$?
window_pid=
[ $status -eq 0 ] || { echo "quillport.exe ended with status $status"; cat quillport.out; exit 1; }
echo "one row green, one red; the window closed cleanly"

# Sourced by the end-to-end scripts once they have read their arguments
# ($work, $prefix): a fresh station folder with its ports and reports
# folders, entered; the simulator ($sim_pid, once started) and the mapped
# COM port go again whatever happens.
com=5
rm -rf "$work"
mkdir -p "$work/station/ini" "$work/station/images" "$work/ports" "$work/reports"
cd "$work/station"

sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -f "$prefix/dosdevices/com$com"
}
trap cleanup EXIT

#!/bin/sh
# Stops every private ledger server below a folder: a test that crashed
# leaves no server behind. Usage: stop_servers.sh PG_BIN_DIR SERVERS_DIR
bin=$1
root=$2
[ -d "$root" ] || exit 0
for data in "$root"/pg.*/data; do
  if [ ! -f "$data/postmaster.pid" ]; then
    :
  elif [ "$(id -u)" -eq 0 ]; then
    timeout 60 runuser -u postgres -- "$bin/pg_ctl" stop -D "$data" -m immediate -w -t 30 >/dev/null 2>&1
  else
    timeout 60 "$bin/pg_ctl" stop -D "$data" -m immediate -w -t 30 >/dev/null 2>&1
  fi
  rm -rf "$(dirname "$data")"
done
exit 0

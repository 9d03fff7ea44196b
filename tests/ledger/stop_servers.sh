#!/bin/sh
# Stops every private ledger server the registry names (one file per server
# in the build tree, holding the server's folder in the temporary folder):
# a test that crashed leaves no server behind.
# Usage: stop_servers.sh PG_BIN_DIR REGISTRY_DIR
bin=$1
registry=$2
[ -d "$registry" ] || exit 0
# The server's user may not enter the folder ctest runs in.
cd /
for entry in "$registry"/norq-ledger-pg.*; do
  [ -f "$entry" ] || continue
  folder=$(cat "$entry")
  case "$folder" in
    */norq-ledger-pg.*) ;;
    *) rm -f "$entry"; continue ;;  # not a server folder: never removed
  esac
  data=$folder/data
  if [ -f "$data/postmaster.pid" ]; then
    # A test that died while the server was frozen: continue it first, or
    # it could not stop.
    postmaster=$(head -n 1 "$data/postmaster.pid")
    kill -CONT "$postmaster" 2>/dev/null
    for stat in /proc/[0-9]*/stat; do
      read -r pid _ _ parent _ 2>/dev/null < "$stat" || continue
      [ "$parent" = "$postmaster" ] && kill -CONT "$pid" 2>/dev/null
    done
  fi
  if [ ! -f "$data/postmaster.pid" ]; then
    :
  elif [ "$(id -u)" -eq 0 ]; then
    timeout 60 runuser -u postgres -- "$bin/pg_ctl" stop -D "$data" -m immediate -w -t 30 >/dev/null 2>&1
  else
    timeout 60 "$bin/pg_ctl" stop -D "$data" -m immediate -w -t 30 >/dev/null 2>&1
  fi
  rm -rf "$folder"
  rm -f "$entry"
done
exit 0

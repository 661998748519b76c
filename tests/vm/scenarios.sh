#!/bin/sh
# shellcheck shell=dash
# The VM side of the quarn VM test: runs every scenario under /scenarios, in name order, with
# the installed /usr/sbin/quarn on the real /sideload, /var, /dev/mtd0 and /dev/mtd1, and saves
# what came of each (standard output and error, exit status, status file, /var's listing and
# both devices' whole contents) to the results disk. The host judges them; this script only
# sets the stage. A scenario folder holds:
#   args          quarn's arguments, on one line
#   sideload/     the staged files (none when absent)
#   fill0, fill1  a line of text repeated over all of /dev/mtd0 or /dev/mtd1 before the run
#   status        the status file's content before the run
#   var-readonly  (flag) /var is read-only during the run
#   remove-mtd1   (flag) /dev/mtd1 does not exist during the run
#   reader        (flag) a second process reads the status file in a tight loop during the run
set -eu
SIZE=16777216

uptime_s() { cut -d' ' -f1 /proc/uptime; }

echo "job started at $(uptime_s) s of uptime"
for dir in /scenarios/*/; do
  name=$(basename "$dir")
  out=/tmp/out/$name
  mkdir -p "$out"
  start=$(uptime_s)

  for n in 0 1; do
    # Through the MTD character device, as anything else on the device would write it.
    yes "$(cat "$dir/fill$n")" | head -c $SIZE >/dev/mtd$n
  done
  rm -rf /sideload
  if [ -d "$dir/sideload" ]; then cp -a "$dir/sideload" /sideload; else mkdir /sideload; fi
  rm -f /var/quarn.status /var/quarn.status.new
  cp "$dir/status" /var/quarn.status
  [ ! -e "$dir/var-readonly" ] || mount -o remount,ro /var
  [ ! -e "$dir/remove-mtd1" ] || mv /dev/mtd1 /dev/.mtd1.away

  reader=""
  if [ -e "$dir/reader" ]; then
    status-reader /var/quarn.status "$out/reader" &
    reader=$!
    while [ ! -e "$out/reader" ]; do usleep 10000; done
    # Let it read the old status a while, so the log shows it was there before quarn.
    usleep 200000
  fi

  run_start=$(uptime_s)
  rc=0
  # shellcheck disable=SC2046 # the arguments are separate words
  (cd / && exec /usr/sbin/quarn $(cat "$dir/args")) >"$out/stdout" 2>"$out/stderr" || rc=$?
  run_end=$(uptime_s)
  echo "$rc" >"$out/rc"

  if [ -n "$reader" ]; then
    kill -TERM "$reader"
    wait "$reader" || echo "status-reader ended with $?" >"$out/reader-error"
  fi
  [ ! -e "$dir/remove-mtd1" ] || mv /dev/.mtd1.away /dev/mtd1
  [ ! -e "$dir/var-readonly" ] || mount -o remount,rw /var
  ls -a /var >"$out/var-listing"
  [ ! -e /var/quarn.status ] || cp /var/quarn.status "$out/status"
  cat /dev/mtd0 >"$out/mtd0"
  cat /dev/mtd1 >"$out/mtd1"
  echo "$start $run_start $run_end $(uptime_s)" >"$out/times"

  vm-save "$out"
  rm -rf "$out"
  echo "$name: quarn exit status $rc, run $(echo "$run_start $run_end" | awk '{ printf "%.2f", $2 - $1 }') s"
done
echo "job ended at $(uptime_s) s of uptime"

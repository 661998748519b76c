#!/bin/sh
# shellcheck shell=dash
# The VM side of the quarn VM test: runs every scenario under /scenarios, in name order, with
# the installed /usr/sbin/quarn on the real /sideload, /var, /dev/mtd0 and /dev/mtd1, and saves
# what came of each (standard output and error, exit status, status file, /var's listing and
# both devices' whole contents) to the results disk. The host judges them; this script only
# sets the stage. A scenario folder holds:
#   args          quarn's arguments, on one line
#   package.swu   a signed SWUpdate package, installed by swupdate in place of quarn's own run
#   sideload/     the staged files (none when absent)
#   dev0, dev1    the kernel's MTD device (mtd0, mtd2, ...) that is /dev/mtd0 or /dev/mtd1
#                 during the scenario
#   fill0, fill1  a line of text repeated over all of /dev/mtd0 or /dev/mtd1 before the run
#   erased0, erased1  (flag) /dev/mtd0 or /dev/mtd1 is erased all through instead
#   status        the status file's content before the run
#   var-readonly  (flag) /var is read-only during the run
#   remove-mtd1   (flag) /dev/mtd1 does not exist during the run
#   reader        (flag) a second process reads the status file in a tight loop during the run
#   second-run    (flag) a second quarn with the same arguments starts while the first erases;
#                 its output, exit status and the state of things when it ended are saved too
#   nandsim       nandsim's parameters for a NAND chip of the scenario's own: the module is
#                 loaded again with them before the devices are put in place, and with its boot
#                 parameters (/etc/modules) after the scenario
#   setup         shell commands run once /dev/mtd0 and /dev/mtd1 are in place, before the fill
#                 (they may write files into $out, which is saved)
#   teardown      shell commands run after the devices' contents are saved
set -eu

uptime_s() { cut -d' ' -f1 /proc/uptime; }
# shellcheck disable=SC2046 # the arguments are separate words
run_quarn() { (cd / && exec /usr/sbin/quarn $(cat "$dir/args")); }
# As the device's update agent runs: one swupdate process per package, with the certificate
# it trusts. As it starts, swupdate attaches UBI to every MTD device it is not told to leave
# alone (-b), and UBI formats one that is erased all through: here none holds UBI.
run_update() {
  if [ -e "$dir/package.swu" ]; then
    raw=$(ls /sys/class/mtd | sed -n 's/^mtd\([0-9]*\)$/\1/p' | tr '\n' ' ')
    (cd / && exec swupdate -v -b "$raw" -i "$dir/package.swu" -k /etc/swupdate/quarn.cert.pem)
  else
    run_quarn
  fi
}
# The partitions' device nodes are there once insmod returns; the chip starts erased.
load_nandsim() {
  rmmod nandsim
  # shellcheck disable=SC2086 # the parameters are separate words
  insmod /lib/modules/nandsim.ko $1
}

echo "job started at $(uptime_s) s of uptime"
for dir in /scenarios/*/; do
  name=$(basename "$dir")
  out=/tmp/out/$name
  mkdir -p "$out"
  start=$(uptime_s)

  [ ! -e "$dir/nandsim" ] || load_nandsim "$(cat "$dir/nandsim")"
  for n in 0 1; do
    dev=$(cat "$dir/dev$n")
    if [ "$dev" != "mtd$n" ]; then
      mv "/dev/mtd$n" "/dev/.mtd$n.home"
      mv "/dev/$dev" "/dev/mtd$n"
    fi
  done
  # shellcheck disable=SC1091 # the scenario's own
  [ ! -e "$dir/setup" ] || . "$dir/setup"
  for n in 0 1; do
    dev=$(cat "$dir/dev$n")
    # Through the MTD character device, as anything else on the device would write it. NAND
    # pages must be erased before they are programmed; flash_erase first tries a whole-chip
    # erase, which a bad block fails, and then skips the bad block, so its complaint is noise.
    if [ "$(cat "/sys/class/mtd/$dev/type")" = nand ] || [ -e "$dir/erased$n" ]; then
      flash_erase -q "/dev/mtd$n" 0 0 2>/tmp/erase.log || { cat /tmp/erase.log; exit 1; }
    fi
    [ ! -e "$dir/erased$n" ] || continue
    # The fill line repeated, doubled up to the device's size rather than written line by line.
    size=$(cat "/sys/class/mtd/$dev/size")
    cp "$dir/fill$n" /tmp/fill
    while [ "$(stat -c %s /tmp/fill)" -lt "$size" ]; do
      cat /tmp/fill /tmp/fill >/tmp/fill2
      mv /tmp/fill2 /tmp/fill
    done
    dd if=/tmp/fill of="/dev/mtd$n" bs=131072 count=$((size / 131072)) 2>/dev/null
    rm /tmp/fill
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
  if [ -e "$dir/second-run" ]; then
    run_quarn >"$out/stdout" 2>"$out/stderr" &
    first=$!
    until grep -q '^erasing' /var/quarn.status 2>/dev/null; do :; done
    rc2=0
    run_quarn >"$out/stdout2" 2>"$out/stderr2" || rc2=$?
    if kill -0 "$first" 2>/dev/null; then echo running; else echo ended; fi >"$out/first-after-second"
    cp /var/quarn.status "$out/status-after-second"
    echo "$rc2" >"$out/rc2"
    wait "$first" || rc=$?
  else
    run_update >"$out/stdout" 2>"$out/stderr" || rc=$?
  fi
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
  # shellcheck disable=SC1091 # the scenario's own
  [ ! -e "$dir/teardown" ] || . "$dir/teardown"
  for n in 0 1; do
    dev=$(cat "$dir/dev$n")
    if [ "$dev" != "mtd$n" ]; then
      mv "/dev/mtd$n" "/dev/$dev"
      mv "/dev/.mtd$n.home" "/dev/mtd$n"
    fi
  done
  [ ! -e "$dir/nandsim" ] || load_nandsim "$(sed -n 's/^nandsim\.ko //p' /etc/modules)"
  echo "$start $run_start $run_end $(uptime_s)" >"$out/times"

  vm-save "$out"
  rm -rf "$out"
  echo "$name: quarn exit status $rc, run $(echo "$run_start $run_end" | awk '{ printf "%.2f", $2 - $1 }') s"
done
echo "job ended at $(uptime_s) s of uptime"

#!/bin/sh
# shellcheck shell=dash
# The VM side of scripts/demo: stages the sample images under /sideload, runs `quarn slot0`
# while a second program prints every new line it finds in /var/quarn.status, and then shows
# the outcome and what the two MTD devices hold. With a package (/package.swu), swupdate
# installs it instead, as the device's update agent: it checks the package against the
# certificate in /etc/swupdate, delivers the images to /sideload and runs quarn.
set -eu
MIB=1048576

echo "== /proc/mtd: two flash devices of the Linux kernel's MTD subsystem"
cat /proc/mtd
echo
mkdir -p /sideload
staged() {
  echo "== staged under /sideload"
  find /sideload -type f | sort | while read -r file; do
    printf '   %-28s %9d bytes\n' "$file" "$(stat -c %s "$file")"
  done
  echo
}
[ -e /package.swu ] || { cp -a /samples/. /sideload/; staged; }
rm -f /var/quarn.status

# The watcher uses only shell builtins, so it reads the file as often as the CPU allows.
watch_status() {
  last=""
  while [ ! -e /tmp/stop-watching ]; do
    line=""
    { IFS= read -r line </var/quarn.status; } 2>/dev/null || true
    if [ -n "$line" ] && [ "$line" != "$last" ]; then
      echo "                                      [status file] $line"
      last=$line
    fi
  done
}
watch_status &
watcher=$!

rc=0
if [ -e /package.swu ]; then
  echo "== swupdate -b '0 1' -i /package.swu -k /etc/swupdate/cert.pem (its log, quarn's lines among it)"
  # Without its start-up listing of handlers and Lua modules; its status comes through a file.
  { swupdate -v -b "0 1" -i /package.swu -k /etc/swupdate/cert.pem 2>&1
    echo $? >/tmp/swupdate.rc; } |
    grep -v -e '\[print_registered' -e '\[lua_report_exception\]' || true
  rc=$(cat /tmp/swupdate.rc)
else
  echo "== quarn slot0 (its own output, with the status file's lines as a second program sees them)"
  /usr/sbin/quarn slot0 || rc=$?
fi
touch /tmp/stop-watching
wait "$watcher"
echo
[ ! -e /package.swu ] || staged
echo "== outcome"
echo "   exit status: $rc"
echo "   /var/quarn.status:   $(cat /var/quarn.status)"

# Reads COUNT bytes of DEVICE from OFFSET and says whether they equal FILE (or 0xFF bytes).
compare() { # device offset count file|ff label
  [ "$3" -gt 0 ] || return 0
  if [ "$4" = ff ]; then
    want=$(head -c "$3" /dev/zero | tr '\000' '\377' | sha256sum | cut -d' ' -f1)
  else
    want=$(sha256sum <"$4" | cut -d' ' -f1)
  fi
  got=$(dd if="$1" bs=4096 iflag=skip_bytes,count_bytes skip="$2" count="$3" 2>/dev/null |
    sha256sum | cut -d' ' -f1)
  if [ "$got" = "$want" ]; then verdict=matches; else verdict="DIFFERS"; fi
  printf '   %s at %8d, %8d bytes: %-20s %s\n' "$1" "$2" "$3" "$5" "$verdict"
  [ "$got" = "$want" ]
}
check_slot() { # device boot main
  boot_size=$(stat -c %s "$2") main_size=$(stat -c %s "$3")
  compare "$1" 0 "$boot_size" "$2" "$(basename "$2")" &&
    compare "$1" "$boot_size" $((MIB - boot_size)) ff "erased (0xFF)" &&
    compare "$1" "$MIB" "$main_size" "$3" "$(basename "$3")" &&
    compare "$1" $((MIB + main_size)) $((16 * MIB - MIB - main_size)) ff "erased (0xFF)"
}
echo
echo "== what the devices hold now"
ok=0
check_slot /dev/mtd0 /sideload/boot_kv7m_1.bin /sideload/lnximg.bin || ok=1
# A package without a slot 1 pair leaves /dev/mtd1 as it was.
if [ -e /sideload/slot1/fsbl.bin ]; then
  check_slot /dev/mtd1 /sideload/slot1/fsbl.bin /sideload/slot1/user.bin || ok=1
fi
[ "$rc" -eq 0 ] && [ "$ok" -eq 0 ]

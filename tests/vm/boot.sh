#!/usr/bin/env bash
# Boots the quarn VM once: Debian's kernel, an initramfs from initramfs.sh, software emulation
# (no KVM), a time limit. Prints the job's console output (between init's marker lines) and
# exits with the job's exit status.
#
# usage: boot.sh [-t SECONDS] [-m MEMORY_MB] [-l LOG] [-q QEMU_ARGS] [-d DISK_MB -r RESULTS_DIR]
#                KERNEL INITRD
#   -t  time limit for the whole VM, default 300
#   -m  the VM's memory, default 512 MiB. The initramfs stays in memory until it is unpacked,
#       and the root file system it becomes may only grow to half of the memory left beside it.
#   -q  extra QEMU arguments, split at blanks (for example '-icount shift=0,sleep=off')
#   -l  keep the whole console log in LOG
#   -d  attach an empty raw disk of DISK_MB MiB as /dev/vda, on which the job stores result
#       folders with vm-save (see vm-save beside this file); after the VM ends they are unpacked
#       into RESULTS_DIR, one folder per saved folder.
# Exit status: the job's; 124 when the time limit ran out; 125 when the VM ended without
# finishing its job (a kernel panic, or a failure in init, which the log shows).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
timeout_s=300 memory_mb=512 log="" disk_mb="" results="" qemu_args=()
usage() { sed -n '6,16s/^# \{0,1\}//p' "$0" >&2; exit 2; }
while getopts "t:m:l:q:d:r:" opt; do
  case $opt in
    t) timeout_s=$OPTARG ;;
    m) memory_mb=$OPTARG ;;
    l) log=$OPTARG ;;
    q) read -r -a qemu_args <<<"$OPTARG" ;;
    d) disk_mb=$OPTARG ;;
    r) results=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 2 ] || usage
[ -z "$disk_mb" ] || [ -n "$results" ] || usage
kernel=$1 initrd=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "$log" ] || log=$work/console.log

drive=()
if [ -n "$disk_mb" ]; then
  truncate -s "${disk_mb}M" "$work/results.img"
  drive=(-drive "file=$work/results.img,format=raw,if=virtio,cache=unsafe")
fi

rc=0
timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 \
  -accel tcg -cpu max -m "$memory_mb" -nographic -no-reboot -nodefaults -serial stdio \
  -kernel "$kernel" -initrd "$initrd" -append "console=ttyS0 quiet panic=-1" \
  "${drive[@]}" "${qemu_args[@]}" </dev/null >"$log" 2>&1 || rc=$?
if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
  echo "boot.sh: the VM did not finish within ${timeout_s} s; console log: $log" >&2
  tail -n 20 "$log" >&2
  exit 124
fi

# The serial console ends its lines with CR LF.
tr -d '\r' <"$log" >"$work/console.txt"
end=$(grep -a -m1 -o '@@quarn-vm-job-end [0-9]*@@' "$work/console.txt" || true)
if [ -z "$end" ]; then
  echo "boot.sh: the VM ended without finishing its job (qemu exit status $rc); console log: $log" >&2
  tail -n 40 "$work/console.txt" >&2
  exit 125
fi
# The firmware's screen codes may precede the first marker on its line.
awk '/^@@quarn-vm-job-end [0-9]*@@$/ { exit } on { print } /@@quarn-vm-job-begin@@$/ { on = 1 }' \
  "$work/console.txt"

if [ -n "$disk_mb" ]; then
  "$here/vm-save" --unpack "$work/results.img" "$results"
fi
status=${end#@@quarn-vm-job-end }
exit "${status%@@}"

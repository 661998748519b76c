#!/usr/bin/env bash
# Packs a gzip-compressed cpio initramfs for the quarn VM: busybox, the kernel modules that
# make /dev/mtd0 and /dev/mtd1 (and the virtio disk that carries results out), the init
# script beside this file, and any extra folders.
#
# usage: initramfs.sh -m MODULES_DIR [-l 'MODULE [PARAMS]']... [-a DIR]... [-b BINARY]... [-j JOB]
#                     OUTPUT
#   -m  a kernel's /lib/modules/<version> folder with its modules.dep (see kernel.sh)
#   -l  a module to load at boot, with its parameters, in load order; its dependencies are
#       found in modules.dep and loaded first. Without -l: the MTD stack and the virtio disk.
#   -a  a folder whose contents are copied into the root (for example an install DESTDIR)
#   -b  a program of this machine, copied to the same path in the root with the shared
#       libraries it needs (for example /usr/sbin/flash_erase)
#   -j  the job script that init runs once the devices exist (installed as /job)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
modules_dir="" job="" loads=() adds=() binaries=()
usage() { sed -n '6,14s/^# \{0,1\}//p' "$0" >&2; exit 2; }
while getopts "m:l:a:b:j:" opt; do
  case $opt in
    m) modules_dir=$OPTARG ;;
    l) loads+=("$OPTARG") ;;
    a) adds+=("$OPTARG") ;;
    b) binaries+=("$OPTARG") ;;
    j) job=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] && [ -n "$modules_dir" ] || usage
output=$1
[ -f "$modules_dir/modules.dep" ] || { echo "initramfs.sh: no modules.dep in $modules_dir" >&2; exit 1; }
if [ ${#loads[@]} -eq 0 ]; then
  # Two 16 MiB RAM disks become two MTD devices with 128 KiB erase blocks. virtio_pci is the
  # transport for the results disk; modules.dep does not name it as virtio_blk's dependency.
  loads=(
    "mtd"
    "brd rd_nr=2 rd_size=16384"
    "block2mtd block2mtd=/dev/ram0,128Ki block2mtd=/dev/ram1,128Ki"
    "virtio_pci"
    "virtio_blk"
  )
fi

busybox=/bin/busybox
[ -x "$busybox" ] || { echo "initramfs.sh: $busybox is missing (package busybox-static)" >&2; exit 1; }
# The VM has no C library, so a dynamically linked busybox would leave init unable to start.
if readelf -l "$busybox" | grep -q INTERP; then
  echo "initramfs.sh: $busybox is dynamically linked; install busybox-static" >&2
  exit 1
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,tmp,var,run,lib/modules,etc}
cp "$busybox" "$root/bin/busybox"

# Module paths from modules.dep, each after its own dependencies.
declare -A dep_line=() loaded=()
while IFS= read -r line; do
  name=${line%%:*}
  name=${name##*/}
  name=${name%.ko*}
  dep_line[${name//-/_}]=$line
done <"$modules_dir/modules.dep"
load_list=()
add_module() { # name params
  local name=${1//-/_} params=$2 line path dep
  [ -n "${loaded[$name]:-}" ] && return 0
  line=${dep_line[$name]:-}
  [ -n "$line" ] || { echo "initramfs.sh: no module $name in modules.dep" >&2; exit 1; }
  path=${line%%:*}
  for dep in ${line#*:}; do
    dep=${dep##*/}
    add_module "${dep%.ko*}" ""
  done
  loaded[$name]=1
  case $path in
    *.ko) ;;
    *) echo "initramfs.sh: $path is compressed; busybox insmod takes plain .ko files" >&2; exit 1 ;;
  esac
  cp "$modules_dir/$path" "$root/lib/modules/"
  load_list+=("$(basename "$path")${params:+ $params}")
}
for entry in "${loads[@]}"; do
  read -r name params <<<"$entry"
  add_module "$name" "${params:-}"
done
printf '%s\n' "${load_list[@]}" >"$root/etc/modules"

cp "$here/init" "$root/init"
cp "$here/vm-save" "$root/bin/vm-save"
chmod 0755 "$root/init" "$root/bin/vm-save"
if [ -n "$job" ]; then
  cp "$job" "$root/job"
  chmod 0755 "$root/job"
fi
for dir in "${adds[@]}"; do
  cp -a "$dir/." "$root/"
done
for binary in "${binaries[@]}"; do
  mkdir -p "$root$(dirname "$binary")"
  cp "$binary" "$root$binary"
  # The loader and every library ldd resolves, at the paths the binary looks for them.
  ldd "$binary" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
    while read -r lib; do
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    done
done

mkdir -p "$(dirname "$output")"
(cd "$root" && find . -print0 | LC_ALL=C sort -z | cpio --null -o -H newc --quiet) | gzip -1 >"$output.tmp"
mv "$output.tmp" "$output"

#!/usr/bin/env bash
# Fetches Debian's current amd64 kernel package and unpacks it into a cache folder, without
# installing it, so that a VM can boot the same kernel and MTD drivers a Debian device runs.
# Prints two shell assignments for `eval`:
#   QUARN_VM_KERNEL   the vmlinuz file
#   QUARN_VM_MODULES  its /lib/modules/<version> folder
# The cache is ${QUARN_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quarn-vm}; an unpacked kernel is
# reused, so only the first run needs the package archive.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

cache=${QUARN_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quarn-vm}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# The metapackage names the real, versioned kernel package.
resolve_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

# The package lists are updated at most once: when they know no kernel package, or name one the
# mirror no longer has. An update that fails in part is no failure by itself
# (scripts/update-package-lists); the download that follows decides.
updated=0
update_lists() {
  echo "kernel.sh: $1; updating the package lists" >&2
  "$here/../../scripts/update-package-lists" >&2
  updated=1
  pkg=$(resolve_package || true)
}
fetch() {
  echo "kernel.sh: fetching $pkg into $cache" >&2
  (cd "$work" && apt-get -q download "$pkg" 2>&1) | { grep -v 'unsandboxed as root' >&2 || true; }
}

# Several builds may share one cache and run at once: the first resolves, updates and unpacks,
# the others wait for it (two updates of the package lists at once would fight over apt's lock).
exec 9>"$cache/.lock"
flock 9
pkg=$(resolve_package || true)
if [ -z "$pkg" ]; then
  # Without package lists, an unpacked kernel from an earlier run is as good as any.
  newest=$(ls -d "$cache"/linux-image-[0-9]* 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$newest" ]; then
    pkg=$(basename "$newest")
  else
    update_lists "apt-cache knows no linux-image-amd64"
  fi
fi
[ -n "$pkg" ] || { echo "kernel.sh: cannot find Debian's kernel package" >&2; exit 1; }
if [ ! -f "$cache/$pkg/boot/vmlinuz-${pkg#linux-image-}" ]; then
  work=$(mktemp -d "$cache/.unpack.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  status=0
  fetch || status=$?
  if [ "$status" -ne 0 ]; then
    [ "$updated" -eq 0 ] || exit "$status"
    update_lists "cannot download $pkg"
    [ -n "$pkg" ] || { echo "kernel.sh: cannot find Debian's kernel package" >&2; exit 1; }
    fetch
  fi
  dpkg-deb -x "$work"/"$pkg"_*.deb "$work/root"
  # The package leaves modules.dep to the installer; the initramfs needs it for module order.
  depmod -b "$work/root" "${pkg#linux-image-}"
  rm -rf "${cache:?}/$pkg"
  mv "$work/root" "$cache/$pkg"
fi
flock -u 9

version=${pkg#linux-image-}
dest=$cache/$pkg
kernel=$dest/boot/vmlinuz-$version
modules=$dest/lib/modules/$version
[ -f "$kernel" ] && [ -f "$modules/modules.dep" ] || {
  echo "kernel.sh: $dest does not hold a kernel and its modules" >&2
  exit 1
}
printf 'QUARN_VM_KERNEL=%q\nQUARN_VM_MODULES=%q\n' "$kernel" "$modules"

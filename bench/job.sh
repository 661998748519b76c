#!/bin/sh
# Benchmark job inside the VM (busybox sh). /bench/config sets MODEL and ROUNDS. For each round
# and each image pair it times, on /dev/mtd0, quarn (glibc, dynamic), quarn-musl (static),
# flashcp and the floor (the device work alone, done with flash_erase and dd), and checks the
# device after every run. Before every
# run the device is brought to the same state: every block programmed with old firmware, so
# that no tool finds blocks already erased or already holding its data. Output lines:
#   result MODEL PAIR TOOL ROUND NANOSECONDS
#   rss MODEL TOOL KIB        a quarn build's peak resident memory (GNU time), five full runs
# Any failed run or check prints "bench-failed ..." and ends the job with status 1.
set -u
. /bench/config
work=/tmp/bench
mkdir -p "$work" /sideload
cd "$work" || exit 1
mib=1048576

fail() {
  echo "bench-failed $*"
  [ -f "$work/log" ] && tail -n 5 "$work/log"
  exit 1
}

# pair (file names), boot size, main size, seeds
make_pair() {
  qbench pattern "$1.boot" "$2" "$4" || fail "pattern $1.boot"
  qbench pattern "$1.main" "$3" "$5" || fail "pattern $1.main"
  # The 16 MiB image that leaves the device as quarn leaves it: main at 1 MiB, 0xFF elsewhere.
  qbench pattern "$1.img" $((16 * mib)) 0 || fail "pattern $1.img"
  dd if="$1.boot" of="$1.img" conv=notrunc 2>/dev/null || fail "dd $1.boot"
  dd if="$1.main" of="$1.img" bs=$mib seek=1 conv=notrunc 2>/dev/null || fail "dd $1.main"
}
make_pair full $mib $((15 * mib)) 11 12
make_pair sparse 200000 $((2 * mib)) 21 22
qbench pattern old.img $((16 * mib)) 99 || fail "pattern old.img"

# Every block erased and then programmed with old data, so that each tool must erase and
# program for real. block2mtd's erase skips pages that already read 0xFF, so there every
# page gets old data; a NAND erase and page program take the same time whatever the data,
# so there the first page of each block is enough (and saves the emulated delays).
prepare_device() {
  /usr/sbin/flash_erase -q /dev/mtd0 0 128 >/dev/null 2>&1 || fail "prepare: flash_erase"
  if [ "$MODEL" = nand ]; then
    page=0
    while [ $page -lt 8192 ]; do
      dd if=old.img of=/dev/mtd0 bs=2048 count=1 skip=$page seek=$page conv=notrunc 2>/dev/null ||
        fail "prepare: dd page $page"
      page=$((page + 64))
    done
  else
    dd if=old.img of=/dev/mtd0 bs=128k conv=notrunc 2>/dev/null || fail "prepare: dd"
  fi
}

# Sets cmd to the timed command of a tool for a pair, as words for qbench time.
command_of() { # tool pair
  case $1 in
    quarn | quarn-musl)
      ln -sf "$work/$2.boot" /sideload/boot_kv7m_1.bin
      ln -sf "$work/$2.main" /sideload/lnximg.bin
      cmd="/usr/sbin/$1 slot0"
      ;;
    flashcp)
      cmd="/usr/sbin/flashcp $work/$2.img /dev/mtd0"
      ;;
    floor)
      # quarn's device work: erase all 128 blocks, write the data blocks, read all back.
      if [ "$2" = full ]; then
        write="dd if=$work/full.img of=/dev/mtd0 bs=128k count=128 conv=notrunc"
      else
        write="dd if=$work/sparse.img of=/dev/mtd0 bs=128k count=2 conv=notrunc ::"
        write="$write dd if=$work/sparse.img of=/dev/mtd0 bs=128k skip=8 seek=8 count=16 conv=notrunc"
      fi
      cmd="/usr/sbin/flash_erase -q /dev/mtd0 0 128 :: $write :: dd if=/dev/mtd0 of=/dev/null bs=128k count=128"
      ;;
  esac
}

run() { # tool pair round
  prepare_device
  command_of "$1" "$2"
  rm -f /var/quarn.status "$work/log"
  # shellcheck disable=SC2086 # the command is a list of words
  out=$(qbench time "$work/log" $cmd) || fail "qbench $1 $2"
  ns=${out% *}
  status=${out#* }
  [ "$status" = 0 ] || fail "$1 $2 round $3: exit status $status"
  cmp -s /dev/mtd0 "$work/$2.img" || fail "$1 $2 round $3: /dev/mtd0 differs from $2.img"
  case $1 in
    quarn*)
      [ "$(cat /var/quarn.status)" = Succeeded ] || fail "$1 $2 round $3: status file"
      tail -n 1 "$work/log" | grep -qx "read 127" || fail "$1 $2 round $3: output"
      ;;
  esac
  echo "result $MODEL $2 $1 $3 $ns"
}

round=1
while [ "$round" -le "$ROUNDS" ]; do
  for pair in full sparse; do
    for tool in quarn quarn-musl flashcp floor; do
      run "$tool" "$pair" "$round"
    done
  done
  round=$((round + 1))
done

# Peak resident memory of full runs, outside the timed runs; the device model does not
# change it, so the zero-latency VM alone measures it.
[ "$MODEL" = zero ] || exit 0
for tool in quarn quarn-musl; do
  run_rss=1
  while [ $run_rss -le 5 ]; do
    prepare_device
    command_of "$tool" full
    # shellcheck disable=SC2086
    /usr/bin/time -f "%M" -o "$work/rss" $cmd >/dev/null 2>&1 || fail "time $tool full"
    cmp -s /dev/mtd0 "$work/full.img" || fail "time $tool full: /dev/mtd0 differs"
    echo "rss $MODEL $tool $(tail -n 1 "$work/rss")"
    run_rss=$((run_rss + 1))
  done
done

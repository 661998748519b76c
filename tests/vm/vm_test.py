#!/usr/bin/env python3
"""quarn on the Linux kernel's MTD devices, in a QEMU VM.

Builds quarn static (against glibc, or against the C library of --toolchain) and installs it
into a root folder, stages every scenario's files, boots
Debian's kernel once and runs all scenarios in that one boot (scenarios.sh). The kernel's MTD
devices (see MODULES): mtd0 and mtd1 are block2mtd (16 MiB, 128 KiB erase blocks); mtd2, mtd3
and mtd4 are 16 MiB partitions of a simulated SLC NAND chip (2 KiB pages, 128 KiB erase
blocks), mtd4 with a factory bad block, and mtd5 a 17 MiB one with two factory bad blocks and
one that fails its second erase; mtd7 is an 8 MiB mtdram device. A scenario may load nandsim
again with a chip of its own, put any of them in the place of /dev/mtd0 or /dev/mtd1, and
attach UBI to one or mount a file system from it first. Back on the host, each scenario's
standard output, standard error, exit status, status file, /var listing and the whole contents
of both devices are compared with what this script expects. The expected device images are
built here from the staged files alone: a 16 MiB area of 0xFF, the boot file at offset 0, the
main file at 1 MiB; on NAND laid over the good erase blocks in order.

Exit status: 0 when every scenario passed, 1 when any failed or the VM could not run them,
77 (skipped) when qemu-system-x86_64 is missing and CI is not set.
"""

import argparse
import errno
import hashlib
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
BLOCK = 0x20000
BLOCKS = 128
AREA = BLOCK * BLOCKS
MIB = 1 << 20
BOOT_BLOCKS = 8
MAIN_BLOCKS = 120
QUARN = "/usr/sbin/quarn"
SKIP = 77

# In load order, which is the order of the MTD device numbers. nandsim's chip is 128 MiB: three
# 16 MiB partitions, one of 17 MiB (mtd5, from chip block 384) and the rest (mtd6). Chip block
# 261 is block 5 of the third partition; 384 and 434 are blocks 0 and 50 of mtd5, and 474, block
# 90 of mtd5, fails every erase after its first (the fill's).
MODULES = [
    "mtd",
    "brd rd_nr=2 rd_size=16384",
    "block2mtd block2mtd=/dev/ram0,128Ki block2mtd=/dev/ram1,128Ki",
    "nandsim id_bytes=0x20,0xf1,0x00,0x1d parts=128,128,128,136 badblocks=261,384,434 "
    "weakblocks=474:1",
    "mtdram total_size=8192 erase_size=128",
    "ubi",
    "jffs2",
    "virtio_pci",
    "virtio_blk",
]
DEVICE_SIZES = {"mtd0": AREA, "mtd1": AREA, "mtd2": AREA, "mtd3": AREA, "mtd4": AREA,
                "mtd5": AREA + 8 * BLOCK, "mtd7": AREA // 2}

DEFAULT_PAIR = ("/sideload/boot_kv7m_1.bin", "/sideload/lnximg.bin")
SLOT1_PAIR = ("/sideload/slot1/fsbl.bin", "/sideload/slot1/user.bin")
DEVICES = ("/dev/mtd0", "/dev/mtd1")
# SWUpdate packages made by scripts/swu-package from a scenario's files, and the line in
# swupdate's error output that tells why it refused one (None: installed, quarn runs). The device
# trusts the certificate of the first throwaway key pair; the package signed with the second is
# another signer's.
PACKAGES = {"signed": None, "altered-image": "HASH mismatch",
            "other-key": "Authentication of all signatures failed"}
HWREVISION = "quarn-vm 1.0\n"
SWU_CERT = "/etc/swupdate/quarn.cert.pem"
KEYS = []  # (key, certificate) paths: the device's and another signer's
# The texts of the C library quarn is built with, for the error numbers its reports carry
# (glibc's EIO is "Input/output error", musl's "I/O error"); see error_text.cpp.
ERROR_TEXTS = {}


def f32(value):
    """Rounds to single precision, as the device's percentages are computed."""
    return struct.unpack("f", struct.pack("f", value))[0]


def block_percent(block):
    return f32(f32(float(block)) * 100.0 * 0.0078125)


def status_line(phase, percent):
    return "%s %5.1f %%\n" % (phase, percent)


def every_status_line():
    """The complete set of lines the status file may ever hold."""
    lines = {"starting\n", "Succeeded\n", "Failed\n"}
    for block in range(BLOCKS):
        lines.add(status_line("erasing", block_percent(block)))
        lines.add(status_line("verifying", block_percent(block)))
    for loaded in range(1, BLOCKS + 1):
        for handled in range(loaded):
            lines.add(status_line("writing", f32(f32(handled * 100.0) / f32(float(loaded)))))
    return lines


class Scenario:
    """One quarn run: its arguments, staged files, the devices' and /var's state before it,
    and what the run must produce."""

    def __init__(self, name, args, files=None, var_readonly=False, remove_mtd1=False,
                 reader=False, devices=("mtd0", "mtd1"), refused=None, second_run=False,
                 setup="", teardown="", outputs=None, bad=(), worn=(), nandsim="", sizes=None,
                 erase_size=BLOCK, grave=None, package=None, staged=None, erased=()):
        self.name = name
        self.args = args
        self.files = files or {}  # path under / -> bytes
        # A signed SWUpdate package that delivers files to their paths and runs quarn: swupdate
        # installs it in place of quarn's own run. One of PACKAGES; staged files are in place
        # before it (an earlier package's).
        self.package = package
        self.staged = staged or {}
        self.var_readonly = var_readonly
        self.remove_mtd1 = remove_mtd1
        self.reader = reader
        self.devices = devices  # the kernel's MTD devices at /dev/mtd0 and /dev/mtd1
        self.refused = refused or {}  # device number -> the reason quarn gives for refusing it
        # A second quarn run with the same arguments starts while the first one erases.
        self.second_run = second_run
        # Shell commands run before the fill and after the devices are saved (scenarios.sh), and
        # the files they leave in the results folder, with their expected content.
        self.setup, self.teardown = setup, teardown
        self.outputs = outputs or {}
        # /dev/mtd0's factory bad blocks, and the blocks whose erase fails in the run, counted in
        # its erase blocks, of which each holds one piece of the slot.
        self.bad, self.worn = set(bad), set(worn)
        # /dev/mtd0's 128 KiB block that reads back uncorrectable once programmed.
        self.grave = grave
        self.piece = erase_size
        # nandsim's parameters for a chip of the scenario's own, and the sizes of its partitions.
        self.nandsim = nandsim
        self.sizes = dict(DEVICE_SIZES, **(sizes or {}))
        self.fills = ["quarn vm %s %s fill" % (name, dev) for dev in ("mtd0", "mtd1")]
        self.erased = erased  # devices erased all through before the run instead of filled
        self.expect()
        # The status file starts with the line the run must not end with, so that a run that
        # left it alone is never mistaken for one that wrote it.
        self.status_before = "Succeeded\n" if self.final_status == "Failed\n" else "Failed\n"

    def fill(self, device):
        size = self.sizes[self.devices[device]]
        if device in self.erased:
            return b"\xff" * size
        line = (self.fills[device] + "\n").encode()
        return (line * (size // len(line) + 1))[:size]

    def expect(self):
        """Works out, from the staged files alone, what the run must print and leave behind."""
        self.stdout = []
        self.stderr = ""
        self.statuses = ["starting\n"]
        self.images = [None, None]  # None: the device keeps its fill
        self.slots = [None, None]  # the 16 MiB each device is programmed with
        if PACKAGES.get(self.package):
            # Refused before anything is delivered: quarn never starts, the status file keeps
            # its line.
            self.statuses = []
            self.final_status, self.exit_status = "Failed\n", 1
            return
        if self.args not in (["slot0"], ["slot1"]):
            self.stdout.append("usage: %s slot0|slot1" % QUARN)
            self.finish(False)
            return
        targets = [(0, DEFAULT_PAIR)] if self.args == ["slot0"] else [(1, DEFAULT_PAIR)]
        if self.args == ["slot0"] and all(p in self.files for p in SLOT1_PAIR):
            targets.append((1, SLOT1_PAIR))
        results = []
        self.erase_began = False
        for device, pair in targets:
            # A slot 0 that failed once its erase began may hold no boot image.
            if results and not results[0] and self.erase_began:
                self.stdout.append("slot 1 left alone: slot 0 failed after its erase began")
                break
            results.append(self.program(device, pair))
        self.finish(all(results))

    def finish(self, ok):
        self.final_status = "Succeeded\n" if ok else "Failed\n"
        self.statuses.append(self.final_status)
        # swupdate's own exit status: 1 when the installation failed.
        self.exit_status = 0 if ok else 1 if self.package else 255

    def program(self, device, pair):
        image = bytearray(b"\xff" * AREA)
        present = []
        for path, first, limit in ((pair[0], 0, BOOT_BLOCKS), (pair[1], BOOT_BLOCKS, MAIN_BLOCKS)):
            data = self.files[path]
            blocks = (len(data) + BLOCK - 1) // BLOCK
            self.stdout += ["reading %s..." % path, "%d Bytes (%d blocks)" % (len(data), blocks)]
            if blocks > limit:
                self.stdout.append("File too large!")
                return False
            image[first * BLOCK:first * BLOCK + len(data)] = data
            present += range(first, first + blocks)
        self.stdout.append("opening MTD device...")
        if device == 1 and self.remove_mtd1:
            self.stderr += "failed to open MTD device: %s\n" % ERROR_TEXTS[errno.ENOENT]
            return False
        if device in self.refused:
            self.stderr += "refusing %s: %s\n" % (DEVICES[device], self.refused[device])
            return False
        self.stdout.append("erasing...")
        self.erase_began = True
        bad, worn = (self.bad, self.worn) if device == 0 else (set(), set())
        places, passed = [], 0
        for block in range(BLOCKS):
            self.statuses.append(status_line("erasing", block_percent(block)))
            self.stdout.append("erase %d" % block)
            # A piece is erased at the first 128 KiB block it holds.
            while block * BLOCK % self.piece == 0:
                place = passed
                while place in bad:
                    self.stdout.append("skipping bad block at offset %d" % (place * self.piece))
                    place += 1
                passed = place + 1
                if place not in worn:
                    places.append(place)
                    break
                self.stderr += "erase: %s\n" % ERROR_TEXTS[errno.EIO]
                self.stdout.append("marking bad block at offset %d" % (place * self.piece))
        self.stdout.append("writing...")
        # The blocks of the first erase block go last.
        head = max(1, self.piece // BLOCK)
        present = [b for b in present if b >= head] + [b for b in present if b < head]
        for handled, block in enumerate(present):
            percent = f32(f32(handled * 100.0) / f32(float(len(present))))
            self.statuses.append(status_line("writing", percent))
            self.stdout.append("write %d" % block)
        self.stdout.append("verifying...")
        self.slots[device] = bytes(image)
        self.images[device] = bytearray(self.fill(device))
        size = self.piece
        for piece, place in enumerate(places):
            self.images[device][place * size:(place + 1) * size] = image[piece * size:
                                                                         (piece + 1) * size]
        for block in range(BLOCKS):
            self.statuses.append(status_line("verifying", block_percent(block)))
            self.stdout.append("read %d" % block)
            if device == 0 and block == self.grave:
                # Its erase block is marked, and the first erase block taken away again.
                place = places[block * BLOCK // size]
                self.worn.add(place)
                self.stdout += ["verify error in block %d" % block,
                                "marking bad block at offset %d" % (place * size),
                                "first erase block erased again: the slot holds no boot image"]
                self.images[device][places[0] * size:(places[0] + 1) * size] = b"\xff" * size
                return False
        return True

    def stage(self, folder):
        folder.mkdir(parents=True)
        (folder / "args").write_text(" ".join(self.args) + "\n")
        for device, text in enumerate(self.fills):
            (folder / ("fill%d" % device)).write_text(text + "\n")
        (folder / "status").write_text(self.status_before)
        for flag in ("var_readonly", "remove_mtd1", "reader", "second_run"):
            if getattr(self, flag):
                (folder / flag.replace("_", "-")).touch()
        for device in self.erased:
            (folder / ("erased%d" % device)).touch()
        for script in ("setup", "teardown", "nandsim"):
            if getattr(self, script):
                (folder / script).write_text(getattr(self, script) + "\n")
        for device, kernel_name in enumerate(self.devices):
            (folder / ("dev%d" % device)).write_text(kernel_name + "\n")
        staged = self.staged if self.package else self.files
        for path, data in staged.items():
            target = folder / path.lstrip("/")
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
        if self.package:
            self.build_package(folder)

    def build_package(self, folder):
        paths = [path for path in DEFAULT_PAIR + SLOT1_PAIR if path in self.files]
        images = [folder / ("image%d" % n) for n in range(len(paths))]
        for image, path in zip(images, paths):
            image.write_bytes(self.files[path])
        key, cert = KEYS[1] if self.package == "other-key" else KEYS[0]
        package = folder / "package.swu"
        subprocess.run([HERE.parent.parent / "scripts" / "swu-package", "-k", key, "-c", cert,
                        "-r", HWREVISION.split()[1], "-t", self.args[0], "-o", package, *images],
                       check=True)
        for image in images:
            image.unlink()
        if self.package == "altered-image":
            data = bytearray(package.read_bytes())
            main = self.files[DEFAULT_PAIR[1]]
            data[data.index(main[:64]) + 1000] ^= 0x01
            package.write_bytes(data)


def worn_nand(kernel_name, bad_before, geometry=None, rerun=False):
    """What a NAND scenario with worn blocks checks beyond the run: one more bad block, and the
    slot read back as a boot loader reads it, skipping bad blocks; the chip's erase and page
    sizes too, where they are given. With rerun, quarn runs once more first and must succeed."""
    sysfs = "/sys/class/mtd/" + kernel_name
    setup = 'cat %s/bad_blocks >"$out/bad-blocks"' % sysfs
    outputs = {"bad-blocks": "%d\n%d\n" % (bad_before, bad_before + 1),
               "skipbad.sha256": lambda s: hashlib.sha256(s.slots[0]).hexdigest() + "\n"}
    if geometry:
        setup += '\ncat %s/erasesize %s/writesize >"$out/geometry"' % (sysfs, sysfs)
        outputs["geometry"] = geometry
    teardown = ('cat %s/bad_blocks >>"$out/bad-blocks"\n'
                'nanddump -q --bb=skipbad -l %d -f /tmp/skipbad /dev/mtd0\n'
                'sha256sum </tmp/skipbad | cut -d" " -f1 >"$out/skipbad.sha256"\n'
                'rm /tmp/skipbad' % (sysfs, AREA))
    if rerun:
        teardown = ('rc=0; run_quarn >/dev/null 2>&1 || rc=$?\n'
                    'echo "$rc $(cat /var/quarn.status)" >"$out/rerun"\n' + teardown)
        outputs["rerun"] = "0 Succeeded\n"
    return {"setup": setup, "teardown": teardown, "outputs": outputs}


def scenarios():
    rng = random.Random(20240603)

    def data(size):
        return rng.randbytes(size)

    def pair(boot, main, slot1=None):
        files = {DEFAULT_PAIR[0]: boot, DEFAULT_PAIR[1]: main}
        if slot1:
            files.update({SLOT1_PAIR[0]: slot1[0], SLOT1_PAIR[1]: slot1[1]})
        return files

    # Content that is never read back needs no randomness, and packs small.
    filler = b"\x5a"
    return [
        Scenario("01-slot0-small", ["slot0"], pair(data(200_000), data(300_001))),
        Scenario("02-slot0-both-slots-full", ["slot0"],
                 pair(data(MIB), data(15 * MIB), (data(MIB), data(15 * MIB))), reader=True),
        Scenario("03-slot1-alone", ["slot1"],
                 pair(data(BLOCK + 1), data(2_000_000), (data(1000), data(1000)))),
        Scenario("04-boot-too-large", ["slot0"], pair(filler * (MIB + 1), data(4096))),
        Scenario("05-main-too-large", ["slot1"], pair(data(1000), filler * (15 * MIB + 1))),
        # Both devices hold a non-0xFF pattern before every run; here nearly every block is
        # left without file data, so nearly all of both areas must end up 0xFF.
        Scenario("06-pattern-to-ff", ["slot0"],
                 pair(b"\x00", b"", (b"", b"\x01"))),
        Scenario("07-var-read-only", ["slot0"], pair(data(70_000), data(BLOCK * 3)),
                 var_readonly=True),
        Scenario("08-mtd1-missing", ["slot0"],
                 pair(data(5000), data(6000), (data(7000), data(8000))), remove_mtd1=True),
        Scenario("09-slot0-fails-slot1-programmed", ["slot0"],
                 pair(filler * (MIB + 1), data(100), (data(BLOCK), data(BLOCK * 2 + 5)))),
        Scenario("10-bad-argument", ["SLOT0"], pair(data(100), data(100))),
        Scenario("11-nand-both-slots", ["slot0"],
                 pair(data(MIB), data(15 * MIB), (data(300_000), data(BLOCK * 7 + 2048))),
                 devices=("mtd2", "mtd3")),
        # Refused before its first erase; slot 1 is still programmed.
        Scenario("12-nand-bad-block", ["slot0"],
                 pair(data(5000), data(BLOCK), (data(6000), data(7000))), devices=("mtd4", "mtd3"),
                 refused={0: "only 127 good erase blocks, the slot needs 128"}),
        Scenario("13-mtdram-8MiB", ["slot0"], pair(data(5000), data(BLOCK)),
                 devices=("mtd7", "mtd1"),
                 refused={0: "size of %d bytes is less than the %d bytes of a slot"
                          % (AREA // 2, AREA)}),
        Scenario("14-second-run-while-erasing", ["slot0"],
                 pair(data(MIB), data(15 * MIB), (data(MIB), data(15 * MIB))), reader=True,
                 second_run=True),
        # In use: UBI on the NAND partition that is /dev/mtd0 (the kernel's mtd3, so quarn must
        # go by the device's own number), or a file system mounted from the MTD device.
        Scenario("15-ubi-attached", ["slot0"],
                 pair(data(5000), data(BLOCK), (data(6000), data(7000))), devices=("mtd3", "mtd1"),
                 setup="ubiformat -q -y /dev/mtd0 && ubiattach -p /dev/mtd0 >/dev/null",
                 teardown="ubidetach -p /dev/mtd0", refused={0: "attached to UBI as ubi0"}),
        Scenario("16-jffs2-mounted", ["slot0"], pair(data(5000), data(BLOCK)),
                 setup="flash_erase -q /dev/mtd0 0 0 && mkdir -p /mnt && "
                       "mount -t jffs2 -o ro mtd0 /mnt",
                 teardown="umount /mnt", refused={0: "mounted on /mnt"}),
        # An unprivileged process tries to hold updates back, by the lock and by the abstract
        # address an earlier lock used; it may bind that, which no longer matters.
        Scenario("17-unprivileged-squatter", ["slot0"], pair(data(70_000), data(BLOCK * 2)),
                 setup='squatter >"$out/squatter" & squatter=$!\n'
                       'while kill -0 "$squatter" 2>/dev/null && ! grep -q ^bind "$out/squatter"\n'
                       'do usleep 10000; done',
                 teardown='kill "$squatter" 2>/dev/null || true',
                 outputs={"squatter": "lock: Permission denied\nbind: held\n"}),
        # NAND as it ships and as it wears: the slot is laid over the good erase blocks, past two
        # factory bad blocks; block 90 fails its erase, is marked bad, and the slot moves on. A
        # boot loader reads the slot back as nanddump --bb=skipbad does.
        Scenario("18-nand-bad-and-worn-blocks", ["slot0"], pair(data(MIB), data(15 * MIB)),
                 devices=("mtd5", "mtd1"), bad=(0, 50), worn=(90,), **worn_nand("mtd5", 2)),
        # The same on a chip of 4 KiB pages and 256 KiB erase blocks, where a piece is two 128 KiB
        # blocks: a 17 MiB partition from chip block 0, with bad block 10 and block 40 failing.
        Scenario("19-nand-4KiB-pages", ["slot0"], pair(data(MIB), data(15 * MIB)),
                 devices=("mtd2", "mtd1"), bad=(10,), worn=(40,), erase_size=2 * BLOCK,
                 nandsim="id_bytes=0x20,0xf1,0x00,0x26 parts=68 badblocks=10 weakblocks=40:1",
                 sizes={"mtd2": AREA + 8 * BLOCK}, **worn_nand("mtd2", 1, "262144\n4096\n")),
        # A page of block 9 (chip page 586) that programs fine and then reads back uncorrectable:
        # the run fails and marks the block; a second run in the same boot lays the slot past it.
        Scenario("20-nand-uncorrectable-page", ["slot0"], pair(data(MIB), data(15 * MIB)),
                 devices=("mtd2", "mtd1"), grave=9,
                 nandsim="id_bytes=0x20,0xf1,0x00,0x1d parts=136 gravepages=586:0",
                 sizes={"mtd2": AREA + 8 * BLOCK}, **worn_nand("mtd2", 0, rerun=True)),
        # The same with a slot 1 pair staged: slot 0 failed after its erase began, and slot 1,
        # which may now be the only firmware that boots, is left alone.
        Scenario("21-slot0-fails-after-erase-slot1-left-alone", ["slot0"],
                 pair(data(MIB), data(15 * MIB), (data(5000), data(BLOCK))),
                 devices=("mtd2", "mtd1"), grave=9,
                 nandsim="id_bytes=0x20,0xf1,0x00,0x1d parts=136 gravepages=586:0",
                 sizes={"mtd2": AREA + 8 * BLOCK}),
        # Under the update agent: signed SWUpdate packages, installed by Debian's swupdate. slot
        # 1 starts erased all through, as on a new device: UBI would take it for its own if
        # swupdate attached UBI to it as it starts.
        Scenario("22-swu-both-slots", ["slot0"],
                 pair(data(300_000), data(2 * MIB), (data(5000), data(BLOCK + 7))),
                 package="signed", erased=(1,)),
        # An earlier package's slot 1 pair is still staged; this one carries none, and its main
        # image is refused before slot 0 is erased: slot 1 must not be programmed from the old pair.
        Scenario("23-swu-main-too-large", ["slot0"], pair(data(1000), filler * (15 * MIB + 1)),
                 package="signed", staged={SLOT1_PAIR[0]: data(3000), SLOT1_PAIR[1]: data(4000)}),
        # Refused by swupdate before anything is delivered: nothing erased, quarn never started.
        Scenario("24-swu-altered-image", ["slot0"], pair(data(300_000), data(2 * MIB)),
                 package="altered-image"),
        Scenario("25-swu-other-key", ["slot0"], pair(data(300_000), data(2 * MIB)),
                 package="other-key"),
    ]


def first_difference(actual, expected):
    for offset in range(0, min(len(actual), len(expected)), BLOCK):
        if actual[offset:offset + BLOCK] != expected[offset:offset + BLOCK]:
            for i in range(offset, offset + BLOCK):
                if actual[i] != expected[i]:
                    return i
    return min(len(actual), len(expected))


def compare_text(what, actual, expected, problems):
    if actual == expected:
        return
    a, e = actual.splitlines(True), expected.splitlines(True)
    for i in range(max(len(a), len(e))):
        got = a[i] if i < len(a) else "<end>"
        want = e[i] if i < len(e) else "<end>"
        if got != want:
            problems.append("%s differs at line %d: got %r, expected %r (%d lines, expected %d)"
                            % (what, i + 1, got, want, len(a), len(e)))
            return


def is_subsequence(seen, expected):
    it = iter(expected)
    return all(any(item == candidate for candidate in it) for item in seen)


def check_reader(scenario, folder, problems, allowed):
    """Every read of the status file must have returned one whole line of the allowed set, in
    the order the run writes them."""
    if (folder / "reader-error").exists():
        problems.append("status reader: " + (folder / "reader-error").read_text().strip())
    lines = (folder / "reader").read_text().splitlines()
    if not lines or not lines[0].startswith("reads "):
        problems.append("status reader log has no read count")
        return None
    reads = int(lines[0].split()[1])
    seen = []
    for line in lines[1:]:
        if line == "overflow" or "..." in line:
            problems.append("status reader: " + line)
            continue
        count, _, hexed = line.partition(" ")
        content = bytes.fromhex(hexed).decode("latin-1")
        if content not in allowed:
            problems.append("status reader saw %r (%s reads)" % (content, count))
        seen.append(content)
    history = [scenario.status_before] + scenario.statuses
    if seen and not is_subsequence(seen, history):
        problems.append("status reader saw the lines out of order")
    if not seen or seen[0] != scenario.status_before or seen[-1] != scenario.final_status:
        problems.append("status reader did not see the whole run: first %r, last %r"
                        % (seen[0] if seen else None, seen[-1] if seen else None))
    if reads != sum(int(line.split()[0]) for line in lines[1:] if line[0].isdigit()):
        problems.append("status reader's counts do not add up to its reads")
    return reads, len(seen), len(history)


def check_second_run(folder, problems, allowed):
    """The second run must have been refused at once: exit status 255, one line on standard
    error, nothing on standard output, and the first run still at work when it ended."""
    rc = int((folder / "rc2").read_text())
    if rc != 255:
        problems.append("second run: exit status %d, expected 255" % rc)
    compare_text("second run's standard output", (folder / "stdout2").read_text(), "", problems)
    compare_text("second run's standard error", (folder / "stderr2").read_text(),
                 "another quarn run is in progress\n", problems)
    first = (folder / "first-after-second").read_text().strip()
    if first != "running":
        problems.append("the first run had %s when the second ended" % first)
    status = (folder / "status-after-second").read_text()
    if status not in allowed or status in ("starting\n", "Succeeded\n", "Failed\n"):
        problems.append("status file held %r when the second run ended" % status)


def check(scenario, folder, allowed):
    problems = []
    if not folder.is_dir():
        return ["no results came back from the VM"], None
    stdout, stderr = (folder / "stdout").read_text(), (folder / "stderr").read_text()
    if scenario.package:
        # swupdate logs quarn's standard output a line at a time.
        marker = "[read_lines_notify] : "
        stdout = "".join(line.partition(marker)[2] + "\n" for line in stdout.splitlines()
                         if marker in line)
        reason = PACKAGES[scenario.package]
        if reason and reason not in stderr:
            problems.append("swupdate did not refuse the package with %r" % reason)
    compare_text("standard output", stdout, "".join(line + "\n" for line in scenario.stdout),
                 problems)
    if not scenario.package:
        compare_text("standard error", stderr, scenario.stderr, problems)
    rc = int((folder / "rc").read_text())
    if rc != scenario.exit_status:
        problems.append("exit status %d, expected %d" % (rc, scenario.exit_status))
    status_file = folder / "status"
    status = status_file.read_text() if status_file.exists() else None
    unwritten = scenario.var_readonly or PACKAGES.get(scenario.package)
    want_status = scenario.status_before if unwritten else scenario.final_status
    if status != want_status:
        problems.append("status file holds %r, expected %r" % (status, want_status))
    listing = sorted((folder / "var-listing").read_text().split())
    if listing != [".", "..", "quarn.status"]:
        problems.append("/var holds %s" % listing)
    for device in (0, 1):
        actual = bytearray((folder / ("mtd%d" % device)).read_bytes())
        expected = scenario.images[device]
        what = "programmed" if expected is not None else "untouched"
        if expected is None:
            expected = scenario.fill(device)
        # What a bad block holds is the chip's business.
        size = scenario.piece
        for block in (scenario.bad | scenario.worn) if device == 0 else ():
            actual[block * size:(block + 1) * size] = expected[block * size:(block + 1) * size]
        if actual != expected:
            offset = first_difference(actual, expected)
            problems.append("%s (expected %s) differs first at offset 0x%x (block %d)"
                            % (DEVICES[device], what, offset, offset // BLOCK))
    for name, text in scenario.outputs.items():
        text = text(scenario) if callable(text) else text
        compare_text(name, (folder / name).read_text(), text, problems)
    reader = None
    if scenario.reader:
        reader = check_reader(scenario, folder, problems, allowed)
    if scenario.second_run:
        check_second_run(folder, problems, allowed)
    return problems, reader


def tool_missing(name):
    return shutil.which(name) is None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", required=True, type=Path, help="folder for builds and results")
    parser.add_argument("--reader", required=True, type=Path, help="the static status reader")
    parser.add_argument("--squatter", required=True, type=Path, help="the static squatter")
    parser.add_argument("--timeout", type=int, default=480, help="time limit for the VM, seconds")
    parser.add_argument("--toolchain", type=Path, help="build quarn with this CMake toolchain file")
    parser.add_argument("--needs", action="append", default=[],
                        help="a program the build needs (the toolchain's compiler)")
    options = parser.parse_args()
    in_ci = os.environ.get("CI", "") not in ("", "0", "false")

    missing = [tool for tool in ["qemu-system-x86_64", "cpio", "depmod", "openssl"] + options.needs
               if tool_missing(tool)]
    device_tools = ["/usr/sbin/" + tool for tool in ("flash_erase", "ubiformat", "ubiattach",
                                                     "ubidetach", "nanddump")]
    agent = "/usr/bin/swupdate"
    missing += [path for path in ["/bin/busybox", agent] + device_tools
                if not os.path.exists(path)]
    if missing:
        print("vm test: %s not installed (packages qemu-system-x86, cpio, kmod, busybox-static, "
              "mtd-utils, musl-tools, swupdate, openssl)" % ", ".join(missing))
        if in_ci:
            print("vm test: FAILED: CI must run the VM test")
            return 1
        print("vm test: SKIPPED")
        return SKIP

    started = time.monotonic()
    work = options.work.resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)

    kernel_vars = subprocess.run([HERE / "kernel.sh"], check=True, capture_output=True,
                                 text=True).stdout
    env = dict(line.split("=", 1) for line in kernel_vars.splitlines())
    kernel, modules = env["QUARN_VM_KERNEL"], env["QUARN_VM_MODULES"]

    toolchain = [options.toolchain.resolve()] if options.toolchain else []
    subprocess.run([HERE / "build-quarn.sh", work / "quarn-build", work / "quarn-root",
                    *toolchain], check=True)
    # The error texts come from a program built with quarn's own compiler and C library.
    found = next((work / "quarn-build" / "CMakeFiles").glob("*/CMakeCXXCompiler.cmake"))
    compiler = re.search(r'set\(CMAKE_CXX_COMPILER "([^"]+)"\)', found.read_text()).group(1)
    subprocess.run([compiler, "-static", "-o", work / "error-text", HERE / "error_text.cpp"],
                   check=True)
    numbers = (errno.ENOENT, errno.EIO)
    texts = subprocess.run([work / "error-text", *map(str, numbers)], check=True,
                           capture_output=True, text=True).stdout.splitlines()
    ERROR_TEXTS.update(zip(numbers, texts))

    # Throwaway signing keys, made as a new user would make a test certificate.
    for name in ("device", "other"):
        key, cert = work / ("%s.key.pem" % name), work / ("%s.cert.pem" % name)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", cert, "-days", "30", "-subj", "/O=quarn vm test/CN=%s" % name],
                       check=True, capture_output=True)
        KEYS.append((key, cert))
    cases = scenarios()
    test_root = work / "test-root"
    (test_root / "usr/bin").mkdir(parents=True)
    (test_root / SWU_CERT.lstrip("/")).parent.mkdir(parents=True)
    shutil.copy(KEYS[0][1], test_root / SWU_CERT.lstrip("/"))
    (test_root / "etc/hwrevision").write_text(HWREVISION)
    shutil.copy(options.reader, test_root / "usr/bin/status-reader")
    shutil.copy(options.squatter, test_root / "usr/bin/squatter")
    for scenario in cases:
        scenario.stage(test_root / "scenarios" / scenario.name)
    initrd = work / "initramfs.cpio.gz"
    loads = [arg for module in MODULES for arg in ("-l", module)]
    tools = [arg for tool in device_tools + [agent] for arg in ("-b", tool)]
    subprocess.run([HERE / "initramfs.sh", "-m", modules, *loads, "-a", work / "quarn-root",
                    "-a", test_root, *tools, "-j", HERE / "scenarios.sh", initrd], check=True)
    prepared = time.monotonic()

    results = work / "results"
    disk_mb = 48 * (len(cases) + 1)
    # The staged images, 150 MB, outgrow the root file system of the default 512 MiB VM.
    boot = subprocess.run([HERE / "boot.sh", "-t", str(options.timeout), "-m", "1024",
                           "-l", work / "console.log",
                           "-d", str(disk_mb), "-r", results, kernel, initrd],
                          capture_output=True, text=True)
    vm_seconds = time.monotonic() - prepared
    print(boot.stdout, end="")
    print(boot.stderr, end="", file=sys.stderr)
    if boot.returncode != 0:
        # What did come back still shows which scenario went wrong.
        print("vm test: FAILED: the VM job ended with status %d" % boot.returncode)

    allowed = every_status_line()
    passed = failed = 0
    reader_figures = None
    scenario_seconds = 0.0
    for scenario in cases:
        folder = results / scenario.name
        problems, reader = check(scenario, folder, allowed)
        if reader:
            reader_figures = reader
        times = folder / "times"
        if times.exists():
            start, run_start, run_end, end = map(float, times.read_text().split())
            scenario_seconds += end - start
            timing = "quarn %.2f s, scenario %.2f s" % (run_end - run_start, end - start)
        else:
            timing = "no timing"
        if problems:
            failed += 1
            print("FAIL %s (%s)" % (scenario.name, timing))
            for problem in problems[:12]:
                print("    " + problem)
            if len(problems) > 12:
                print("    and %d more" % (len(problems) - 12))
        else:
            passed += 1
            print("PASS %s (%s)" % (scenario.name, timing))

    job_line = [line for line in boot.stdout.splitlines() if line.startswith("job started at")]
    print("VM: %.1f s from qemu start to power-off; the job started at %s s of guest uptime"
          % (vm_seconds, job_line[0].split()[3] if job_line else "?"))
    print("scenarios: %.1f s in the VM; whole test %.1f s (build and packing %.1f s)"
          % (scenario_seconds, time.monotonic() - started, prepared - started))
    if reader_figures:
        print("status reader: %d reads during the two-slot run, %d distinct lines of the %d "
              "the run wrote (with the line before it)" % reader_figures)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if boot.returncode == 0 and failed == 0 and passed == len(cases) else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Writes the demo's synthetic files: a hardware directory and two application files.

Everything is made up here from a fixed pseudo-random sequence, so running the
script again gives the same bytes. The card simulator does not execute what it
receives: the "programs" are filler with the right shape.

  hardware/cpu1.sub   cpu1.mon    a plain card type
  hardware/7eth.sub   7eth.mon    an Ethernet card type (serial number and NIC address)
  hardware/ovmod.sub  ovmod.mon   a language module (programmed, not started, not stamped)
  hardware/Upload.sub             the upload bootloader
  app.sr                          an application of two regions, about 100 KiB
  small.sr                        a small application of two regions
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Filler:
    """A linear congruential sequence of bytes."""

    def __init__(self, seed):
        self.state = seed

    def take(self, n):
        out = bytearray()
        for _ in range(n):
            self.state = (self.state * 1103515245 + 12345) & 0x7FFFFFFF
            out.append((self.state >> 16) & 0xFF)
        return bytes(out)


def record(kind, address, data=b""):
    width = {"0": 2, "1": 2, "9": 2, "2": 3, "8": 3, "3": 4, "7": 4}[kind]
    body = address.to_bytes(width, "big") + data
    count = len(body) + 1
    checksum = 0xFF - ((count + sum(body)) & 0xFF)
    return "S%s%02X%s%02X" % (kind, count, body.hex().upper(), checksum)


def data_records(kind, start, data, per_line):
    lines = []
    for at in range(0, len(data), per_line):
        lines.append(record(kind, start + at, data[at:at + per_line]))
    return lines


def write(path, lines):
    full = os.path.join(HERE, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "w", newline="") as f:
        for line in lines:
            f.write(line + "\r\n")  # the files come from a Windows PC


def header(text):
    return record("0", 0, text.encode("ascii"))


def bootloader(name, size, seed):
    # A bootloader runs from the processor's RAM; it fits the boot ROM's 2 KiB.
    assert size <= 2048
    data = Filler(seed).take(size)
    return [header(name)] + data_records("1", 0x0400, data, 32) + [record("9", 0x0400)]


def monitor(name, regions, kind, seed):
    """regions: (start, size) pairs; the gaps between them the loader fills with 0xFF."""
    fill = Filler(seed)
    lines = [header(name)]
    for start, size in regions:
        lines += data_records(kind, start, fill.take(size), 32)
    lines.append(record("9" if kind == "1" else "8", regions[0][0]))
    return lines


def application(regions, seed, kind="2", per_line=32, end_kind="8"):
    fill = Filler(seed)
    lines = []
    for start, size in regions:
        lines += data_records(kind, start, fill.take(size), per_line)
    lines.append(record(end_kind, regions[0][0]))
    return lines


def main():
    # Monitors start at address 0 and reach past 0x7FD6, so the serial number
    # and the Ethernet address are stamped into them; cpu1 has a gap of 1 KiB.
    write("hardware/cpu1.sub", bootloader("cpu1 boot", 1024, 11))
    write("hardware/cpu1.mon", monitor("cpu1 monitor", [(0x0000, 0x4000), (0x4400, 0x3C00)], "1", 12))
    write("hardware/7eth.sub", bootloader("7eth boot", 1536, 21))
    write("hardware/7eth.mon", monitor("7eth monitor", [(0x0000, 0xA000)], "2", 22))
    write("hardware/ovmod.sub", bootloader("ovmod boot", 512, 31))
    write("hardware/ovmod.mon", monitor("ovmod module", [(0x20000, 0x1000)], "2", 32))
    write("hardware/Upload.sub", bootloader("upload boot", 768, 41))
    # Two regions: 0x10400..0x283FF and 0x30000..0x30FFF (about 100 KiB in all).
    write("app.sr", application([(0x10400, 0x18000), (0x30000, 0x1000)], 51))
    write("small.sr", application([(0x1000, 0x100), (0x2000, 0x80)], 61, kind="1", per_line=16,
                                  end_kind="9"))
    return 0


if __name__ == "__main__":
    sys.exit(main())

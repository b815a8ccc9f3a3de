#!/usr/bin/env python3
"""Where one installation's CPU time goes under Wine, from a perf profile.

usage: install_profile.py PERF.data orvinta-setup.map

The stub is stripped, so perf sees its code as bare addresses; the link map (written
beside the stub by its build) tells which object file each address belongs to. Samples
in the stub are grouped into the decoder, the CRC-32, the extraction loop and the rest of
the installer; samples elsewhere by the module perf names (the kernel, Wine's DLLs and
libraries). Prints one line per group with its share of all samples.
"""
import re
import subprocess
import sys

IMAGE_BASE = 0x400000  # the stub's preferred base, where Wine maps it


def stub_ranges(map_path):
    """[(start, end, group)] of the stub's code, from the link map."""
    ranges = []
    in_memory_map = False
    text = open(map_path, encoding='utf-8', errors='replace').read().splitlines()
    for line in text:
        if line.startswith('Linker script and memory map'):
            in_memory_map = True
            continue
        if not in_memory_map:
            continue
        m = re.match(r'^ (?:\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$', line)
        if not m:
            continue
        start, size, origin = int(m.group(1), 16), int(m.group(2), 16), m.group(3)
        if start < IMAGE_BASE or size == 0:
            continue
        ranges.append((start, start + size, group_of(origin)))
    return ranges


def group_of(origin):
    name = origin.rsplit('/', 1)[-1]
    if 'crc32.cpp' in name:
        return 'stub: CRC-32'
    if name.startswith('libdecode.a'):
        return 'stub: decoder (tables and decoding)'
    if 'zip_extract.cpp' in name or 'zip_reader.cpp' in name:
        return 'stub: extraction loop (reading, unscrambling, output callback)'
    return 'stub: the rest (installer, file layer, runtime jumps)'


def main():
    data, map_path = sys.argv[1], sys.argv[2]
    ranges = stub_ranges(map_path)
    report = subprocess.run(['perf', 'report', '-i', data, '--stdio', '--sort', 'dso,sym'],
                            capture_output=True, text=True, check=True).stdout
    shares = {}
    for line in report.splitlines():
        m = re.match(r'^\s*([\d.]+)%\s+(.*?)\s+\[(.)\]\s+(\S+)', line)
        if not m:
            continue
        share, module, symbol = float(m.group(1)), m.group(2).strip(), m.group(4)
        group = None
        if symbol.startswith('0x'):
            address = int(symbol, 16)
            for start, end, name in ranges:
                if start <= address < end:
                    group = name
                    break
        if group is None:
            if module.startswith('[JIT]'):
                module = 'unnamed code (Wine DLLs loaded without a file name)'
            group = 'elsewhere: ' + module
        shares[group] = shares.get(group, 0.0) + share
    for group, share in sorted(shares.items(), key=lambda item: -item[1]):
        if share >= 0.5:
            print('  %-72s %5.1f %%' % (group, share))


if __name__ == '__main__':
    main()

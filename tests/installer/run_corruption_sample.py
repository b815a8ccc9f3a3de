#!/usr/bin/env python3
"""A sample of damaged installers run as the real executable under Wine.

usage: run_corruption_sample.py --stub orvinta-setup.exe --fake fake-program.exe --work DIR

The host sweep damages every byte of a small installer's archive and runs each through
the installer's own entry loop; this runs a sample of the same kinds of damage (cuts in
each region, changed header fields, names, data) through the built executable and checks
what a user would see: exit code 0, at most one message and only one of the installer's
texts, nothing written outside the destination folder, and for the cuts the exact outcome.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from installer_wine import (CAPTION, FORMAT_CREATING, FORMAT_READING, KEY, WINDOWS_DESTINATION, Entry,  # noqa: E402
                            Wine, folder_contents, pe_arch, reset_folder, write_installer)

NAMES = ('orvinta.exe', 'notes.txt', 'data.bin')


def tree(folder):
    listing = set()
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            listing.add(os.path.relpath(os.path.join(root, name), folder))
    return listing


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True)
    parser.add_argument('--fake', required=True)
    parser.add_argument('--work', required=True)
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    reset_folder(work)
    cwd = os.path.join(work, 'cwd')
    os.makedirs(cwd)
    stub = os.path.abspath(args.stub)
    wine = Wine(pe_arch(stub))
    wine.prepare()
    with open(args.fake, 'rb') as f:
        fake = f.read()
    notes = b''.join(b'note %d about the installation\n' % (i % 7) for i in range(40))
    data = bytes(range(40))
    entries = [Entry('orvinta.exe', fake), Entry('notes.txt', notes, 8), Entry('data.bin', data)]
    original = os.path.join(work, 'original.exe')
    layout = write_installer(original, stub, entries)
    with open(original, 'rb') as f:
        good = f.read()
    (h0, d0, e0), (h1, d1, e1), (h2, d2, e2) = layout

    reading = 'reading'
    creating = 'creating'
    # (label, damaged bytes, expected message kind or a set of allowed ones, expected files or None)
    samples = []

    def cut(label, at, message, files):
        samples.append((label, good[:at], message, files))

    def change(label, at, plain_value, allowed):
        damaged = bytearray(good)
        damaged[at] = plain_value ^ KEY
        samples.append((label, bytes(damaged), allowed, None))

    def flip(label, at, mask, allowed):
        damaged = bytearray(good)
        damaged[at] ^= mask
        samples.append((label, bytes(damaged), allowed, None))

    cut('cut inside the first header', h0 + 10, reading, set())
    cut('cut inside the program data', (d0 + e0) // 2, reading, None)
    cut('cut at the second header', h1, None, {'orvinta.exe'})
    cut('cut inside the second header', h1 + 20, None, {'orvinta.exe'})
    cut('cut inside the Deflate data', (d1 + e1) // 2, reading, {'orvinta.exe', 'notes.txt'})
    cut('cut inside the last name', d2 - 3, None, {'orvinta.exe', 'notes.txt'})
    cut('cut one byte short', e2 - 1, reading, {'orvinta.exe', 'notes.txt', 'data.bin'})
    cut('nothing cut', e2, None, {'orvinta.exe', 'notes.txt', 'data.bin'})
    change('signature of the second header', h1 + 1, 0x00, {None})
    change('version of the second header', h1 + 4, 0x63, {None, reading})
    change('Deflate method turned to an unknown one', h1 + 8, 0x63, {reading})
    change('Deflate method turned to stored', h1 + 8, 0x00, {None})
    flip('CRC of the Deflate entry', h1 + 14, 0x01, {reading})
    change('compressed size of the Deflate entry', h1 + 18, 0xFF, {reading, None})
    change('uncompressed size of the Deflate entry', h1 + 22, 0x01, {reading})
    change('name length of the last entry', h2 + 26, 0x40, {None, creating, reading})
    change('name byte turned into a separator', h2 + 30 + 4, ord('/'), {creating})
    change('name byte turned into a colon', h2 + 30 + 1, ord(':'), {creating})
    change('name turned into a parent reference', h2 + 30, ord('.'), {None})  # ".ata.bin" stays inside
    flip('first Deflate byte', d1, 0x06, {reading, None})
    flip('last Deflate byte', e1 - 1, 0xFF, {reading, None})

    drive_c = os.path.join(wine.prefix, 'drive_c')
    failures = 0
    for label, damaged, expected, files in samples:
        exe = os.path.join(work, 'damaged.exe')
        with open(exe, 'wb') as f:
            f.write(damaged)
        before = tree(drive_c) - {p for p in tree(drive_c) if p.startswith(os.path.relpath(wine.destination(), drive_c))}
        outcome = wine.run_installer(exe, cwd, os.path.join(work, 'fake.log'), sleep_ms=0)
        problems = []
        if outcome.exit_code != 0:
            problems.append('exit code %s' % outcome.exit_code)
        if len(outcome.messages) > 1:
            problems.append('%d messages' % len(outcome.messages))
        kind = None
        for text, caption in outcome.messages:
            if caption != CAPTION:
                problems.append('caption %r' % caption)
            if text == FORMAT_READING % wine.windows_path(exe):
                kind = reading
            elif text.startswith(FORMAT_CREATING.split('%s')[0] + WINDOWS_DESTINATION + '\\') and \
                    text.endswith(FORMAT_CREATING.split('%s')[1]):
                kind = creating
            else:
                problems.append('unexpected text %r' % text)
        allowed = expected if isinstance(expected, set) else {expected}
        if kind not in allowed:
            problems.append('message %s, expected one of %s' % (kind, sorted(map(str, allowed))))
        after = tree(drive_c)
        outside = {p for p in after - before if not p.startswith(os.path.relpath(wine.destination(), drive_c))}
        if outside:
            problems.append('written outside the destination: %s' % sorted(outside))
        found = folder_contents(wine.destination())
        if found is None:
            problems.append('destination missing')
        elif files is not None and set(found) != files:
            problems.append('destination %s, expected %s' % (sorted(found), sorted(files)))
        elif len(found) > len(NAMES):
            problems.append('destination %s' % sorted(found))
        elif files is not None and 'orvinta.exe' in files and outcome.fake_log is None:
            problems.append('installed program not started')
        if kind is None and files == set(NAMES):
            if found.get('notes.txt') != notes or found.get('data.bin') != data:
                problems.append('complete installation differs from the payload')
        print('%s %s: %s' % ('FAIL' if problems else 'PASS', label, '; '.join(problems) or 'message %s' % kind))
        failures += bool(problems)
    print('%d damaged installers run, %d failures' % (len(samples), failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

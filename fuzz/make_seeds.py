#!/usr/bin/env python3
"""Makes the seed corpora of the two archive fuzz targets again.

    fuzz/make_seeds.py PACK STUB [REAL_STUB]

PACK is orvinta-pack (build/host/tools/orvinta-pack); STUB a small installer stub, the
corpus's own fuzz/corpus/pack_inspect/stub-without-archive (1.5 KiB, the shape of the
real stub with the installer's version block); REAL_STUB, when given, the real
build/win32/installer/orvinta-setup.exe, for one installer built on it. The installers
are built by the tool from tiny payloads, then damaged in the ways the installer meets:
a flipped bit in Deflate and stored data, a cut file, a header that does not parse,
bytes behind a Deflate entry's final block, an overlong name. One is signed with a
throw-away test certificate (openssl and osslsigncode), so its signature differs on
every run; everything else comes out the same.

fuzz/corpus/pack_inspect gets the installers as files; fuzz/corpus/zip_walk gets each one
with a byte appended that selects how zip_walk_fuzz opens it (see that target), plus the
archive alone, scrambled and plain, for the exact opens. Files named finding-* are inputs
that fuzzing found faults with; they are kept as they are.
"""
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

KEY = 0xA7
LOCAL_SIGNATURE = b'PK\x03\x04'
HERE = os.path.dirname(os.path.abspath(__file__))
# zip_walk_fuzz's last byte: 0 scan from 0, 1 scan from an offset, 2 exact, 3 unscrambled.
SCAN, FROM_OFFSET, EXACT, PLAIN = 0, 1, 2, 3


def scramble(data):
    return bytes(b ^ KEY for b in data)


def text(count, seed):
    lines = []
    size = 0
    i = 0
    while size < count:
        line = 'entry %d: some text of the sample\n' % ((i * 7 + seed) % 131)
        lines.append(line)
        size += len(line)
        i += 1
    return ''.join(lines).encode()[:count]


def build(pack, stub, out, files, extra=(), env=None):
    with tempfile.TemporaryDirectory() as folder:
        for name, data in files.items():
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(data)
        settings = dict(os.environ, SOURCE_DATE_EPOCH='1700000000')
        settings.update(env or {})
        subprocess.run([pack, 'build', '--stub', stub, '--out', out, *extra, folder], check=True,
                       env=settings, stderr=subprocess.DEVNULL)
    with open(out, 'rb') as f:
        return f.read()


def entries(installer, stub_size):
    """(header offset, data offset, method, compressed size, name) of each local entry."""
    found = []
    at = stub_size
    while at + 30 <= len(installer):
        header = scramble(installer[at:at + 30])
        if header[:4] != LOCAL_SIGNATURE:
            break
        method, = struct.unpack_from('<H', header, 8)
        packed, = struct.unpack_from('<I', header, 18)
        name_length, extra_length = struct.unpack_from('<HH', header, 26)
        name = scramble(installer[at + 30:at + 30 + name_length])
        data = at + 30 + name_length + extra_length
        found.append((at, data, method, packed, name))
        at = data + packed
    return found


def signed_installer(pack, stub, files, work):
    key = os.path.join(work, 'key.pem')
    cert = os.path.join(work, 'cert.pem')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                    '-days', '30', '-subj', '/CN=Orvinta Seed Signing', '-addext', 'extendedKeyUsage=codeSigning'],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return build(pack, stub, os.path.join(work, 'signed.exe'), files, ['--sign-cert', cert, '--sign-key', key])


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    pack, stub = sys.argv[1], sys.argv[2]
    real_stub = sys.argv[3] if len(sys.argv) == 4 else None
    with open(stub, 'rb') as f:
        stub_bytes = f.read()
    noise = random.Random(16).randbytes(64)
    program = {'orvinta.exe': text(400, 1)}
    assorted = {'orvinta.exe': text(900, 2), 'noise.bin': noise, 'empty.dat': b'',
                'donn\u00e9es.txt': text(120, 3)}
    seeds = {'stub-without-archive': stub_bytes}
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, 'setup.exe')
        seeds['one-deflated-program'] = build(pack, stub, out, program)
        seeds['assorted'] = build(pack, stub, out, assorted)
        seeds['assorted-stored'] = build(pack, stub, out, assorted, ['--level', '0'])
        seeds['signed'] = signed_installer(pack, stub, program, work)
        if real_stub:
            seeds['real-stub'] = build(pack, real_stub, out, {'orvinta.exe': text(200, 4)})

    base = seeds['assorted']
    walk = entries(base, len(stub_bytes))
    by_name = {name: (header, data, method, packed) for header, data, method, packed, name in walk}
    header, data, method, packed = by_name[b'orvinta.exe']
    damaged = bytearray(base)
    damaged[data + packed // 2] ^= 0x01
    seeds['flipped-deflate-bit'] = bytes(damaged)
    header, data, method, packed = by_name[b'noise.bin']
    damaged = bytearray(base)
    damaged[data + 10] ^= 0x40
    seeds['flipped-stored-bit'] = bytes(damaged)
    last_header = walk[-1][0]
    seeds['cut-inside-last-entry'] = base[:walk[-1][1] + 3]
    damaged = bytearray(base)
    damaged[last_header + 26:last_header + 28] = scramble(b'\x00\x00')  # name length 0
    seeds['header-that-does-not-parse'] = bytes(damaged)

    # A Deflate entry whose data goes on behind its final block: the stream of the
    # program, three bytes more in its data, the sizes in the local header to match.
    plain = text(400, 1)
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    stream = compressor.compress(plain) + compressor.flush() + b'\x11\x22\x33'
    local = struct.pack('<4sHHHHHIIIHH', LOCAL_SIGNATURE, 20, 0, 8, 0, 0x5A21, zlib.crc32(plain), len(stream),
                        len(plain), 11, 0) + b'orvinta.exe'
    seeds['bytes-behind-the-final-block'] = stub_bytes + scramble(local + stream)
    # The same at the installer's 8192-byte boundary: a stored block and an empty final
    # one that end exactly there, and one byte more.
    content = random.Random(8192).randbytes(8192 - 10)
    stream = (b'\x00' + struct.pack('<HH', len(content), 0xFFFF ^ len(content)) + content +
              b'\x01\x00\x00\xff\xff' + b'\x5a')
    local = struct.pack('<4sHHHHHIIIHH', LOCAL_SIGNATURE, 20, 0, 8, 0, 0x5A21, zlib.crc32(content), len(stream),
                        len(content), 11, 0) + b'orvinta.exe'
    seeds['bytes-behind-the-final-block-at-8192'] = stub_bytes + scramble(local + stream)
    long_name = b'n' * 255
    local = struct.pack('<4sHHHHHIIIHH', LOCAL_SIGNATURE, 20, 0, 0, 0, 0x5A21, zlib.crc32(b'x'), 1, 1,
                        len(long_name), 0) + long_name + b'x'
    seeds['name-of-255-bytes'] = stub_bytes + scramble(local)

    inspect_folder = os.path.join(HERE, 'corpus', 'pack_inspect')
    walk_folder = os.path.join(HERE, 'corpus', 'zip_walk')
    for folder in (inspect_folder, walk_folder):
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):  # the findings of fuzzing runs stay
            if not name.startswith('finding-'):
                os.remove(os.path.join(folder, name))
    for name, data in seeds.items():
        with open(os.path.join(inspect_folder, name), 'wb') as f:
            f.write(data)
        modes = ((SCAN, 'scan'),) if name == 'real-stub' else ((SCAN, 'scan'), (FROM_OFFSET, 'from-offset'))
        for mode, suffix in modes:
            with open(os.path.join(walk_folder, '%s-%s' % (name, suffix)), 'wb') as f:
                f.write(data + bytes([mode]))
    archive = base[len(stub_bytes):]
    with open(os.path.join(walk_folder, 'archive-alone-exact'), 'wb') as f:
        f.write(archive + bytes([EXACT]))
    with open(os.path.join(walk_folder, 'archive-alone-plain'), 'wb') as f:
        f.write(scramble(archive) + bytes([PLAIN]))


if __name__ == '__main__':
    main()

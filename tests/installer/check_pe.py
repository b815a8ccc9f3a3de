#!/usr/bin/env python3
"""Checks the installer executable's image headers and resources from the outside.

usage: check_pe.py SETUP.exe 32|64 VERSION

Reads the PE headers, the import table and the resource directory with a small reader
of its own and checks: GUI subsystem, OS and subsystem version 5.1, dynamic base with
relocations, NX and terminal-server awareness, 1 MiB / 4 KiB stack, no link time stamp,
only functions of system DLLs imported that Windows XP has; the size of the 32-bit stub;
the icon images, the icon group "SETUP", the version block and the manifest (also parsed
as XML), each in language 1033 and nothing else.
"""
import struct
import sys
import xml.etree.ElementTree as ET

failures = []
VERSION = '0.0.0'  # the project's version, from the command line


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


class Image:
    def __init__(self, data):
        self.data = data
        check(data[:2] == b'MZ', 'MZ signature')
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        check(data[pe:pe + 4] == b'PE\0\0', 'PE signature')
        (self.machine, self.section_count, self.timestamp, _, _, self.optional_size,
         self.characteristics) = struct.unpack_from('<HHIIIHH', data, pe + 4)
        self.opt = pe + 24
        self.magic = struct.unpack_from('<H', data, self.opt)[0]
        self.sections = []
        table = self.opt + self.optional_size
        for i in range(self.section_count):
            name, vsize, va, rawsize, rawptr = struct.unpack_from('<8sIIII', data, table + 40 * i)
            self.sections.append((name.rstrip(b'\0'), va, max(vsize, rawsize), rawptr, rawsize))

    def offset(self, rva):
        for _, va, size, rawptr, rawsize in self.sections:
            if va <= rva < va + size and rva - va < rawsize:
                return rawptr + rva - va
        raise ValueError('RVA %#x outside the sections' % rva)

    def directory(self, index):
        base = self.opt + (96 if self.magic == 0x10B else 112)
        return struct.unpack_from('<II', self.data, base + 8 * index)


def check_headers(image, arch):
    d, o = image.data, image.opt
    check(image.machine == (0x14C if arch == 32 else 0x8664), 'machine for %d-bit' % arch)
    check(image.magic == (0x10B if arch == 32 else 0x20B), 'optional header kind')
    check(image.timestamp == 0, 'no link time stamp (reproducible build), got %#x' % image.timestamp)
    check(image.characteristics & 0x0002, 'executable image')
    check(not image.characteristics & 0x2000, 'not a DLL')
    major_os, minor_os = struct.unpack_from('<HH', d, o + 40)
    major_sub, minor_sub = struct.unpack_from('<HH', d, o + 48)
    subsystem, dll_characteristics = struct.unpack_from('<HH', d, o + 68)
    check((major_os, minor_os) == (5, 1), 'OS version 5.1, got %d.%d' % (major_os, minor_os))
    check((major_sub, minor_sub) == (5, 1), 'subsystem version 5.1, got %d.%d' % (major_sub, minor_sub))
    check(subsystem == 2, 'GUI subsystem, got %d' % subsystem)
    check(dll_characteristics & 0x0040, 'dynamic base')
    check(dll_characteristics & 0x0100, 'NX compatible')
    check(dll_characteristics & 0x8000, 'terminal-server aware')
    if arch == 32:
        reserve, commit = struct.unpack_from('<II', d, o + 72)
    else:
        reserve, commit = struct.unpack_from('<QQ', d, o + 72)
    check(reserve == 0x100000, 'stack reserve 1 MiB, got %#x' % reserve)
    check(commit == 0x1000, 'stack commit 4 KiB, got %#x' % commit)
    check(image.directory(5)[1] > 0, 'base relocations present (a movable image needs them)')
    check(image.directory(4) == (0, 0), 'no certificate table in the bare stub')


# Every function the stub may import, by DLL, each one that Windows XP's system DLLs
# export. Anything newer has to be looked up at run time (as the DLL search restriction
# and the generation check do); a function beyond the list (something the toolchain's
# headers redirect to, or the C runtime's start-up code, which the stub does without)
# has to be checked against Windows XP before it is added here.
XP_IMPORTS = {
    'kernel32.dll': {
        'CloseHandle', 'CreateProcessW', 'ExitProcess', 'FreeLibrary', 'GetFileAttributesExW', 'GetLastError',
        'GetModuleFileNameW', 'GetModuleHandleW', 'GetProcAddress', 'GetTempFileNameW', 'GetTempPathW',
        'GetVersion', 'LoadLibraryA', 'MultiByteToWideChar', 'SetErrorMode', 'WaitForSingleObject',
        'WideCharToMultiByte'},
    'user32.dll': {'MessageBoxA'},
    'shell32.dll': {'SHFileOperationW', 'SHGetFolderPathW', 'ShellExecuteExW'},
    'advapi32.dll': {'AllocateAndInitializeSid', 'CheckTokenMembership', 'FreeSid'},
    'msvcrt.dll': {
        '_chsize', '_errno', '_fdopen', '_fileno', '_stricmp', '_wfopen', '_wmkdir', '_wopen', '_wremove',
        '_wrename', 'calloc', 'fclose', 'fgetc', 'fread', 'free', 'fseek', 'fwrite', 'malloc', 'memcpy',
        'memmove', 'memset', 'setvbuf', 'strlen', 'wcslen'},
}

# The stub, icons included, within 48 KiB: it travels with every installer. The x86-64
# test build has no such limit.
STUB_SIZE_LIMIT = 48 * 1024


def check_imports(image):
    rva, size = image.directory(1)
    imports = {}
    at = image.offset(rva)
    while True:
        fields = struct.unpack_from('<IIIII', image.data, at)
        if fields == (0, 0, 0, 0, 0):
            break
        start = image.offset(fields[3])
        dll = image.data[start:image.data.index(b'\0', start)].decode().lower()
        functions = imports.setdefault(dll, set())
        # The lookup table (or, without one, the address table) names each function.
        entry = image.offset(fields[0] or fields[4])
        width, ordinal_flag = (4, 1 << 31) if image.magic == 0x10B else (8, 1 << 63)
        while True:
            value = int.from_bytes(image.data[entry:entry + width], 'little')
            if value == 0:
                break
            if value & ordinal_flag:
                functions.add('#%d' % (value & 0xFFFF))
            else:
                name_at = image.offset(value) + 2  # past the hint
                functions.add(image.data[name_at:image.data.index(b'\0', name_at)].decode())
            entry += width
        at += 20
    check(set(imports) <= set(XP_IMPORTS), 'only system DLLs imported (statically linked), got %s' % sorted(imports))
    check('user32.dll' in imports and 'shell32.dll' in imports, 'user32 and shell32 imported')
    for dll, functions in sorted(imports.items()):
        unknown = functions - XP_IMPORTS.get(dll, set())
        check(not unknown, 'imports from %s only the listed Windows XP functions, got also %s' % (dll, sorted(unknown)))


def check_size(image, arch):
    if arch == 32:
        check(len(image.data) <= STUB_SIZE_LIMIT,
              'the stub is at most %d bytes, got %d' % (STUB_SIZE_LIMIT, len(image.data)))


def read_resources(image):
    """{(type, name): [(language, bytes)]}; string names as str, identifiers as int."""
    rva, size = image.directory(2)
    if not check(size > 0, 'resource directory present'):
        return {}
    base = image.offset(rva)
    d = image.data

    def entries(table):
        named, ids = struct.unpack_from('<HH', d, base + table + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from('<II', d, base + table + 16 + 8 * i)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from('<H', d, at)[0]
                name = d[at + 2:at + 2 + 2 * length].decode('utf-16-le')
            yield name, target

    found = {}
    for rtype, t1 in entries(0):
        check(t1 & 0x80000000, 'type level is a directory')
        for name, t2 in entries(t1 & 0x7FFFFFFF):
            for lang, leaf in entries(t2 & 0x7FFFFFFF):
                data_rva, size = struct.unpack_from('<II', d, base + leaf)
                start = image.offset(data_rva)
                found.setdefault((rtype, name), []).append((lang, d[start:start + size]))
    return found


def check_icons(resources):
    sizes = {1: (16, 1128), 2: (32, 4264), 3: (48, 9640)}
    for icon_id, (side, length) in sizes.items():
        images = resources.get((3, icon_id), [])
        if not check(len(images) == 1, 'one icon image %d' % icon_id):
            continue
        data = images[0][1]
        check(len(data) == length, 'icon %d is %d bytes, got %d' % (icon_id, length, len(data)))
        check(not data.startswith(b'\x89PNG'), 'icon %d is not PNG' % icon_id)
        (header, width, height, planes, bits, compression, _, xres, yres, _, _) = struct.unpack_from(
            '<IiiHHIIiiII', data, 0)
        check((header, width, height, planes, bits, compression) == (40, side, 2 * side, 1, 32, 0),
              'icon %d DIB header (40, %d, %d, 1, 32, BI_RGB)' % (icon_id, side, 2 * side))
        check((xres, yres) == (2835, 2835), 'icon %d resolution 2835' % icon_id)
        alpha = {data[40 + 4 * i + 3] for i in range(side * side)}
        check(len(alpha) > 1, 'icon %d has transparency in its alpha channel' % icon_id)
    groups = [key for key in resources if key[0] == 14]
    check(groups == [(14, 'SETUP')], 'one icon group named SETUP, got %s' % groups)
    if groups:
        data = resources[groups[0]][0][1]
        reserved, kind, count = struct.unpack_from('<HHH', data, 0)
        check((reserved, kind, count) == (0, 1, 3), 'icon group header')
        order = []
        for i in range(count):
            w, h, colours, _, planes, bits, length, icon_id = struct.unpack_from('<BBBBHHIH', data, 6 + 14 * i)
            check((colours, planes, bits) == (0, 1, 32), 'group entry %d colours 0, 1 plane, 32 bits' % i)
            check(length == sizes.get(icon_id, (0, -1))[1], 'group entry %d size matches image %d' % (i, icon_id))
            order.append((w, h, icon_id))
        check(order == [(16, 16, 1), (32, 32, 2), (48, 48, 3)], 'group order 16, 32, 48, got %s' % order)


def parse_version_node(data, at):
    """One VS_VERSIONINFO-style node: (key, value bytes, children, end)."""
    length, value_length, kind = struct.unpack_from('<HHH', data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b'\0\0':
        key_end += 2
    key = data[at + 6:key_end].decode('utf-16-le')
    pos = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + value_bytes]
    pos = (pos + value_bytes + 3) & ~3
    children = []
    while pos < end:
        child = parse_version_node(data, pos)
        children.append(child)
        pos = (child[3] + 3) & ~3
    return key, value, children, end


def check_version(resources):
    blocks = resources.get((16, 1), [])
    if not check(len(blocks) == 1, 'one version block, identifier 1'):
        return
    key, fixed, children, _ = parse_version_node(blocks[0][1], 0)
    check(key == 'VS_VERSION_INFO', 'version block key')
    fields = struct.unpack_from('<13I', fixed, 0)
    check(fields[0] == 0xFEEF04BD, 'fixed part signature')
    major, minor, patch = (int(part) for part in VERSION.split('.'))
    packed = (major << 16 | minor, patch << 16)
    check(fields[2:6] == packed + packed, 'file and product version %s.0, got %s' % (VERSION, fields[2:6]))
    check(fields[6:13] == (0x3F, 0, 4, 1, 0, 0, 0), 'flags mask 0x3F, flags 0, OS 4, type 1, subtype 0, date 0')
    names = [c[0] for c in children]
    check(names == ['StringFileInfo', 'VarFileInfo'], 'version children, got %s' % names)
    for name, value, grandchildren, _ in children:
        if name == 'StringFileInfo':
            check([g[0] for g in grandchildren] == ['040904E4'], 'one string table 040904E4')
            strings = [(k, v.decode('utf-16-le').rstrip('\0')) for k, v, _, _ in grandchildren[0][2]]
            keys = [k for k, _ in strings]
            check(keys == ['CompanyName', 'FileDescription', 'FileVersion', 'InternalName', 'LegalCopyright',
                           'ProductName', 'ProductVersion'], 'string keys in order, got %s' % keys)
            values = dict(strings)
            check(values.get('CompanyName') == 'Tolvern', 'maker')
            check(values.get('FileDescription') == 'Orvinta Installer', 'description')
            check(values.get('InternalName') == 'Orvinta Installer', 'internal name')
            check(values.get('FileVersion') == VERSION and values.get('ProductVersion') == VERSION, 'versions')
            check(values.get('ProductName') == 'Orvinta Installer ' + VERSION, 'product name')
            check('Tolvern' in values.get('LegalCopyright', ''), 'legal notice names the maker')
        if name == 'VarFileInfo':
            check(len(grandchildren) == 1 and grandchildren[0][0] == 'Translation', 'Translation value')
            if grandchildren:
                check(struct.unpack('<HH', grandchildren[0][1][:4]) == (0x0409, 0x04E4), 'translation 0409 04E4')


ASM1 = '{urn:schemas-microsoft-com:asm.v1}'
COMPAT = '{urn:schemas-microsoft-com:compatibility.v1}'
TRUST = '{urn:schemas-microsoft.com:asm.v2}'
OS_IDS = [
    ('Windows Vista', '{e2011457-1546-43c5-a5fe-008deee3d3f0}'),
    ('Windows 7', '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}'),
    ('Windows 8', '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}'),
    ('Windows 8.1', '{1f676c76-80e1-4239-95bb-83d0f6d0da78}'),
    ('Windows 10', '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'),
]


def check_manifest(resources):
    found = resources.get((24, 1), [])
    if not check(len(found) == 1, 'one manifest, identifier 1'):
        return
    text = found[0][1]
    check(len(text) == 1537, 'manifest is 1537 bytes, got %d' % len(text))
    check(text.startswith(b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'), 'XML declaration')
    check(b'\n' not in text.replace(b'\r\n', b''), 'every line ends in CR LF')
    text.decode('utf-8')
    root = ET.fromstring(text, parser=ET.XMLParser(target=ET.TreeBuilder(insert_comments=True)))
    check(root.tag == ASM1 + 'assembly' and root.get('manifestVersion') == '1.0', 'root assembly element')
    children = [c for c in root if c.tag is not ET.Comment]
    check([c.tag for c in children] == [COMPAT + 'compatibility', ASM1 + 'assemblyIdentity', ASM1 + 'description',
                                        TRUST + 'trustInfo', ASM1 + 'dependency'],
          'top-level elements in order, got %s' % [c.tag for c in children])
    application = root.find(COMPAT + 'compatibility/' + COMPAT + 'application')
    if check(application is not None, 'compatibility/application'):
        items = list(application)
        pairs = []
        for i, item in enumerate(items):
            if item.tag == COMPAT + 'supportedOS':
                comment = items[i - 1] if i > 0 and items[i - 1].tag is ET.Comment else None
                pairs.append((comment.text.strip() if comment is not None else None, item.get('Id')))
        check(len(pairs) == 5, 'five supportedOS')
        for (comment, guid), (version, expected) in zip(pairs, OS_IDS):
            check(guid == expected, '%s Id' % version)
            check(comment is not None and comment.split(' / ')[0] == version,
                  'comment naming %s before its supportedOS, got %r' % (version, comment))
    identity = root.find(ASM1 + 'assemblyIdentity')
    if check(identity is not None, 'assemblyIdentity'):
        check(dict(identity.attrib) == {'version': '1.0.0.0', 'processorArchitecture': '*',
                                        'name': 'Tolvern.Orvinta.Setup', 'type': 'win32'}, 'own identity')
    check(root.findtext(ASM1 + 'description') == 'Orvinta installer', 'description')
    level = root.find('/'.join(TRUST + p for p in ('trustInfo', 'security', 'requestedPrivileges',
                                                    'requestedExecutionLevel')))
    if check(level is not None, 'requestedExecutionLevel'):
        check(dict(level.attrib) == {'level': 'requireAdministrator', 'uiAccess': 'false'}, 'execution level')
    common = root.find(ASM1 + 'dependency/' + ASM1 + 'dependentAssembly/' + ASM1 + 'assemblyIdentity')
    if check(common is not None, 'dependency'):
        check(dict(common.attrib) == {'type': 'win32', 'name': 'Microsoft.Windows.Common-Controls',
                                      'version': '6.0.0.0', 'processorArchitecture': '*',
                                      'publicKeyToken': '6595b64144ccf1df', 'language': '*'},
              'Common Controls 6 dependency')


def main():
    global VERSION
    path, arch, VERSION = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with open(path, 'rb') as f:
        image = Image(f.read())
    if not failures:
        check_headers(image, arch)
        check_size(image, arch)
        check_imports(image)
        resources = read_resources(image)
        check({key[0] for key in resources} == {3, 14, 16, 24}, 'resource types icon, group, version, manifest')
        for key, items in resources.items():
            check([lang for lang, _ in items] == [1033], 'resource %s only in language 1033' % (key,))
        check_icons(resources)
        check_version(resources)
        check_manifest(resources)
    for failure in failures:
        print('FAILED:', failure)
    print('%s: %s' % (path, 'all properties hold' if not failures else '%d failures' % len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

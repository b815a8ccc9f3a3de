"""Running the installer executable under Wine and observing it from the outside.

Shared by the end-to-end tests: builds installers (with the packing tool, or with the
archive writer here for archives the tool refuses to write), runs them in the tree's
Wine prefix with MessageBoxA traced, and reports the exit code, the message texts,
what the test double of the installed program recorded, and the destination folder.
"""
import os
import re
import shutil
import struct
import subprocess
import time
import zlib

KEY = 0xA7
CAPTION = 'Orvinta Install'
FORMAT_READING = 'Error reading %s, installation file corrupted.\nPlease download Orvinta again.'
FORMAT_CREATING = 'Error creating %s, possibly a file protection problem.\nTry deleting this folder and installing again.'
WINDOWS_DESTINATION = 'C:\\Program Files\\Orvinta'
FAKE_SLEEP_MS = 1200


def pe_arch(path):
    with open(path, 'rb') as f:
        data = f.read(4096)
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    machine = struct.unpack_from('<H', data, pe + 4)[0]
    return {0x14C: 32, 0x8664: 64}[machine]


# ---- archives ---------------------------------------------------------------

class Entry:
    """One local entry. data: the file's content; the other fields override what a
    correct entry would hold, to damage it on purpose."""

    def __init__(self, name, data, method=0, crc=None, name_bytes=None):
        self.name = name
        self.data = data
        self.method = method
        self.crc = crc
        self.name_bytes = name_bytes if name_bytes is not None else name.encode('utf-8')

    def encode(self):
        if self.method == 8:
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            payload = packer.compress(self.data) + packer.flush()
        else:
            payload = self.data
        crc = zlib.crc32(self.data) if self.crc is None else self.crc
        header = struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, 0, self.method, 0x6000, 0x5A21, crc,
                             len(payload), len(self.data), len(self.name_bytes), 0)
        return header + self.name_bytes, payload


def scramble(data):
    return bytes(b ^ KEY for b in data)


def write_installer(path, stub, entries, trailer=b''):
    """stub + the scrambled entries (no central directory) + trailer (unscrambled).
    Returns the file offsets (header, data, end) of each entry."""
    with open(stub, 'rb') as f:
        out = bytearray(f.read())
    layout = []
    for entry in entries:
        header, payload = entry.encode()
        start = len(out)
        out += scramble(header)
        data_at = len(out)
        out += scramble(payload)
        layout.append((start, data_at, len(out)))
    out += trailer
    with open(path, 'wb') as f:
        f.write(out)
    return layout


def stub_options(stub):
    """What the packing tool needs to accept the stub: the x86-64 test build only by name."""
    return ['--x86-64-test-stub'] if pe_arch(stub) == 64 else []


def pack_installer(pack, path, stub, folder, options=()):
    """Builds the installer with the packing tool from every file in folder."""
    files = sorted(os.path.join(folder, name) for name in os.listdir(folder))
    result = subprocess.run([pack, 'build', '--stub', stub, '--out', path] + stub_options(stub) + list(options) + files,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise RuntimeError('orvinta-pack failed: ' + result.stdout)


# ---- Wine ---------------------------------------------------------------------

RELAY_CALL = re.compile(r'Call user32\.MessageBoxA\((.*)\) ret=')
# Every test sets the same list, so that tests sharing the prefix never take each other's
# trace away: the message boxes, the DLL search restriction, and the two calls that the
# restriction must come before (the elevation check's GetVersion and LoadLibraryA).
RELAY_INCLUDE = ';'.join(['user32.MessageBoxA', 'kernel32.SetDefaultDllDirectories', 'kernel32.SetDllDirectoryW',
                          'kernel32.GetVersion', 'kernel32.LoadLibraryA'])
KERNEL_CALL = re.compile(r'^([0-9a-f]+):(Call|Ret) +KERNEL32\.(\w+)\((.*?)\)(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)',
                         re.IGNORECASE)
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')


def unescape(text):
    """Undoes the escaping of strings in Wine's debug output."""
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c != '\\':
            out += c.encode('latin-1')
            i += 1
            continue
        n = text[i + 1]
        if n == 'x':
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
            continue
        out += {'n': b'\n', 'r': b'\r', 't': b'\t', '\\': b'\\', '"': b'"'}.get(n, n.encode('latin-1'))
        i += 2
    return out.decode('utf-8', 'replace')


class Outcome:
    def __init__(self):
        self.exit_code = None
        self.messages = []       # (text, caption) of every MessageBoxA call
        self.fake_log = None     # what the test double recorded, or None when it never ran
        self.waited = None       # installer still running while the double slept
        self.kernel_calls = []   # (thread, 'Call' or 'Ret', function, arguments, retval) traced in kernel32
        self.seconds = 0.0


class Wine:
    def __init__(self, arch):
        self.arch = arch
        default_loader = '/usr/lib/wine/wine' if arch == 32 else '/usr/lib/wine/wine64'
        self.loader = os.environ.get('ORVINTA_WINE') or default_loader
        self.prefix = os.environ.get('WINEPREFIX')
        if not self.prefix:
            raise RuntimeError('WINEPREFIX is not set: run through ctest of a Windows tree')
        self.env = dict(os.environ)
        self.env.pop('DISPLAY', None)
        self.env.pop('WAYLAND_DISPLAY', None)
        self.env['WINEDLLOVERRIDES'] = 'mscoree,mshtml='
        if arch == 64:
            self.env['WINELOADER'] = self.loader

    def command(self, args, extra_env=None, debug='-all', **kwargs):
        env = dict(self.env, WINEDEBUG=debug)
        env.update(extra_env or {})
        return subprocess.run([self.loader] + args, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)

    def prepare(self):
        """Boots the prefix and turns the relay trace on for MessageBoxA alone."""
        self.command(['wineboot'], timeout=300)
        self.command(['reg', 'add', 'HKCU\\Software\\Wine\\Debug', '/v', 'RelayInclude', '/t', 'REG_SZ',
                      '/d', RELAY_INCLUDE, '/f'], timeout=120)

    def program_files(self):
        base = os.path.join(self.prefix, 'drive_c')
        wow = os.path.join(base, 'Program Files (x86)')
        if self.arch == 32 and os.path.isdir(wow):
            return wow
        return os.path.join(base, 'Program Files')

    def destination(self):
        return os.path.join(self.program_files(), 'Orvinta')

    def windows_path(self, unix_path):
        """How Wine names a file outside the prefix: through drive Z:, the root."""
        return 'Z:' + os.path.abspath(unix_path).replace('/', '\\')

    def run_installer(self, exe, cwd, fake_log, timeout=300, sleep_ms=FAKE_SLEEP_MS):
        outcome = Outcome()
        if os.path.exists(fake_log):
            os.remove(fake_log)
        env = dict(self.env, WINEDEBUG='+relay', ORVINTA_FAKE_LOG=self.windows_path(fake_log),
                   ORVINTA_FAKE_SLEEP_MS=str(sleep_ms))
        start = time.monotonic()
        process = subprocess.Popen([self.loader, exe], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        trace = []
        # The relay trace goes to stderr; read it on the side while watching the double.
        import threading
        reader = threading.Thread(target=lambda: trace.append(process.stderr.read()))
        reader.start()
        while process.poll() is None and time.monotonic() - start < timeout:
            log = read_text(fake_log)
            if log is not None and 'start\n' in log and 'end\n' not in log and outcome.waited is None:
                outcome.waited = process.poll() is None
            time.sleep(0.05)
        if process.poll() is None:
            process.kill()
            raise RuntimeError('installer did not end within %d s' % timeout)
        reader.join()
        outcome.seconds = time.monotonic() - start
        outcome.exit_code = process.returncode
        outcome.fake_log = read_text(fake_log)
        for line in trace[0].decode('latin-1').splitlines():
            kernel = KERNEL_CALL.search(line)
            if kernel:
                thread, kind, function, arguments, retval, _ = kernel.groups()
                outcome.kernel_calls.append((thread, kind, function, arguments,
                                             int(retval, 16) if retval else None))
                continue
            call = RELAY_CALL.search(line)
            if call:
                strings = [unescape(s) for s in QUOTED.findall(call.group(1))]
                outcome.messages.append(tuple(strings))
        return outcome


def read_text(path):
    try:
        with open(path, 'rb') as f:
            return f.read().decode('utf-8', 'replace').replace('\r\n', '\n')
    except OSError:
        return None


def parse_fake_log(text):
    fields = {}
    for line in (text or '').splitlines():
        key, sep, value = line.partition('=')
        if sep:
            fields[key] = value
    return fields


def folder_contents(folder):
    """{relative path: bytes} of every file below folder, or None when it is missing."""
    if not os.path.isdir(folder):
        return None
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, 'rb') as f:
                found[os.path.relpath(path, folder)] = f.read()
        for name in dirs:
            found.setdefault(os.path.relpath(os.path.join(root, name), folder) + '/', None)
    return found


def reset_folder(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)

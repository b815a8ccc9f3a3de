#!/usr/bin/env python3
"""End-to-end tests of the installer executable under Wine.

usage: run_installer_tests.py --stub orvinta-setup.exe --fake fake-program.exe --work DIR
                              [--pack orvinta-pack] [--only NAME...]

Every case builds an installer, runs it in the tree's Wine prefix and checks from the
outside: the destination folder's files byte for byte, the message box texts (relay
trace of MessageBoxA), the exit code, and the test double of the installed program
(command line, current directory, and that the installer waited for it).
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from installer_wine import (CAPTION, FAKE_SLEEP_MS, FORMAT_CREATING, FORMAT_READING, WINDOWS_DESTINATION, Entry, Wine,  # noqa: E402
                            folder_contents, pack_installer, parse_fake_log, pe_arch, reset_folder,
                            stub_options, write_installer)


class Failed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failed(what)


def text_payload(size, seed):
    rng = random.Random(seed)
    words = ['alpha', 'beta', 'gamma', 'orvinta', 'install', 'file', 'data', 'line']
    out = []
    total = 0
    while total < size:
        line = ' '.join(rng.choice(words) for _ in range(8)) + '\n'
        out.append(line)
        total += len(line)
    return ''.join(out).encode()[:size]


def random_payload(size, seed):
    return random.Random(seed).randbytes(size)


class Suite:
    def __init__(self, args):
        self.stub = os.path.abspath(args.stub)
        self.fake = os.path.abspath(args.fake)
        self.pack = os.path.abspath(args.pack) if args.pack and os.path.exists(args.pack) else None
        self.work = os.path.abspath(args.work)
        self.arch = pe_arch(self.stub)
        self.wine = Wine(self.arch)
        with open(self.fake, 'rb') as f:
            self.fake_bytes = f.read()
        reset_folder(self.work)
        self.cwd = os.path.join(self.work, 'start here')  # the installer's current directory
        os.makedirs(self.cwd)
        self.fake_log = os.path.join(self.work, 'fake.log')
        self.count = 0

    # -- helpers --

    def installer_path(self, name):
        return os.path.join(self.work, name + '.exe')

    def packed(self, name, files, pack_options=()):
        """An installer built by the packing tool (or, without it, by the writer here)."""
        folder = os.path.join(self.work, name + '.payload')
        reset_folder(folder)
        for file_name, data in files.items():
            with open(os.path.join(folder, file_name), 'wb') as f:
                f.write(data)
        path = self.installer_path(name)
        if self.pack:
            pack_installer(self.pack, path, self.stub, folder, pack_options)
        else:
            entries = [Entry(n, d, 8 if n.endswith('.txt') else 0) for n, d in sorted(files.items())]
            write_installer(path, self.stub, entries)
        return path

    def written(self, name, entries, trailer=b''):
        path = self.installer_path(name)
        layout = write_installer(path, self.stub, entries, trailer)
        return path, layout

    def run(self, exe, cwd=None):
        self.count += 1
        return self.wine.run_installer(exe, cwd or self.cwd, self.fake_log)

    def run_with_program_files(self, exe, folder, cwd=None):
        """Runs the installer while the prefix's Program Files setting holds folder."""
        key = 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion'
        query = self.wine.command(['reg', 'query', key, '/v', 'ProgramFilesDir'], timeout=120)
        original = [line.split('REG_SZ', 1)[1].strip() for line in query.stdout.decode('latin-1').splitlines()
                    if 'ProgramFilesDir' in line and 'REG_SZ' in line]
        expect(len(original) == 1 and original[0], 'ProgramFilesDir readable: %r' % query.stdout)
        try:
            self.wine.command(['reg', 'add', key, '/v', 'ProgramFilesDir', '/t', 'REG_SZ', '/d', folder, '/f'],
                              timeout=120)
            return self.run(exe, cwd)
        finally:
            self.wine.command(['reg', 'add', key, '/v', 'ProgramFilesDir', '/t', 'REG_SZ', '/d', original[0], '/f'],
                              timeout=120)

    def destination(self):
        return folder_contents(self.wine.destination())

    def expect_program_ran(self, outcome):
        fields = parse_fake_log(outcome.fake_log)
        expect(outcome.fake_log is not None, 'the installed program was not started')
        expect(fields.get('command_line') == 'orvinta.exe /install',
               'command line %r' % fields.get('command_line'))
        expected_cwd = self.wine.windows_path(self.cwd)
        expect(fields.get('current_directory', '').lower() == expected_cwd.lower(),
               'current directory %r, expected the installer\'s %r' % (fields.get('current_directory'), expected_cwd))
        expect(outcome.waited is True, 'the installer did not wait while the program ran')
        expect('end\n' in outcome.fake_log, 'the installer ended before the program did')
        expect(outcome.seconds >= FAKE_SLEEP_S, 'installer ended after %.2f s' % outcome.seconds)

    def expect_messages(self, outcome, texts):
        expect([m[0] for m in outcome.messages] == texts, 'messages %r, expected %r' % (outcome.messages, texts))
        for message in outcome.messages:
            expect(len(message) == 2 and message[1] == CAPTION, 'caption of %r' % (message,))

    def reading_message(self, exe):
        return FORMAT_READING % self.wine.windows_path(exe)

    def expect_clean_install(self, outcome, files, what):
        """Exit code 0, no message, the destination holding exactly the files, the program run."""
        expect(outcome.exit_code == 0, 'exit code %s' % outcome.exit_code)
        self.expect_messages(outcome, [])
        expect(self.destination() == files, '%s leaves exactly the payload, byte for byte: %s'
               % (what, sorted((self.destination() or {}).keys())))
        self.expect_program_ran(outcome)

    # -- cases --

    def case_normal_install(self):
        files = {
            'orvinta.exe': self.fake_bytes,
            'empty.bin': b'',
            'one.bin': b'\x01',
            'chunk.bin': random_payload(8192, 1),
            'chunk-plus-one.bin': random_payload(8193, 2),
            'random.bin': random_payload(200000, 3),
            'small.txt': text_payload(1000, 4),
            'large.txt': text_payload(700000, 5),
            # Names that are not ASCII carry the UTF-8 flag (bit 11), which the installer ignores.
            'donn\u00e9es.txt': text_payload(3000, 16),
            '\u043e\u0442\u0447\u0451\u0442.bin': random_payload(500, 17),
        }
        exe = self.packed('normal', files)
        if self.pack:  # the case is about both kinds of entry: make sure the tool wrote both
            listing = subprocess.run([self.pack, 'list'] + stub_options(self.stub) + [exe], stdout=subprocess.PIPE,
                                     text=True).stdout
            expect(' stored ' in listing and ' deflate ' in listing, 'stored and deflated entries:\n' + listing)
        reset_folder(self.wine.destination())
        self.expect_clean_install(self.run(exe), files, 'the installation')

    def case_second_run_replaces_everything(self):
        files = {'orvinta.exe': self.fake_bytes, 'a.txt': text_payload(5000, 6), 'b.bin': random_payload(3000, 7)}
        exe = self.packed('second', files)
        outcome = self.run(exe)
        expect(outcome.exit_code == 0 and self.destination() == files, 'first run')
        destination = self.wine.destination()
        with open(os.path.join(destination, 'a.txt'), 'wb') as f:
            f.write(b'changed since the first run')
        with open(os.path.join(destination, 'stale.dat'), 'wb') as f:
            f.write(b'not in the archive')
        os.makedirs(os.path.join(destination, 'old folder'))
        with open(os.path.join(destination, 'old folder', 'inner.txt'), 'wb') as f:
            f.write(b'below a folder')
        self.expect_clean_install(self.run(exe), files, 'the second run')

    def case_no_archive(self):
        exe = self.installer_path('bare')
        shutil.copyfile(self.stub, exe)
        destination = self.wine.destination()
        reset_folder(destination)
        with open(os.path.join(destination, 'orvinta.exe'), 'wb') as f:
            f.write(self.fake_bytes)  # would run if the installer went on regardless
        outcome = self.run(exe)
        expect(outcome.exit_code == 0, 'exit code %s' % outcome.exit_code)
        self.expect_messages(outcome, [self.reading_message(exe)])
        expect(self.destination() == {}, 'destination exists and is empty: %r' % self.destination())
        expect(outcome.fake_log is None, 'the program was started')

    def case_folder_entry(self):
        for name in ('sub/', 'sub/inner.txt'):
            exe, _ = self.written('folder', [Entry('orvinta.exe', self.fake_bytes), Entry('a.txt', b'first'),
                                             Entry(name, b'' if name.endswith('/') else b'inner'),
                                             Entry('z.txt', b'never written')])
            outcome = self.run(exe)
            expect(outcome.exit_code == 0, '%s: exit code %s' % (name, outcome.exit_code))
            self.expect_messages(outcome, [FORMAT_CREATING % (WINDOWS_DESTINATION + '\\' + name)])
            expect(self.destination() == {'orvinta.exe': self.fake_bytes, 'a.txt': b'first'},
                   '%s: destination %s' % (name, sorted(self.destination())))
            self.expect_program_ran(outcome)

    def case_unsafe_names(self):
        drive_c = os.path.join(self.wine.prefix, 'drive_c')
        for name in ('../escape1.txt', '..\\escape2.txt', 'sub/../../escape3.txt', '/escape4.txt',
                     '\\escape5.txt', 'C:escape6.txt', 'a.txt:escape7', '.. /escape8.txt'):
            exe, _ = self.written('unsafe', [Entry('orvinta.exe', self.fake_bytes), Entry(name, b'evil'),
                                             Entry('after.txt', b'after')])
            outcome = self.run(exe)
            expect(outcome.exit_code == 0, '%s: exit code %s' % (name, outcome.exit_code))
            self.expect_messages(outcome, [FORMAT_CREATING % (WINDOWS_DESTINATION + '\\' + name)])
            expect(self.destination() == {'orvinta.exe': self.fake_bytes},
                   '%s: destination %s' % (name, sorted(self.destination())))
            for root in (drive_c, self.work):
                for _, _, found in os.walk(root):
                    expect(not [f for f in found if 'escape' in f], '%s: a file was written outside: %s'
                           % (name, [f for f in found if 'escape' in f]))
            self.expect_program_ran(outcome)

    def case_crc_mismatch(self):
        bad_data = text_payload(40000, 8)
        exe, _ = self.written('crc', [Entry('orvinta.exe', self.fake_bytes), Entry('good.txt', b'good', 8),
                                      Entry('bad.txt', bad_data, 8, crc=0x12345678),
                                      Entry('after.txt', b'after', 8)])
        outcome = self.run(exe)
        expect(outcome.exit_code == 0, 'exit code %s' % outcome.exit_code)
        self.expect_messages(outcome, [self.reading_message(exe)])
        found = self.destination()
        expect(sorted(found) == ['bad.txt', 'good.txt', 'orvinta.exe'], 'destination %s' % sorted(found))
        expect(found['good.txt'] == b'good', 'good.txt intact')
        self.expect_program_ran(outcome)

    def case_cut_inside_data(self):
        exe, layout = self.written('cut', [Entry('orvinta.exe', self.fake_bytes), Entry('a.txt', b'alpha'),
                                           Entry('big.bin', text_payload(300000, 9), 8)])
        _, data_at, end = layout[2]
        with open(exe, 'r+b') as f:
            f.truncate((data_at + end) // 2)
        outcome = self.run(exe)
        expect(outcome.exit_code == 0, 'exit code %s' % outcome.exit_code)
        self.expect_messages(outcome, [self.reading_message(exe)])
        found = self.destination()
        expect(sorted(found) == ['a.txt', 'big.bin', 'orvinta.exe'], 'destination %s' % sorted(found))
        self.expect_program_ran(outcome)

    def case_garbage_behind_entry(self):
        garbage = random.Random(10).randbytes(500)
        exe, _ = self.written('garbage', [Entry('orvinta.exe', self.fake_bytes), Entry('a.txt', b'alpha', 8)],
                              trailer=garbage)
        outcome = self.run(exe)
        expect(outcome.exit_code == 0, 'exit code %s' % outcome.exit_code)
        self.expect_messages(outcome, [])
        expect(self.destination() == {'orvinta.exe': self.fake_bytes, 'a.txt': b'alpha'},
               'destination %s' % sorted(self.destination()))
        self.expect_program_ran(outcome)

    def case_own_path_too_long(self):
        # An installer whose path does not fit 255 UTF-16 units cannot name its own file;
        # one whose UTF-8 path does not fit 255 bytes still installs, and its messages
        # then carry an empty path. Nothing of it may be written beyond a buffer.
        files = {'orvinta.exe': self.fake_bytes, 'a.txt': b'alpha'}
        exe = self.packed('long', files)
        deep = os.path.join(self.work, *(['d' * 60] * 5))
        os.makedirs(deep)
        long_exe = os.path.join(deep, 'setup.exe')
        shutil.copyfile(exe, long_exe)
        expect(len(self.wine.windows_path(long_exe)) > 255, 'path long enough')
        reset_folder(self.wine.destination())
        outcome = self.run(long_exe)
        expect(outcome.exit_code == 0, 'long path: exit code %s' % outcome.exit_code)
        self.expect_messages(outcome, [FORMAT_READING % ''])
        expect(self.destination() == {}, 'long path: destination %r' % self.destination())
        expect(outcome.fake_log is None, 'long path: the program was started')

        wide = os.path.join(self.work, '\u00e9' * 110)  # 110 units, 220 bytes of UTF-8
        os.makedirs(wide)
        wide_exe = os.path.join(wide, 'setup.exe')
        shutil.copyfile(exe, wide_exe)
        expect(len(self.wine.windows_path(wide_exe)) < 256 < len(self.wine.windows_path(wide_exe).encode()),
               'path fits in units but not in UTF-8 bytes')
        outcome = self.run(wide_exe)
        expect(outcome.exit_code == 0 and outcome.messages == [], 'wide path: %s %r' % (outcome.exit_code, outcome.messages))
        expect(self.destination() == files, 'wide path: destination %s' % sorted(self.destination() or {}))
        self.expect_program_ran(outcome)
        bare = os.path.join(wide, 'bare.exe')
        shutil.copyfile(self.stub, bare)
        outcome = self.run(bare)
        self.expect_messages(outcome, [FORMAT_READING % ''])

    def serial_case_unknown_program_files(self):
        # With no Program Files folder the destination would be "\Orvinta" at the root of
        # the current drive; the installer must touch nothing there and say where it
        # would have installed. Changes the prefix's machine-wide setting for a moment,
        # so it runs only when no other test does.
        files = {'orvinta.exe': self.fake_bytes, 'a.txt': b'alpha'}
        exe = self.packed('unknown', files)
        # Started from a folder on C:, so that "the root of the current drive" lies inside
        # the prefix, where a decoy folder of that name shows any deletion or writing.
        drive_c = os.path.join(self.wine.prefix, 'drive_c')
        cwd = os.path.join(drive_c, 'orvinta-test-start')
        reset_folder(cwd)
        decoy = os.path.join(drive_c, 'Orvinta')
        reset_folder(decoy)
        with open(os.path.join(decoy, 'keep.txt'), 'wb') as f:
            f.write(b'not the installer\'s to delete')
        outcome = self.run_with_program_files(exe, '', cwd)
        try:
            expect(outcome.exit_code == 1, 'exit code %s' % outcome.exit_code)
            self.expect_messages(outcome, [FORMAT_CREATING % '\\Orvinta'])
            expect(folder_contents(decoy) == {'keep.txt': b'not the installer\'s to delete'},
                   'the folder at the drive root was changed: %r' % folder_contents(decoy))
            expect(outcome.fake_log is None, 'the program was started')
        finally:
            shutil.rmtree(decoy, ignore_errors=True)
            shutil.rmtree(cwd, ignore_errors=True)

    def serial_case_program_files_too_long(self):
        # A Program Files folder that fits its own buffer but leaves no room for
        # "\Orvinta": nothing may be created under a cut name; message 2 names the part
        # that fits.
        exe = self.packed('toolong', {'orvinta.exe': self.fake_bytes, 'a.txt': b'alpha'})
        long_name = 'p' * 247
        long_folder = os.path.join(self.wine.prefix, 'drive_c', long_name)
        reset_folder(long_folder)
        outcome = self.run_with_program_files(exe, 'C:\\' + long_name)
        try:
            expect(outcome.exit_code == 0, 'exit code %s' % outcome.exit_code)
            expect(len(outcome.messages) == 1, 'messages %r' % outcome.messages)
            text = outcome.messages[0][0]
            prefix = FORMAT_CREATING.split('%s')[0] + 'C:\\' + long_name
            expect(text == prefix[:255], 'message %r, expected the first 255 bytes of %r' % (text, prefix))
            expect(os.listdir(long_folder) == [], 'created below the long folder: %s' % os.listdir(long_folder))
            expect(outcome.fake_log is None, 'the program was started')
        finally:
            shutil.rmtree(long_folder, ignore_errors=True)

    def case_dll_search_restricted_first(self):
        # Before anything else the installer limits the DLL search to the system folder:
        # the first kernel32 call traced in its thread is SetDefaultDllDirectories with
        # LOAD_LIBRARY_SEARCH_SYSTEM32, ahead of the elevation check's GetVersion and
        # LoadLibraryA, and the installation goes on as usual.
        files = {'orvinta.exe': self.fake_bytes, 'a.txt': text_payload(2000, 13)}
        exe = self.packed('hardened', files)
        reset_folder(self.wine.destination())
        outcome = self.run(exe)
        self.expect_clean_install(outcome, files, 'the hardened installation')
        expect(outcome.kernel_calls, 'no kernel32 call traced')
        installer_thread = outcome.kernel_calls[0][0]
        calls = [c[1:] for c in outcome.kernel_calls if c[0] == installer_thread]
        expect(calls[0][:2] == ('Call', 'SetDefaultDllDirectories') and int(calls[0][2], 16) == 0x800,
               'first call %r, expected SetDefaultDllDirectories(00000800)' % (calls[0],))
        expect(calls[1][:2] == ('Ret', 'SetDefaultDllDirectories') and calls[1][3] == 1,
               'SetDefaultDllDirectories returned %r' % (calls[1],))
        later = [c[1] for c in calls[2:] if c[0] == 'Call']
        expect('GetVersion' in later and 'LoadLibraryA' in later, 'the elevation check ran afterwards: %r' % later)
        expect('SetDllDirectoryW' not in later, 'the fallback ran although the first call succeeded')

    def case_signed_installer(self):
        # A signed installer (signature behind the archive) installs like any other.
        if not self.pack:
            raise Failed('the packing tool is needed to sign (configure with ORVINTA_HOST_BUILD)')
        cert = os.path.join(self.work, 'signing-cert.pem')
        key = os.path.join(self.work, 'signing-key.pem')
        made = subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key,
                               '-out', cert, '-days', '2', '-subj', '/CN=Orvinta Test Signing'],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        expect(made.returncode == 0, 'openssl could not make a test certificate: ' + made.stdout)
        files = {'orvinta.exe': self.fake_bytes, 'notes.txt': text_payload(30000, 14),
                 'data.bin': random_payload(50000, 15)}
        exe = self.packed('signed', files, ['--sign-cert', cert, '--sign-key', key])
        checked = subprocess.run([self.pack, 'verify', '--ca-file', cert] + stub_options(self.stub) + [exe],
                                 stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
        expect(checked.returncode == 0 and 'signature verified' in checked.stdout, checked.stdout)
        reset_folder(self.wine.destination())
        self.expect_clean_install(self.run(exe), files, 'the signed installer')

    def case_no_program(self):
        files = {'a.txt': text_payload(3000, 11), 'b.bin': random_payload(100, 12)}
        exe = self.packed('noprogram', files)
        outcome = self.run(exe)
        expect(outcome.exit_code == 0, 'exit code %s' % outcome.exit_code)
        self.expect_messages(outcome, [])
        expect(self.destination() == files, 'destination %s' % sorted(self.destination()))
        expect(outcome.fake_log is None, 'a program was started')


FAKE_SLEEP_S = FAKE_SLEEP_MS / 1000.0

CASES = [name for name in dir(Suite) if name.startswith('case_')]
SERIAL_CASES = [name for name in dir(Suite) if name.startswith('serial_case_')]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True)
    parser.add_argument('--fake', required=True)
    parser.add_argument('--work', required=True)
    parser.add_argument('--pack')
    parser.add_argument('--only', nargs='*')
    parser.add_argument('--serial', action='store_true',
                        help='run the cases that change the prefix for everyone, and only those')
    args = parser.parse_args()
    suite = Suite(args)
    print('installer: %s (%d-bit), prefix %s, packing tool %s' % (
        suite.stub, suite.arch, suite.wine.prefix, suite.pack or 'missing: archives written by the test'))
    suite.wine.prepare()
    failures = 0
    for name in sorted(SERIAL_CASES if args.serial else CASES, key=lambda n: getattr(Suite, n).__code__.co_firstlineno):
        label = name.split('case_', 1)[1]
        if args.only and label not in args.only:
            continue
        try:
            getattr(suite, name)()
            print('PASS', label)
        except Failed as failure:
            failures += 1
            print('FAIL %s: %s' % (label, failure))
        except Exception:
            failures += 1
            print('ERROR', label)
            traceback.print_exc()
    print('%d installer runs, %d failures' % (suite.count, failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

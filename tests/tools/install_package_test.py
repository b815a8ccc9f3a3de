"""The host tree as vendors get it: `cmake --install` into a fresh prefix, and the Debian
package that `--target package` writes, each checked for its files and then used: the
installed (or unpacked) tool packs without --stub, and the CMake package is found by
version.

  install_package_test.py install --tree BUILD --work DIR --version V
  install_package_test.py package --tree BUILD --work DIR --version V --man PAGE
"""
import argparse
import gzip
import os
import re
import shutil
import stat
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from script_checks import check, failures  # noqa: E402

STUB_NAME = 'orvinta-setup.exe'
TOOL_COMMANDS = ['build', 'list', 'verify', 'extract']


def run(args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def files_under(root):
    """Every file below root, relative, with its permission bits."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = stat.S_IMODE(os.lstat(path).st_mode)
    return found


def is_32_bit_windows_program(path):
    with open(path, 'rb') as f:
        head = f.read(4096)
    if head[:2] != b'MZ' or len(head) < 64:
        return False
    pe = struct.unpack_from('<I', head, 0x3C)[0]
    return head[pe:pe + 4] == b'PE\0\0' and struct.unpack_from('<H', head, pe + 4)[0] == 0x14C


def check_packs_with_its_own_stub(tool, stub, work, label):
    """The tool packs a payload without --stub onto the stub beside it; list reads it back."""
    payload = os.path.join(work, 'payload-' + label)
    os.makedirs(payload)
    contents = {'orvinta.exe': b'MZ program' * 500, 'readme.txt': b'installed by the test\n' * 300}
    for name, data in contents.items():
        with open(os.path.join(payload, name), 'wb') as f:
            f.write(data)
    out = os.path.join(work, 'setup-' + label + '.exe')
    result = run([tool, 'build', '--out', out, payload])
    if not check(result.returncode == 0, '%s: build without --stub failed: %s' % (label, result.stderr)):
        return
    with open(stub, 'rb') as f:
        stub_bytes = f.read()
    with open(out, 'rb') as f:
        installer = f.read()
    check(installer.startswith(stub_bytes) and len(installer) > len(stub_bytes),
          '%s: the installer does not begin with the stub at %s' % (label, stub))
    listing = run([tool, 'list', out])
    check(listing.returncode == 0 and all('"%s"' % name in listing.stdout for name in contents),
          '%s: list does not show the packed files: %s%s' % (label, listing.stdout, listing.stderr))


def check_man_page_covers_options(tool, page_text, label):
    """Every option in the usage of every command appears in the man page."""
    for command in TOOL_COMMANDS:
        usage = run([tool, command, '--help']).stdout
        for option in sorted(set(re.findall(r'--[a-z0-9][a-z0-9-]*', usage))):
            if option == '--help':
                continue
            check(option.replace('-', r'\-') in page_text or option in page_text,
                  '%s: the man page does not describe %s of %s' % (label, option, command))


def check_find_package(prefix, work, version):
    """find_package by version: the same major version is found, the next one is not."""
    major = int(version.split('.')[0])
    for wanted, found in (('%d.0' % major, True), (version, True), ('%d.0' % (major + 1), False)):
        project = os.path.join(work, 'find-%s' % wanted)
        os.makedirs(project)
        with open(os.path.join(project, 'CMakeLists.txt'), 'w') as f:
            f.write('cmake_minimum_required(VERSION 3.20)\nproject(Probe LANGUAGES NONE)\n'
                    'find_package(OrvintaPack %s CONFIG)\n'
                    'if(OrvintaPack_FOUND)\n'
                    '  get_target_property(configs OrvintaPack::orvinta-pack IMPORTED_CONFIGURATIONS)\n'
                    '  list(GET configs 0 config)\n'
                    '  get_target_property(tool OrvintaPack::orvinta-pack IMPORTED_LOCATION_${config})\n'
                    '  message(STATUS "found ${OrvintaPack_VERSION} tool=${tool} stub=${OrvintaPack_STUB}")\n'
                    '  if(NOT COMMAND orvinta_add_installer)\n'
                    '    message(FATAL_ERROR "no orvinta_add_installer")\n'
                    '  endif()\n'
                    'endif()\n' % wanted)
        result = run(['cmake', '-S', project, '-B', os.path.join(project, 'build'),
                      '-DCMAKE_PREFIX_PATH=' + prefix])
        line = re.search(r'found (\S+) tool=(\S*) stub=(\S*)', result.stdout)
        if found:
            check(result.returncode == 0 and line is not None,
                  'find_package(OrvintaPack %s) did not find it: %s' % (wanted, result.stdout + result.stderr))
            if line:
                check(line.group(1) == version, 'OrvintaPack_VERSION is %s, not %s' % (line.group(1), version))
                check(os.path.realpath(line.group(2)) == os.path.realpath(os.path.join(prefix, 'bin/orvinta-pack')),
                      'OrvintaPack::orvinta-pack is %s' % line.group(2))
                check(os.path.realpath(line.group(3)) ==
                      os.path.realpath(os.path.join(prefix, 'share/orvinta', STUB_NAME)),
                      'OrvintaPack_STUB is %s' % line.group(3))
        else:
            check(result.returncode == 0 and line is None,
                  'find_package(OrvintaPack %s) found version %s' % (wanted, version))


def check_function_refusals(prefix, work):
    """orvinta_add_installer refuses calls it cannot honour while the project is configured."""
    cases = [
        ('FILES a', 'OUTPUT and FILES are required'),
        ('OUTPUT s.exe FILES a SIGN_CERT c.pem', 'SIGN_CERT and SIGN_KEY go together'),
        ('OUTPUT s.exe FILES a SIGN_CERT c.pem SIGN_KEY k.pem SIGN_PKCS12 p.p12', 'not both'),
        ('OUTPUT s.exe FILES a TIMESTAMP_URL http://localhost/', 'need SIGN_CERT and SIGN_KEY or SIGN_PKCS12'),
        ('OUTPUT s.exe LEVLE 3 FILES a', 'unknown arguments LEVLE;3'),
        ('OUTPUT s.exe FILES a JOBS', 'JOBS given without a value'),
    ]
    for number, (arguments, message) in enumerate(cases):
        project = os.path.join(work, 'refusal-%d' % number)
        os.makedirs(project)
        with open(os.path.join(project, 'CMakeLists.txt'), 'w') as f:
            f.write('cmake_minimum_required(VERSION 3.20)\nproject(Probe LANGUAGES NONE)\n'
                    'find_package(OrvintaPack 1.0 CONFIG REQUIRED)\n'
                    'orvinta_add_installer(setup %s)\n' % arguments)
        result = run(['cmake', '-S', project, '-B', os.path.join(project, 'build'), '-DCMAKE_PREFIX_PATH=' + prefix])
        output = ' '.join((result.stdout + result.stderr).split())
        check(result.returncode != 0 and message in output,
              'orvinta_add_installer(setup %s) was not refused with "%s": %s' % (arguments, message, output))


def test_install(args):
    prefix = os.path.join(args.work, 'prefix')
    result = run(['cmake', '--install', args.tree, '--prefix', prefix])
    print(result.stdout, end='')
    if not check(result.returncode == 0, 'cmake --install failed: ' + result.stderr):
        return
    installed = files_under(prefix)
    cmake_dir = 'lib/cmake/OrvintaPack/'
    expected = {
        'bin/orvinta-pack': 0o755,
        'share/man/man1/orvinta-pack.1': 0o644,
        'share/orvinta/' + STUB_NAME: 0o644,
        cmake_dir + 'OrvintaPackConfig.cmake': 0o644,
        cmake_dir + 'OrvintaPackConfigVersion.cmake': 0o644,
        cmake_dir + 'OrvintaAddInstaller.cmake': 0o644,
        cmake_dir + 'OrvintaPackRun.cmake': 0o644,
        cmake_dir + 'OrvintaPackTargets.cmake': 0o644,
    }
    per_config = [p for p in installed if re.fullmatch(re.escape(cmake_dir) + r'OrvintaPackTargets-\w+\.cmake', p)]
    check(len(per_config) == 1, 'expected one per-configuration targets file, found %s' % per_config)
    for path in per_config:
        expected[path] = 0o644
    for path, mode in sorted(expected.items()):
        check(installed.get(path) == mode, '%s: %s, not mode %o' % (
            path, 'missing' if path not in installed else 'mode %o' % installed[path], mode))
    for path in sorted(set(installed) - set(expected)):
        check(False, 'installed but not expected: ' + path)

    tool = os.path.join(prefix, 'bin/orvinta-pack')
    stub = os.path.join(prefix, 'share/orvinta', STUB_NAME)
    check(is_32_bit_windows_program(stub), 'the installed stub is not a 32-bit Windows program')
    with open(os.path.join(prefix, 'share/man/man1/orvinta-pack.1')) as f:
        page = f.read()
    lint = run(['groff', '-man', '-ww', '-z', os.path.join(prefix, 'share/man/man1/orvinta-pack.1')])
    check(lint.returncode == 0 and lint.stderr == '', 'groff warns about the man page: ' + lint.stderr)
    check_man_page_covers_options(tool, page, 'installed')
    check_packs_with_its_own_stub(tool, stub, args.work, 'installed')
    check_find_package(prefix, args.work, args.version)
    check_function_refusals(prefix, args.work)


def test_package(args):
    deb = os.path.join(args.tree, 'orvinta-pack_%s_amd64.deb' % args.version)
    if os.path.exists(deb):
        os.remove(deb)
    result = run(['cmake', '--build', args.tree, '--target', 'package'])
    print(result.stdout[-2000:], end='')
    if not check(result.returncode == 0 and os.path.isfile(deb), 'the package target did not write %s: %s' % (
            deb, result.stderr[-2000:])):
        return

    contents = run(['dpkg-deb', '--contents', deb])
    check(contents.returncode == 0, 'dpkg-deb --contents failed: ' + contents.stderr)
    entries = {}
    for line in contents.stdout.splitlines():
        fields = line.split()
        path = fields[-1]
        if fields[0].startswith('d'):
            check(fields[0] == 'drwxr-xr-x' and fields[1] == 'root/root', 'folder %s: %s' % (path, line))
            continue
        entries[path] = (fields[0], fields[1])
    cmake_dir = './usr/lib/cmake/OrvintaPack/'
    expected = ['./usr/bin/orvinta-pack', './usr/share/orvinta/' + STUB_NAME,
                './usr/share/man/man1/orvinta-pack.1.gz', './usr/share/doc/orvinta-pack/copyright',
                './usr/share/doc/orvinta-pack/changelog.gz'] + [
        cmake_dir + name for name in ('OrvintaPackConfig.cmake', 'OrvintaPackConfigVersion.cmake',
                                      'OrvintaAddInstaller.cmake', 'OrvintaPackRun.cmake',
                                      'OrvintaPackTargets.cmake')]
    expected += [p for p in entries if re.fullmatch(re.escape(cmake_dir) + r'OrvintaPackTargets-\w+\.cmake', p)]
    check(sorted(entries) == sorted(expected), 'package contents differ: extra %s, missing %s' % (
        sorted(set(entries) - set(expected)), sorted(set(expected) - set(entries))))
    for path, (mode, owner) in sorted(entries.items()):
        want = '-rwxr-xr-x' if path == './usr/bin/orvinta-pack' else '-rw-r--r--'
        check(mode == want and owner == 'root/root', '%s: %s %s, not %s root/root' % (path, mode, owner, want))

    fields = {}
    for name in ('Package', 'Version', 'Architecture', 'Depends', 'Recommends', 'Maintainer'):
        fields[name] = run(['dpkg-deb', '-f', deb, name]).stdout.strip()
    check(fields['Package'] == 'orvinta-pack' and fields['Version'] == args.version and
          fields['Architecture'] == 'amd64', 'control fields: %s' % fields)
    check(re.search(r'(^|, )libdeflate0\b', fields['Depends']) is not None,
          'Depends lacks the libdeflate runtime: ' + fields['Depends'])
    check(fields['Recommends'] == 'osslsigncode', 'Recommends: ' + fields['Recommends'])

    root = os.path.join(args.work, 'unpacked')
    check(run(['dpkg-deb', '-x', deb, root]).returncode == 0, 'dpkg-deb -x failed')
    with gzip.open(os.path.join(root, 'usr/share/man/man1/orvinta-pack.1.gz'), 'rb') as f:
        packed_page = f.read()
    with open(args.man, 'rb') as f:
        check(packed_page == f.read(), 'the packaged man page is not ' + args.man)
    for name in ('usr/share/man/man1/orvinta-pack.1.gz', 'usr/share/doc/orvinta-pack/changelog.gz'):
        with open(os.path.join(root, name), 'rb') as f:
            header = f.read(10)
        # No file name (FLG.FNAME) and no time stamp in the gzip header: reproducible bytes.
        check(header[3] & 0x08 == 0 and header[4:8] == b'\0\0\0\0', name + ' carries a name or a time')
    check_packs_with_its_own_stub(os.path.join(root, 'usr/bin/orvinta-pack'),
                                  os.path.join(root, 'usr/share/orvinta', STUB_NAME), args.work, 'unpacked')

    lintian = run(['lintian', '--fail-on', 'error', '--display-info', deb])
    print('lintian: ' + (lintian.stdout.strip() or 'no tags'))
    check(lintian.returncode == 0, 'lintian reports errors: %s %s' % (lintian.stdout, lintian.stderr))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('what', choices=['install', 'package'])
    parser.add_argument('--tree', required=True)
    parser.add_argument('--work', required=True)
    parser.add_argument('--version', required=True)
    parser.add_argument('--man')
    args = parser.parse_args()
    if os.path.exists(args.work):
        shutil.rmtree(args.work)
    os.makedirs(args.work)
    (test_install if args.what == 'install' else test_package)(args)
    print('%s: %s' % (args.what, 'FAILED' if failures else 'passed'))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

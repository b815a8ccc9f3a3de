"""examples/vendor-cmake end to end, as a vendor uses it: install the host tree into a
fresh prefix, configure the example against it, build its signed installer, build again
(nothing is packed) and after a changed file (packed again), verify the installer with
the installed tool, and install it under Wine.

  vendor_cmake_test.py --host-tree BUILD --example DIR --work DIR --fake PROGRAM
                       [--product-stub STUB] [--stub STUB --x86-64-test-stub]

Without --stub the example packs the stub installed with the tool; --product-stub names the
stub of the Windows tree, which the installed one must equal byte for byte.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'installer'))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from installer_wine import Wine, folder_contents, parse_fake_log, pe_arch, reset_folder  # noqa: E402
from script_checks import check, failures  # noqa: E402

EPOCH = '1700000000'
PASSPHRASE = 'vendor test passphrase'
PACKING = 'Packing the installer'


def run(args, env=None):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    return result.returncode, result.stdout


def without_signing_fields(image):
    """The image with the two header fields that signing sets cleared: the checksum and the
    certificate table's entry in the data directories."""
    image = bytearray(image)
    pe = struct.unpack_from('<I', image, 0x3C)[0]
    optional = pe + 24
    directories = optional + (96 if struct.unpack_from('<H', image, optional)[0] == 0x10B else 112)
    image[optional + 64:optional + 68] = bytes(4)
    image[directories + 4 * 8:directories + 5 * 8] = bytes(8)
    return bytes(image)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--host-tree', required=True)
    parser.add_argument('--example', required=True)
    parser.add_argument('--work', required=True)
    parser.add_argument('--fake', required=True)
    parser.add_argument('--product-stub')
    parser.add_argument('--stub')
    parser.add_argument('--x86-64-test-stub', action='store_true')
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    reset_folder(work)

    prefix = os.path.join(work, 'prefix')
    code, out = run(['cmake', '--install', args.host_tree, '--prefix', prefix])
    if not check(code == 0, 'cmake --install failed:\n' + out):
        return 1
    tool = os.path.join(prefix, 'bin', 'orvinta-pack')
    installed_stub = os.path.join(prefix, 'share', 'orvinta', 'orvinta-setup.exe')
    if args.product_stub:
        with open(args.product_stub, 'rb') as a, open(installed_stub, 'rb') as b:
            check(a.read() == b.read(), 'the installed stub differs from the product ' + args.product_stub)
    stub = os.path.abspath(args.stub) if args.stub else installed_stub

    cert = os.path.join(work, 'vendor-cert.pem')
    key = os.path.join(work, 'vendor-key.pem')
    code, out = run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                     '-days', '2', '-subj', '/CN=Vendor App Test Signing', '-addext', 'extendedKeyUsage=codeSigning'])
    if not check(code == 0, 'openssl could not make the test certificate:\n' + out):
        return 1
    pkcs12 = os.path.join(work, 'vendor.p12')
    code, out = run(['openssl', 'pkcs12', '-export', '-in', cert, '-inkey', key, '-out', pkcs12,
                     '-passout', 'pass:' + PASSPHRASE])
    if not check(code == 0, 'openssl could not make the PKCS#12 file:\n' + out):
        return 1
    program = os.path.join(work, 'app-build', 'orvinta.exe')
    os.makedirs(os.path.dirname(program))
    shutil.copyfile(args.fake, program)

    # SOURCE_DATE_EPOCH is set when configuring only: the function passes it on to the tool.
    build = os.path.join(work, 'build')
    configure = ['cmake', '-S', args.example, '-B', build, '-DCMAKE_PREFIX_PATH=' + prefix,
                 '-DVENDOR_PROGRAM=' + program, '-DVENDOR_SIGN_PKCS12=' + pkcs12]
    if args.stub:
        configure.append('-DVENDOR_STUB=' + stub)
    if args.x86_64_test_stub:
        configure.append('-DVENDOR_X86_64_TEST_STUB=ON')
    env = dict(os.environ, SOURCE_DATE_EPOCH=EPOCH)
    code, out = run(configure, env)
    if not check(code == 0, 'configuring the example failed:\n' + out):
        return 1
    # The passphrase is in the build's environment only.
    env.pop('SOURCE_DATE_EPOCH')
    env['VENDOR_SIGN_PASS'] = PASSPHRASE
    installer = os.path.join(build, 'VendorAppSetup.exe')

    def build_once(label, packs):
        code, out = run(['cmake', '--build', build], env)
        check(code == 0, '%s: the build failed:\n%s' % (label, out))
        check((PACKING in out) == packs, '%s: the installer was %spacked:\n%s' % (
            label, '' if PACKING in out else 'not ', out))
        return os.stat(installer).st_mtime_ns if os.path.exists(installer) else None

    first = build_once('first build', True)
    if not check(first is not None, 'no installer after the first build'):
        return 1
    with open(installer, 'rb') as f:
        first_bytes = f.read()
    check(build_once('second build', False) == first, 'the installer changed without a reason')
    shutil.copyfile(args.fake, program)  # the program rebuilt: same bytes, newer file
    third = build_once('build after the program changed', True)
    check(third is not None and third != first, 'the installer was not written again')
    build_once('build after that', False)
    # The entries' times and the signing time come from the SOURCE_DATE_EPOCH given when
    # configuring, not from the files: the same files give the same signed bytes.
    with open(installer, 'rb') as f:
        check(f.read() == first_bytes, 'packing the same files again gave other bytes')

    # Installers on the x86-64 test stub are read only when the tool is told so.
    test_stub = ['--x86-64-test-stub'] if args.x86_64_test_stub else []
    code, out = run([tool, 'verify', '--require-signature', '--ca-file', cert] + test_stub + [installer])
    check(code == 0 and 'signature verified' in out, 'verify with the installed tool:\n' + out)
    with open(os.path.join(build, 'CMakeCache.txt')) as f:
        check(PASSPHRASE not in f.read(), 'the passphrase reached the CMake cache')
    code, out = run([tool, 'list'] + test_stub + [installer])
    names = ['"orvinta.exe"', '"readme.txt"', '"settings.ini"', '"version.txt"']
    check(code == 0 and all(name in out for name in names), 'list shows the staged files:\n' + out)
    with open(stub, 'rb') as f:
        stub_bytes = f.read()
    with open(installer, 'rb') as f:
        check(without_signing_fields(f.read(len(stub_bytes))) == without_signing_fields(stub_bytes),
              'the installer does not begin with the stub ' + stub)
    extracted = os.path.join(work, 'extracted')
    code, out = run([tool, 'extract'] + test_stub + [installer, extracted])
    check(code == 0, 'extract:\n' + out)
    staged = folder_contents(os.path.join(build, 'stage'))
    check(folder_contents(extracted) == staged, 'the installer holds the staged files')

    wine = Wine(pe_arch(stub))
    wine.prepare()
    reset_folder(wine.destination())
    cwd = os.path.join(work, 'start here')
    os.makedirs(cwd)
    outcome = wine.run_installer(installer, cwd, os.path.join(work, 'program.log'))
    check(outcome.exit_code == 0 and outcome.messages == [],
          'the installer under Wine: exit code %s, messages %r' % (outcome.exit_code, outcome.messages))
    check(folder_contents(wine.destination()) == staged, 'Program Files\\Orvinta holds the staged files: %s'
          % sorted(folder_contents(wine.destination()) or {}))
    check(parse_fake_log(outcome.fake_log).get('command_line') == 'orvinta.exe /install',
          'the installed program was started as "orvinta.exe /install": %r' % outcome.fake_log)

    print('vendor-cmake example: %s' % ('FAILED' if failures else 'passed'))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

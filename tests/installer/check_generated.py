#!/usr/bin/env python3
"""The committed icon and manifest are exactly what their generators write today, so a
change to a generator cannot be forgotten in the files the build uses.

usage: check_generated.py RESOURCES_FOLDER
"""
import os
import subprocess
import sys
import tempfile


def main():
    folder = os.path.abspath(sys.argv[1])
    failures = 0
    with tempfile.TemporaryDirectory() as temp:
        for script, output in (('make_icon.py', 'setup.ico'), ('make_manifest.py', 'setup.manifest')):
            fresh = os.path.join(temp, output)
            subprocess.run([sys.executable, os.path.join(folder, script), fresh], check=True)
            with open(fresh, 'rb') as f, open(os.path.join(folder, output), 'rb') as g:
                same = f.read() == g.read()
            print('%s %s' % ('same as' if same else 'DIFFERS FROM', script + "'s output: " + output))
            failures += not same
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

#!/usr/bin/env python3
"""Writes setup.manifest, the installer's application manifest, with CRLF line ends."""
import sys

SUPPORTED_OS = (
    ('Windows Vista / Server 2008', '{e2011457-1546-43c5-a5fe-008deee3d3f0}'),
    ('Windows 7 / Server 2008 R2', '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}'),
    ('Windows 8 / Server 2012', '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}'),
    ('Windows 8.1 / Server 2012 R2', '{1f676c76-80e1-4239-95bb-83d0f6d0da78}'),
    ('Windows 10', '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'),
)


def manifest():
    lines = [
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>',
        '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">',
        '  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">',
        '    <application>',
    ]
    for name, guid in SUPPORTED_OS:
        lines.append('      <!-- %s -->' % name)
        lines.append('      <supportedOS Id="%s"/>' % guid)
    lines += [
        '    </application>',
        '  </compatibility>',
        '  <assemblyIdentity',
        '    version="1.0.0.0"',
        '    processorArchitecture="*"',
        '    name="Tolvern.Orvinta.Setup"',
        '    type="win32"/>',
        '  <description>Orvinta installer</description>',
        '  <trustInfo xmlns="urn:schemas-microsoft.com:asm.v2">',
        '    <security>',
        '      <requestedPrivileges>',
        '        <requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>',
        '      </requestedPrivileges>',
        '    </security>',
        '  </trustInfo>',
        '  <dependency>',
        '    <dependentAssembly>',
        '      <assemblyIdentity',
        '        type="win32"',
        '        name="Microsoft.Windows.Common-Controls"',
        '        version="6.0.0.0"',
        '        processorArchitecture="*"',
        '        publicKeyToken="6595b64144ccf1df"',
        '        language="*" />',
        '    </dependentAssembly>',
        '  </dependency>',
        '</assembly>',
    ]
    return ('\r\n'.join(lines) + '\r\n').encode('utf-8')


if __name__ == '__main__':
    target = sys.argv[1] if len(sys.argv) > 1 else 'setup.manifest'
    with open(target, 'wb') as f:
        f.write(manifest())

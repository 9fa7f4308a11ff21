#!/usr/bin/env python3
"""Checks the built launcher as a Windows image: at most SIZE_LIMIT bytes,
32-bit GUI, ASLR and NX, no section both writable and executable, only
KnownDLLs imported, no time stamp, and exactly the manifest and the
three-image icon group 101 as resources.

Usage: pe_check.py OrvintaLauncher.exe SIZE_LIMIT
Prints one line per check and "N passed, M failed".
"""
import re
import struct
import subprocess
import sys

KNOWN_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll",
              "shell32.dll", "user32.dll", "gdi32.dll", "shlwapi.dll", "comdlg32.dll",
              "rpcrt4.dll", "sechost.dll", "combase.dll"}
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000


def headers(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe:pe + 4] == b"PE\0\0", "not a PE image"
    machine, sections, stamp = struct.unpack_from("<HHI", image, pe + 4)
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    optional = pe + 24
    subsystem, dll_characteristics = struct.unpack_from("<HH", image, optional + 68)
    table = optional + optional_size
    section_list = []
    for i in range(sections):
        name, = struct.unpack_from("<8s", image, table + 40 * i)
        flags, = struct.unpack_from("<I", image, table + 40 * i + 36)
        section_list.append((name.rstrip(b"\0").decode(), flags))
    return machine, stamp, subsystem, dll_characteristics, section_list


def main():
    path, size_limit = sys.argv[1], int(sys.argv[2])
    image = open(path, "rb").read()
    results = []

    def check(ok, what):
        results.append(ok)
        print(("ok    " if ok else "FAIL  ") + what)

    check(len(image) <= size_limit, f"size {len(image)} bytes <= {size_limit}")
    machine, stamp, subsystem, characteristics, sections = headers(image)
    check(machine == 0x14C, f"machine i386 (0x{machine:x})")
    check(subsystem == 2, f"GUI subsystem ({subsystem})")
    check(characteristics & 0x40 != 0, f"DYNAMICBASE set (0x{characteristics:04x})")
    check(characteristics & 0x100 != 0, f"NXCOMPAT set (0x{characteristics:04x})")
    check(stamp == 0, f"no time stamp ({stamp})")
    wx = [n for n, f in sections if f & IMAGE_SCN_MEM_EXECUTE and f & IMAGE_SCN_MEM_WRITE]
    check(not wx, f"no writable and executable section {wx}")

    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], capture_output=True,
                          text=True, check=True).stdout
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
    check(imports and imports <= KNOWN_DLLS, f"imports only KnownDLLs {sorted(imports)}")
    check("wininet.dll" not in imports, "wininet is not imported at load time")

    listing = subprocess.run(["wrestool", "-l", path], capture_output=True, text=True,
                             check=True).stdout
    resources = sorted(re.findall(r"--type=(\d+) --name=(\d+)", listing))
    wanted = sorted([("3", "1"), ("3", "2"), ("3", "3"), ("14", "101"), ("24", "1")])
    check(resources == wanted, f"resources are the manifest and icon group 101 {resources}")
    group = subprocess.run(["wrestool", "-x", "-R", "--type=14", "--name=101", path],
                           capture_output=True, check=True).stdout
    count = struct.unpack_from("<H", group, 4)[0] if len(group) >= 6 else 0
    icons = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]
    sizes = [(w, h, bits) for w, h, _, _, _, bits, _, _ in icons]
    check(sizes == [(48, 48, 24), (32, 32, 24), (16, 16, 24)], f"icon images {sizes}")
    manifest = subprocess.run(["wrestool", "-x", "-R", "--type=24", "--name=1", path],
                              capture_output=True, check=True).stdout.decode()
    elements = re.findall(r"<(\w+)", manifest)
    check(elements == ["assembly", "trustInfo", "security", "requestedPrivileges",
                       "requestedExecutionLevel"], f"manifest elements {elements}")
    check('level="requireAdministrator"' in manifest and 'uiAccess="false"' in manifest,
          "requireAdministrator without UI access")

    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

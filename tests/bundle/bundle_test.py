#!/usr/bin/env python3
"""The release bundle as a Windows user gets it: the files it must hold, a
program that needs no DLL beyond those every Windows system has (read from
its import table) and loads at start-up only those its window needs, and a
version resource that says what the bundle's name
says.

    bundle_test.py BUNDLE.zip OBJDUMP VERSION
"""
import re
import struct
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# DLLs of every Windows from 7 on (kernel32 & co., the common controls and
# dialogs, the shell, COM, version information, the C runtime of the system).
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "comctl32.dll",
    "comdlg32.dll", "shell32.dll", "shlwapi.dll", "ole32.dll", "oleaut32.dll",
    "version.dll", "msvcrt.dll", "winspool.drv", "setupapi.dll", "cfgmgr32.dll",
    "ntdll.dll", "uxtheme.dll", "imm32.dll", "ws2_32.dll",
}

# Not needed until the user asks for them (a file dialog, the web address of
# About, a port's first open, the 9x port list): loaded at their first call,
# not before the window shows (cmake/DelayLoad.cmake). The 64-bit build only:
# the 32-bit one imports them the ordinary way (see CMakeLists.txt).
DELAY_LOADED = {"comdlg32.dll", "shell32.dll", "ole32.dll", "winspool.drv"}


def fixed_versions(image: bytes):
    """File and product version of VS_FIXEDFILEINFO, as 'a.b.c.d' strings."""
    at = image.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None, None
    ms, ls, pms, pls = struct.unpack_from("<4I", image, at + 8)

    def text(hi, lo):
        return f"{hi >> 16}.{hi & 0xFFFF}.{lo >> 16}.{lo & 0xFFFF}"
    return text(ms, ls), text(pms, pls)


def string_value(image: bytes, key: str):
    """A StringFileInfo value: UTF-16 key, padding, UTF-16 text."""
    m = re.search(re.escape(key.encode("utf-16-le")) + rb"(?:\x00\x00)+((?:[^\x00]\x00)+)", image)
    return m.group(1).decode("utf-16-le") if m else None


def main():
    bundle, objdump, version = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    failures = []
    if not bundle.is_file():
        print(f"bundle: {bundle} was not built (target 'bundle')")
        return 1
    name = bundle.stem
    with zipfile.ZipFile(bundle) as z:
        files = sorted(n for n in z.namelist() if not n.endswith("/"))
        want = sorted(f"{name}/{f}" for f in ("Quolm.exe", "quolm.dat", "README.txt", "LICENSE"))
        if files != want:
            failures.append(f"the bundle holds {files}, expected {want}")
        with tempfile.TemporaryDirectory() as tmp:
            z.extractall(tmp)
            exe = Path(tmp, name, "Quolm.exe")
            if exe.is_file():
                dump = subprocess.run([objdump, "-p", str(exe)], capture_output=True, text=True, check=True).stdout
                dlls = sorted({d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)})
                print(f"bundle: {name}/Quolm.exe imports {', '.join(dlls)}")
                if not dlls or "kernel32.dll" not in dlls:
                    failures.append("no import table read (objdump output changed?)")
                foreign = [d for d in dlls if d not in SYSTEM_DLLS]
                if foreign:
                    failures.append(f"Quolm.exe needs DLLs that Windows does not have: {foreign}")
                machine = "x86-64" if name.endswith("win64") else "i386"
                if machine == "x86-64":
                    early = sorted(DELAY_LOADED & set(dlls))
                    if early:
                        failures.append(f"Quolm.exe loads {early} at start-up instead of at their first use")
                    image = exe.read_bytes().lower()
                    missing = sorted(d for d in DELAY_LOADED if d.encode() not in image)
                    if missing:
                        failures.append(f"Quolm.exe names no {missing} to load later")
                if not re.search(rf"file format pei-{machine}", dump):
                    failures.append(f"Quolm.exe is not a pei-{machine} program")
                image = exe.read_bytes()
                file_version, product_version = fixed_versions(image)
                print(f"bundle: version resource {file_version} (product {product_version}), "
                      f"FileVersion \"{string_value(image, 'FileVersion')}\"")
                if file_version != version or product_version != version:
                    failures.append(f"version resource {file_version}/{product_version}, expected {version}")
                if string_value(image, "FileVersion") != version:
                    failures.append("the FileVersion string does not read " + version)
                if re.search(r"\.debug_info", dump):
                    failures.append("Quolm.exe still carries debug information")
    for f in failures:
        print("bundle: FAILED: " + f)
    if not failures:
        print(f"bundle: {bundle.name} passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

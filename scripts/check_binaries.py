#!/usr/bin/env python3
"""Checks the built libraries as a caller's loader sees them.

- The library exports exactly the expected functions (plus --extra), undecorated.
- The packet driver exports its driver operations.
- Windows: the DLLs and the shipped programs import nothing beyond what Windows ships (and the
  library the packet driver, the programs the library), and the library carries its version
  resource and its string table.
"""
import argparse
import re
import subprocess
import sys

WINDOWS_SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "iphlpapi.dll", "advapi32.dll", "user32.dll",
                       "ntdll.dll"}
DRIVER_OPERATIONS = {"WrenPackGetAdaptersList", "WrenPackOpenAdapter", "WrenPackCloseAdapter", "WrenPackSetBuff",
                     "WrenPackSetBpf", "WrenPackSetReadEventThreshold", "WrenPackGetWin32ReadEventHandle",
                     "WrenPackRecvPacket", "WrenPackSendPacket", "WrenPackSendManyPackets",
                     "WrenPackSetPrintDebugStringFunction", "WrenPackGetLastError"}


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, errors="replace").stdout


def pe_exports(objdump, path):
    text = run(objdump, "-p", path)
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return set()
    return set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", table[1], re.M))


def pe_imports(objdump, path):
    return {name.lower() for name in re.findall(r"DLL Name:\s*(\S+)", run(objdump, "-p", path))}


def elf_exports(objdump, path):
    # Every defined dynamic symbol, functions and data alike: nothing else may leak out.
    nm = objdump[:-len("objdump")] + "nm" if objdump.endswith("objdump") else "nm"
    names = set()
    for line in run(nm, "-D", "--defined-only", path).splitlines():
        parts = line.split()
        if len(parts) == 3:
            names.add(parts[2])
    return names


def utf16(text):
    return text.encode("utf-16-le")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--expected", required=True)
    ap.add_argument("--extra", default="")
    ap.add_argument("--library", required=True)
    ap.add_argument("--driver", required=True)
    ap.add_argument("--program", action="append", default=[], help="a shipped program (Windows)")
    args = ap.parse_args()

    expected = {line.strip() for line in open(args.expected) if line.strip()}
    expected |= {name for name in args.extra.split() if name}
    windows = args.library.lower().endswith(".dll")
    failures = []

    exports = pe_exports(args.objdump, args.library) if windows else elf_exports(args.objdump, args.library)
    if exports != expected:
        failures.append("library exports differ: missing %s, unexpected %s"
                        % (sorted(expected - exports), sorted(exports - expected)))

    driver = pe_exports(args.objdump, args.driver) if windows else elf_exports(args.objdump, args.driver)
    if not DRIVER_OPERATIONS <= driver:
        failures.append("packet driver lacks %s" % sorted(DRIVER_OPERATIONS - driver))

    if windows:
        checked = [(args.library, WINDOWS_SYSTEM_DLLS | {"wrenpack64u.dll"}), (args.driver, WINDOWS_SYSTEM_DLLS)]
        checked += [(program, WINDOWS_SYSTEM_DLLS | {"vifnet64u.dll"}) for program in args.program]
        for path, allowed in checked:
            extra = pe_imports(args.objdump, path) - allowed
            if extra:
                failures.append("%s imports DLLs Windows does not ship: %s" % (path, sorted(extra)))
        data = open(args.library, "rb").read()
        for text in ("3.7.0.5409", "Windows sockets initialization failed.", "Filemaps creation failed."):
            if utf16(text) not in data:
                failures.append("library resources lack %r" % text)
        # FILEVERSION 3,7,0,5409 in the fixed version record: MS = 3<<16|7, LS = 0<<16|5409.
        fixed = (0xFEEF04BD).to_bytes(4, "little")
        at = data.find(fixed)
        if at < 0 or data[at + 8:at + 16] != (7).to_bytes(2, "little") + (3).to_bytes(2, "little") + \
                (5409).to_bytes(2, "little") + (0).to_bytes(2, "little"):
            failures.append("library version resource is not 3.7.0.5409")

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("library exports %d functions; driver exports its %d operations" % (len(exports), len(DRIVER_OPERATIONS)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

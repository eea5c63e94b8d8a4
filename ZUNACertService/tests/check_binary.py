#!/usr/bin/env python3
"""Checks the shipped TAVL.exe as a file: imports, manifest, version block,
GBK texts and no build-machine paths.
Usage: check_binary.py EXE OBJDUMP SOURCE_DIR VERSION (the four numbers CMake gave the version block)"""
import re
import struct
import subprocess
import sys

exe, objdump, source_dir, version = sys.argv[1:5]
data = open(exe, "rb").read()
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


# Windows loads a static import before main runs. A KnownDLL (the list under
# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs, the same on
# Windows 8 to 11) always comes from System32, and an API set name is resolved
# by the loader's schema; any other DLL is looked for in the program's folder
# first, where a planted copy would run as LocalSystem. Those four are
# delay-loaded instead, after main has narrowed the search to System32.
known_dlls = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "ws2_32.dll", "user32.dll", "gdi32.dll",
              "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "sechost.dll", "shell32.dll", "shlwapi.dll"}
delay_loaded = ["bcrypt.dll", "crypt32.dll", "userenv.dll", "wtsapi32.dll"]
dump = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout
imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
check(bool(imports), "static imports were listed: " + ", ".join(sorted(imports)))
extra = {d for d in imports if d not in known_dlls and not d.startswith("api-ms-win-")}
check(not extra, "every static import is a KnownDLL or an API set (not: %s)" % sorted(extra))
# GNU ld leaves the delay-import directory entry empty, so the DLL names of the
# delay-import descriptors are looked for instead.
for dll in delay_loaded:
    check(dll.encode() in data and dll not in imports, "%s is delay-loaded" % dll)

check(re.search(rb'requestedExecutionLevel\s+level="requireAdministrator"\s+uiAccess="false"', data) is not None,
      "manifest asks for requireAdministrator without uiAccess")


def utf16(text):
    return text.encode("utf-16-le")


for key, value in [("FileDescription", "证书HTTP服务守护进程"), ("ProductName", "证书HTTP服务守护进程"),
                   ("InternalName", "TAVL.exe"), ("OriginalFilename", "TAVL.exe"),
                   ("FileVersion", version), ("ProductVersion", version)]:
    at = data.find(utf16(key) + b"\0\0")
    window = data[at:at + 200] if at >= 0 else b""
    check(at >= 0 and utf16(value) + b"\0\0" in window, "version block %s = %s" % (key, value))

fixed = data.find(struct.pack("<I", 0xFEEF04BD))
check(fixed >= 0, "fixed version record present")
if fixed >= 0:
    _, _, fms, fls, pms, pls = struct.unpack_from("<6I", data, fixed)
    a, b, c, d = (int(n) for n in version.split("."))
    check((fms, fls, pms, pls) == ((a << 16) | b, (c << 16) | d) * 2, "file and product version " + version)

check(source_dir.encode() not in data, "no path of the build machine's sources in the binary")
sys.exit(1 if failures else 0)

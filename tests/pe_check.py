#!/usr/bin/env python3
"""Checks each built relay's PE header and import table against the contract.

  pe_check.py OBJDUMP RELAY... [--tools TOOL...]

The relay may import from USER32.dll and KERNEL32.dll only, exactly the functions it calls; it is
a GUI program of at most 4,096 bytes with the usual section and file alignment, a 32-bit build
runs on Windows XP (subsystem 5.01), and its entry point lies in its code. The tools need no
runtime DLLs either: they import system DLLs only. Prints one line per check and
"N passed, N failed".
"""
import re
import subprocess
import sys

IMPORTS = {
    "USER32.dll": {
        "FindWindowA", "SendMessageA", "EnumChildWindows", "GetWindowTextLengthA",
        "GetWindowRect", "GetParent", "GetWindowTextA", "IsWindow", "wsprintfA", "PostMessageA",
        "RegisterClassA", "CreateWindowExA", "ShowWindow", "DestroyWindow", "SetTimer", "KillTimer",
        "GetMessageA", "TranslateMessage", "DispatchMessageA", "DefWindowProcA", "PostQuitMessage"},
    "KERNEL32.dll": {
        "CreateFileA", "WriteFile", "CloseHandle", "GetCommandLineA", "GetModuleHandleA",
        "ExitProcess"},
}
MAX_SIZE = 4096


def parse(objdump, path):
    text = subprocess.run([objdump, "-p", "-h", path], capture_output=True, text=True,
                          check=True).stdout
    header = dict(re.findall(r"^(\w+)\s+([0-9a-fA-F]+)\b", text, re.M))
    imports = {}
    dll = None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1)
            imports.setdefault(dll, set())
            continue
        m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\w+)$", line)
        if dll and m:
            imports[dll].add(m.group(1))
    sections = {m.group(1): (int(m.group(2), 16), int(m.group(3), 16))
                for m in re.finditer(r"^\s*\d+ (\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)", text, re.M)}
    return header, imports, sections


def check(objdump, path):
    results = []

    def expect(name, ok, detail=""):
        results.append(ok)
        print("%s %s: %s%s" % ("ok  " if ok else "FAIL", path, name, (" (%s)" % detail) if detail else ""))

    with open(path, "rb") as f:
        size = len(f.read())
    header, imports, sections = parse(objdump, path)
    is64 = header.get("Magic") == "020b"
    expect("size at most %d bytes" % MAX_SIZE, size <= MAX_SIZE, "%d bytes" % size)
    expect("imports from USER32.dll and KERNEL32.dll only", set(imports) == set(IMPORTS),
           ", ".join(sorted(imports)))
    for dll, names in IMPORTS.items():
        got = imports.get(dll, set())
        expect("%s imports exactly what the relay calls" % dll, got == names,
               "extra %s, missing %s" % (sorted(got - names), sorted(names - got)))
    # Anything else (constructors, initialised data, relocations) would mean a runtime crept in.
    expect("sections .text, .bss and .rsrc only", sorted(sections) == [".bss", ".rsrc", ".text"],
           ", ".join(sorted(sections)))
    expect("GUI subsystem", header.get("Subsystem") == "00000002", header.get("Subsystem"))
    version = (int(header.get("MajorSubsystemVersion", "99"), 16),
               int(header.get("MinorSubsystemVersion", "99"), 16))
    xp = (5, 2) if is64 else (5, 1)
    expect("subsystem version at most %d.%02d" % xp, version <= xp, "%d.%02d" % version)
    expect("section alignment 4 KiB", int(header.get("SectionAlignment", "0"), 16) == 0x1000)
    expect("file alignment 512", int(header.get("FileAlignment", "0"), 16) == 0x200)
    entry = int(header.get("AddressOfEntryPoint", "0"), 16)
    base = int(header.get("ImageBase", "0"), 16)
    text_vma, text_size = sections.get(".text", (0, 0))
    expect("entry point inside the code", text_vma - base <= entry < text_vma - base + text_size
           and entry != 0, hex(entry))
    return results


SYSTEM_DLLS = {"KERNEL32.dll", "USER32.dll", "msvcrt.dll", "ADVAPI32.dll", "GDI32.dll",
               "ntdll.dll"}


def check_tool(objdump, path):
    _, imports, _ = parse(objdump, path)
    ok = set(imports) <= SYSTEM_DLLS
    print("%s %s: system DLLs only (%s)" % ("ok  " if ok else "FAIL", path, ", ".join(sorted(imports))))
    return [ok]


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    objdump, paths = argv[0], argv[1:]
    tools = []
    if "--tools" in paths:
        tools = paths[paths.index("--tools") + 1:]
        paths = paths[:paths.index("--tools")]
    results = []
    for path in paths:
        results += check(objdump, path)
    for path in tools:
        results += check_tool(objdump, path)
    failed = results.count(False)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

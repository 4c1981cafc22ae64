#!/usr/bin/env python3
"""Checks each built relay's PE headers, sections, relocations, unwind data, version resource
and imports against the contract.

  pe_check.py OBJDUMP VERSION RELAY... [--tools TOOL...]

The relay imports from USER32.dll and KERNEL32.dll only, exactly the functions it calls. It is a
GUI program within its byte budget, with the usual section and file alignment; a 32-bit build
runs on Windows XP (subsystem 5.01). Every section's raw size, raw pointer and flags agree with
what it holds; no section is both writable and executable. It carries relocations and asks for
ASLR, no-execute data and terminal-server awareness (and high-entropy ASLR on x64). The x64
build has unwind data for every function. Its version resource names the product, the version
and the file. The tools need no runtime DLLs: they import system DLLs only. Prints one line per
check and "N passed, N failed".
"""
import os
import re
import struct
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

CODE, INIT, UNINIT = 0x20, 0x40, 0x80
DISCARDABLE, EXECUTE, READ, WRITE = 0x02000000, 0x20000000, 0x40000000, 0x80000000
# Each bitness's sections in order, with the flags that say what each holds: .text holds the
# constants and import tables beside the code. GNU ld always marks .rsrc writable.
SECTIONS = {
    "x86": [(".text", CODE | INIT | EXECUTE | READ), (".bss", UNINIT | READ | WRITE),
            (".rsrc", INIT | READ | WRITE), (".reloc", INIT | READ | DISCARDABLE)],
    "x64": [(".text", CODE | INIT | EXECUTE | READ), (".pdata", INIT | READ),
            (".bss", UNINIT | READ | WRITE), (".rsrc", INIT | READ | WRITE),
            (".reloc", INIT | READ | DISCARDABLE)],
}
# DYNAMIC_BASE, NX_COMPAT and TERMINAL_SERVER_AWARE; HIGH_ENTROPY_VA on x64 too.
DLL_CHARACTERISTICS = {"x86": 0x8140, "x64": 0x8160}
# The smallest clean size with everything above, in blocks of 512 bytes: headers 2 (four or five
# section headers do not fit beside the linker's DOS stub in one), code 6 on x86 and 8 on x64,
# resources 2, relocations 1, and on x64 the function table 1.
MAX_SIZE = {"x86": 5632, "x64": 7168}
RELOCATION_TYPE = {"x86": 3, "x64": 10}  # HIGHLOW, DIR64
VERSION_STRINGS = ("FileDescription", "FileVersion", "ProductName", "ProductVersion",
                   "InternalName", "OriginalFilename", "LegalCopyright")


class Image:
    """The headers, sections and data directories of one PE file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        self.machine, count, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.is64 = struct.unpack_from("<H", d, opt)[0] == 0x20B
        self.arch = "x64" if self.is64 else "x86"
        self.entry = struct.unpack_from("<I", d, opt + 16)[0]
        self.base = struct.unpack_from("<Q" if self.is64 else "<I", d, opt + (24 if self.is64 else 28))[0]
        (self.section_alignment, self.file_alignment, self.os_major, self.os_minor, _, _,
         self.subsystem_major, self.subsystem_minor) = struct.unpack_from("<IIHHHHHH", d, opt + 32)
        self.image_size, self.headers_size = struct.unpack_from("<II", d, opt + 56)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, opt + 68)
        directories = opt + (112 if self.is64 else 96)
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(count):
            name, vsize, va, rsize, rpointer = struct.unpack_from("<8sIIII", d, opt + optional_size + 40 * i)
            flags = struct.unpack_from("<I", d, opt + optional_size + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), vsize, va, rsize, rpointer, flags))

    def offset(self, rva):
        for _, vsize, va, rsize, rpointer, _ in self.sections:
            if va <= rva < va + max(vsize, rsize):
                return rpointer + rva - va if rva - va < rsize else None
        return None

    def read(self, rva, size):
        at = self.offset(rva)
        return self.data[at:at + size] if at is not None else None


def relocations(image):
    """(rva, type) of every base relocation entry, padding entries left out."""
    rva, size = image.directories[5]
    table = image.read(rva, size) or b""
    out, at = [], 0
    while at + 8 <= len(table):
        page, block = struct.unpack_from("<II", table, at)
        if block < 8:
            break
        for i in range((block - 8) // 2):
            entry = struct.unpack_from("<H", table, at + 8 + 2 * i)[0]
            if entry >> 12:
                out.append((page + (entry & 0xFFF), entry >> 12))
        at += block
    return out


def version_resource(image):
    """The version resource's string table and fixed file and product versions."""
    rva, size = image.directories[2]
    data = image.read(rva, size) or b""
    start = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    if start < 0:
        return {}, None, None
    fixed = data.find(struct.pack("<I", 0xFEEF04BD), start)
    ms, ls, pms, pls = struct.unpack_from("<IIII", data, fixed + 8)
    split = lambda hi, lo: (hi >> 16, hi & 0xFFFF, lo >> 16, lo & 0xFFFF)
    strings = {}
    for key in VERSION_STRINGS:
        encoded = key.encode("utf-16-le") + b"\0\0"
        at = data.find(encoded, start)
        if at < 0:
            continue
        length, value_length = struct.unpack_from("<HH", data, at - 6)
        value_at = (at + len(encoded) + 3) & ~3
        strings[key] = data[value_at:value_at + 2 * value_length].decode("utf-16-le").rstrip("\0")
    return strings, split(ms, ls), split(pms, pls)


def imports_of(objdump, path):
    text = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    imports, dll = {}, None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1)
            imports.setdefault(dll, set())
            continue
        m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\w+)$", line)
        if dll and m:
            imports[dll].add(m.group(1))
    return imports


def check(objdump, version, path):
    results = []

    def expect(name, ok, detail=""):
        results.append(bool(ok))
        print("%s %s: %s%s" % ("ok  " if ok else "FAIL", path, name, (" (%s)" % detail) if detail else ""))

    image = Image(path)
    arch = image.arch
    size = len(image.data)
    expect("size at most %d bytes" % MAX_SIZE[arch], size <= MAX_SIZE[arch], "%d bytes" % size)

    imports = imports_of(objdump, path)
    expect("imports from USER32.dll and KERNEL32.dll only", set(imports) == set(IMPORTS),
           ", ".join(sorted(imports)))
    for dll, names in IMPORTS.items():
        got = imports.get(dll, set())
        expect("%s imports exactly what the relay calls" % dll, got == names,
               "extra %s, missing %s" % (sorted(got - names), sorted(names - got)))

    # Sections: the expected ones, in order, each with its flags; initialised ones follow each
    # other in the file with their whole content; uninitialised ones have no file bytes.
    names = [(s[0], s[5]) for s in image.sections]
    expect("sections and their flags", names == SECTIONS[arch],
           ", ".join("%s %08x" % n for n in names))
    at = image.headers_size
    for name, vsize, va, rsize, rpointer, flags in image.sections:
        if flags & UNINIT:
            ok = rsize == 0 and rpointer == 0 and not flags & INIT
            expect("%s has no file bytes" % name, ok, "raw size %#x at %#x" % (rsize, rpointer))
        else:
            want = -(-vsize // image.file_alignment) * image.file_alignment
            ok = rpointer == at and rsize == want
            expect("%s has its content in the file" % name, ok,
                   "raw size %#x at %#x, virtual size %#x" % (rsize, rpointer, vsize))
            at = rpointer + rsize
        expect("%s is not both writable and executable" % name,
               not (flags & WRITE and flags & EXECUTE), "%08x" % flags)
    expect("nothing after the last section", size == at, "%d bytes, sections end at %d" % (size, at))

    expect("GUI subsystem", image.subsystem == 2, image.subsystem)
    xp = (5, 2) if image.is64 else (5, 1)
    got = (image.subsystem_major, image.subsystem_minor)
    expect("subsystem version at most %d.%02d" % xp, got <= xp, "%d.%02d" % got)
    expect("section alignment 4 KiB", image.section_alignment == 0x1000)
    expect("file alignment 512", image.file_alignment == 0x200)
    text = image.sections[0]
    expect("entry point inside the code", text[2] <= image.entry < text[2] + text[1], hex(image.entry))

    # Relocations: present, of the bitness's one type, each at an address in the file whose
    # value is an address inside the image.
    expect("loader hardening flags", image.dll_characteristics == DLL_CHARACTERISTICS[arch],
           "%04x" % image.dll_characteristics)
    expect("relocations not stripped", not image.characteristics & 1, "%04x" % image.characteristics)
    fixups = relocations(image)
    expect("relocations present", len(fixups) > 0, "%d" % len(fixups))
    width = 8 if image.is64 else 4
    bad = []
    for rva, kind in fixups:
        value = image.read(rva, width)
        target = struct.unpack("<Q" if image.is64 else "<I", value)[0] if value and len(value) == width else None
        if kind != RELOCATION_TYPE[arch] or target is None or not (
                image.base <= target < image.base + image.image_size):
            bad.append(hex(rva))
    expect("every relocation fixes an address inside the image", not bad, ", ".join(bad[:5]))

    if image.is64:
        # One function table entry per function, as the compiler emits them: the entries cover
        # the code from its start with nothing but padding between them, and each names unwind
        # data inside the image.
        rva, size = image.directories[3]
        table = image.read(rva, size) or b""
        entries = [struct.unpack_from("<III", table, i) for i in range(0, len(table) - 11, 12)]
        expect("exception directory present", len(entries) > 0, "%d functions" % len(entries))
        gaps = [hex(e) for (_, e, _), (b, _, _) in zip(entries, entries[1:])
                if b < e or (b > e and (image.read(e, b - e) or b"?").strip(b"\x90\xcc"))]
        ok = entries and entries[0][0] == text[2] and not gaps and all(
            image.read(u, 4) for _, _, u in entries)
        expect("unwind data covers every function", ok, "gaps at %s" % ", ".join(gaps[:5]))
        expect("entry point has unwind data",
               any(b <= image.entry < e for b, e, _ in entries), hex(image.entry))

    strings, file_version, product_version = version_resource(image)
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    wanted = {"FileDescription": "vardex reading relay", "FileVersion": version,
              "ProductName": "vardex", "ProductVersion": version, "InternalName": "vardex",
              "OriginalFilename": os.path.basename(path)}
    for key, value in wanted.items():
        expect("version %s" % key, strings.get(key) == value, strings.get(key))
    expect("version LegalCopyright", "the vardex authors" in strings.get("LegalCopyright", ""),
           strings.get("LegalCopyright"))
    expect("fixed version numbers", file_version == numbers and product_version == numbers,
           "%s, %s" % (file_version, product_version))
    return results


SYSTEM_DLLS = {"KERNEL32.dll", "USER32.dll", "msvcrt.dll", "ADVAPI32.dll", "GDI32.dll",
               "ntdll.dll"}


def check_tool(objdump, path):
    imports = imports_of(objdump, path)
    ok = set(imports) <= SYSTEM_DLLS
    print("%s %s: system DLLs only (%s)" % ("ok  " if ok else "FAIL", path, ", ".join(sorted(imports))))
    return [ok]


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    objdump, version, paths = argv[0], argv[1], argv[2:]
    tools = []
    if "--tools" in paths:
        tools = paths[paths.index("--tools") + 1:]
        paths = paths[:paths.index("--tools")]
    results = []
    for path in paths:
        results += check(objdump, version, path)
    for path in tools:
        results += check_tool(objdump, path)
    failed = results.count(False)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

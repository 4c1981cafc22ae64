#!/usr/bin/env python3
"""Checks the shipped programs against the project's rules; pefile reads the executables.

  pe_check.py OBJDUMP VERSION RELAY... [--bridges BRIDGE...] [--tools TOOL...]

Every program: each import is one the project allows (windows_imports.txt), on the Windows the
program asks for (XP for 32-bit, XP x64 / Server 2003 for 64-bit), and a 64-bit program never
moves the stack pointer inside a function where its unwind data say it stays put.
The relays, besides: USER32.dll and KERNEL32.dll only, exactly the functions they call; a GUI
program within its byte budget, with the usual alignments; every section's raw size, raw pointer
and flags agree with what it holds, none both writable and executable; relocations and the
loader's hardening flags (NO_SEH on x86, high-entropy ASLR on x64); unwind data for every x64
function; a version resource naming the product, the version and the file.
The bridges: KERNEL32.dll, WS2_32.dll, ADVAPI32.dll, Secur32.dll and CRYPT32.dll only, a console program within its byte budget,
with the relays' hardening flags, valid relocations and no section both writable and
executable, and a version resource of their own. The tools (the installer package's custom
action DLLs among them): system DLLs only. Prints one line
per check and "N passed, N failed".
"""
import os
import re
import subprocess
import sys

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ALLOWED_IMPORTS = os.path.join(HERE, "windows_imports.txt")

RELAY_IMPORTS = {
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
# DYNAMIC_BASE, NX_COMPAT and TERMINAL_SERVER_AWARE; NO_SEH on x86 (the relay installs no
# exception handler), HIGH_ENTROPY_VA on x64.
DLL_CHARACTERISTICS = {"x86": 0x8540, "x64": 0x8160}
# The smallest clean size with everything above, in blocks of 512 bytes: headers 2 (four or five
# section headers do not fit beside the linker's DOS stub in one), code 6 on x86 and 8 on x64,
# resources 2, relocations 1, and on x64 the function table 1.
MAX_SIZE = {"x86": 5632, "x64": 7168}
RELOCATION_TYPE = {"x86": 3, "x64": 10}  # HIGHLOW, DIR64
# The newest Windows each bitness must start on, as NT versions: XP SP3, and XP x64 / 2003 SP2.
OLDEST_WINDOWS = {"x86": (5, 1), "x64": (5, 2)}
SYSTEM_DLLS = {"KERNEL32.dll", "USER32.dll", "msvcrt.dll", "ADVAPI32.dll", "GDI32.dll", "msi.dll",
               "ntdll.dll", "WS2_32.dll"}


def load(path):
    return pefile.PE(path)


def arch_of(pe):
    return "x64" if pe.OPTIONAL_HEADER.Magic == 0x20B else "x86"


def name_of(section):
    return section.Name.rstrip(b"\0").decode()


def sections(path):
    """(name, content bytes, file bytes) of each section, for the benchmark's table."""
    return [(name_of(s), s.Misc_VirtualSize, s.SizeOfRawData) for s in load(path).sections]


def imports(pe):
    """{DLL name: set of function names} as the import directory lists them."""
    out = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = out.setdefault(entry.dll.decode(), set())
        for symbol in entry.imports:
            names.add(symbol.name.decode() if symbol.name else "#%d" % symbol.ordinal)
    return out


def allowed_imports(path=ALLOWED_IMPORTS):
    """{(DLL, function): (major, minor)} from the checked-in list."""
    allowed = {}
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                dll, function, version = line.split()
                major, minor = version.split(".")
                allowed[(dll, function)] = (int(major), int(minor))
    return allowed


def import_problems(found, arch, allowed):
    """Each import that the list does not allow, or that is newer than the bitness's oldest
    Windows, as one short text."""
    problems = []
    for dll, names in sorted(found.items()):
        for function in sorted(names):
            version = allowed.get((dll, function))
            if version is None:
                problems.append("%s!%s is not in the list" % (dll, function))
            elif version > OLDEST_WINDOWS[arch]:
                problems.append("%s!%s needs Windows %d.%d" % ((dll, function) + version))
    return problems


def disassembly(objdump, path):
    """(address, mnemonic, operands) of every instruction in the program's code."""
    text = subprocess.run([objdump, "-d", "-w", path], capture_output=True, text=True,
                          check=True).stdout
    out = []
    for line in text.splitlines():
        m = re.match(r"^\s+([0-9a-f]+):\t[0-9a-f ]+\t(\S+)\s*(.*)$", line)
        if m:
            mnemonic, operands = m.group(2), m.group(3).split("#", 1)[0].strip()
            if mnemonic.startswith("rex"):  # a prefix objdump prints apart: "rex.W jmp *%rax"
                mnemonic, _, operands = operands.partition(" ")
                operands = operands.strip()
            out.append((int(m.group(1), 16), mnemonic, operands))
    return out


def moves_rsp(mnemonic, operands):
    if re.match(r"(push|pop)", mnemonic) or mnemonic in ("enter", "leave"):
        return True
    return bool(re.search(r"(^|,)%rsp$", operands)) and not mnemonic.startswith(("cmp", "test"))


def in_epilogue(code, i):
    """Whether code[i] starts an epilogue as x64 unwinding knows it: at most one release of the
    frame (add or lea to RSP, or the sub of a negative number that -Os writes for 128, which
    fits a byte only that way), then pops of registers, then a return or a tail jump. Stopped
    at that first instruction the frame is still whole; from the pops on the unwinder sees the
    epilogue."""
    mnemonic, operands = code[i][1:]
    released = re.match(r"(add|lea)", mnemonic) or (
        mnemonic.startswith("sub") and operands.startswith("$0xffffffff"))
    if released and operands.endswith("%rsp"):
        i += 1
    while i < len(code) and re.match(r"pop", code[i][1]):
        i += 1
    return i < len(code) and re.match(r"(ret|rep|jmp)", code[i][1]) is not None


def stack_moves_outside_prologue(pe, code):
    """Addresses where a function described by fixed-frame unwind data moves RSP after its
    prologue other than in an epilogue; a debugger stopped there would unwind wrongly."""
    bad = []
    base = pe.OPTIONAL_HEADER.ImageBase
    for entry in getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", []):
        info = getattr(entry, "unwindinfo", None)
        if info is None or info.FrameRegister:  # a frame register makes RSP free to move
            continue
        begin, end = base + entry.struct.BeginAddress, base + entry.struct.EndAddress
        body = [c for c in code if begin <= c[0] < end]
        for i, (address, mnemonic, operands) in enumerate(body):
            if address < begin + info.SizeOfProlog or not moves_rsp(mnemonic, operands):
                continue
            if not in_epilogue(body, i):
                bad.append("%#x %s %s" % (address, mnemonic, operands))
    return bad


def bad_relocations(pe):
    """The relocations (of the bitness's one type, padding left out), and the addresses of those
    that are of another type or do not fix an address inside the image."""
    arch, opt = arch_of(pe), pe.OPTIONAL_HEADER
    fixups = [(e.rva, e.type) for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
              for e in block.entries if e.type]
    bad = []
    for rva, kind in fixups:
        target = pe.get_qword_at_rva(rva) if arch == "x64" else pe.get_dword_at_rva(rva)
        if kind != RELOCATION_TYPE[arch] or target is None or not (
                opt.ImageBase <= target < opt.ImageBase + opt.SizeOfImage):
            bad.append(hex(rva))
    return fixups, bad


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


class Checks:
    def __init__(self):
        self.results = []

    def expect(self, path, name, ok, detail=""):
        self.results.append(bool(ok))
        print("%s %s: %s%s" % ("ok  " if ok else "FAIL", path, name,
                               (" (%s)" % (detail,)) if detail != "" else ""))


def check_every_program(checks, objdump, path, pe, allowed):
    arch = arch_of(pe)
    problems = import_problems(imports(pe), arch, allowed)
    checks.expect(path, "every import allowed and on Windows %d.%d" % OLDEST_WINDOWS[arch],
                  not problems, "; ".join(problems[:6]))
    if arch == "x64":
        bad = stack_moves_outside_prologue(pe, disassembly(objdump, path))
        checks.expect(path, "RSP moves only in prologues and epilogues", not bad,
                      "; ".join(bad[:5]) + (" and %d more" % (len(bad) - 5) if len(bad) > 5 else ""))


def check_relay(checks, version, path, pe):
    expect = lambda name, ok, detail="": checks.expect(path, name, ok, detail)
    arch = arch_of(pe)
    opt = pe.OPTIONAL_HEADER
    size = len(pe.__data__)
    expect("size at most %d bytes" % MAX_SIZE[arch], size <= MAX_SIZE[arch], "%d bytes" % size)

    found = imports(pe)
    expect("imports from USER32.dll and KERNEL32.dll only", set(found) == set(RELAY_IMPORTS),
           ", ".join(sorted(found)))
    for dll, names in RELAY_IMPORTS.items():
        got = found.get(dll, set())
        expect("%s imports exactly what the relay calls" % dll, got == names,
               "extra %s, missing %s" % (sorted(got - names), sorted(names - got)))

    # Sections: the expected ones, in order, each with its flags; initialised ones follow each
    # other in the file with their whole content; uninitialised ones have no file bytes.
    names = [(name_of(s), s.Characteristics) for s in pe.sections]
    expect("sections and their flags", names == SECTIONS[arch],
           ", ".join("%s %08x" % n for n in names))
    at = opt.SizeOfHeaders
    for s in pe.sections:
        name, flags = name_of(s), s.Characteristics
        if flags & UNINIT:
            ok = s.SizeOfRawData == 0 and s.PointerToRawData == 0 and not flags & INIT
            expect("%s has no file bytes" % name, ok,
                   "raw size %#x at %#x" % (s.SizeOfRawData, s.PointerToRawData))
        else:
            want = -(-s.Misc_VirtualSize // opt.FileAlignment) * opt.FileAlignment
            ok = s.PointerToRawData == at and s.SizeOfRawData == want
            expect("%s has its content in the file" % name, ok, "raw size %#x at %#x, virtual "
                   "size %#x" % (s.SizeOfRawData, s.PointerToRawData, s.Misc_VirtualSize))
            at = s.PointerToRawData + s.SizeOfRawData
        expect("%s is not both writable and executable" % name,
               not (flags & WRITE and flags & EXECUTE), "%08x" % flags)
    expect("nothing after the last section", size == at, "%d bytes, sections end at %d" % (size, at))

    expect("GUI subsystem", opt.Subsystem == 2, opt.Subsystem)
    got = (opt.MajorSubsystemVersion, opt.MinorSubsystemVersion)
    expect("subsystem version at most %d.%02d" % OLDEST_WINDOWS[arch],
           got <= OLDEST_WINDOWS[arch], "%d.%02d" % got)
    expect("section alignment 4 KiB", opt.SectionAlignment == 0x1000)
    expect("file alignment 512", opt.FileAlignment == 0x200)
    text = pe.sections[0]
    expect("entry point inside the code", text.VirtualAddress <= opt.AddressOfEntryPoint <
           text.VirtualAddress + text.Misc_VirtualSize, hex(opt.AddressOfEntryPoint))

    # Relocations: present, of the bitness's one type, each at an address in the file whose
    # value is an address inside the image.
    expect("loader hardening flags", opt.DllCharacteristics == DLL_CHARACTERISTICS[arch],
           "%04x" % opt.DllCharacteristics)
    expect("relocations not stripped", not pe.FILE_HEADER.Characteristics & 1,
           "%04x" % pe.FILE_HEADER.Characteristics)
    fixups, bad = bad_relocations(pe)
    expect("relocations present", len(fixups) > 0, "%d" % len(fixups))
    expect("every relocation fixes an address inside the image", not bad, ", ".join(bad[:5]))

    if arch == "x64":
        # One function table entry per function, as the compiler emits them: the entries cover
        # the code from its start with nothing but padding between them, and each has unwind
        # data.
        entries = getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])
        spans = [(e.struct.BeginAddress, e.struct.EndAddress) for e in entries]
        expect("exception directory present", len(spans) > 0, "%d functions" % len(spans))
        gaps = [hex(e) for (_, e), (b, _) in zip(spans, spans[1:])
                if b < e or (b > e and pe.get_data(e, b - e).strip(b"\x90\xcc"))]
        ok = spans and spans[0][0] == text.VirtualAddress and not gaps and all(
            getattr(e, "unwindinfo", None) is not None for e in entries)
        expect("unwind data covers every function", ok, "gaps at %s" % ", ".join(gaps[:5]))
        expect("entry point has unwind data",
               any(b <= opt.AddressOfEntryPoint < e for b, e in spans), hex(opt.AddressOfEntryPoint))

    strings = version_strings(pe)
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [None])[0]
    split = lambda hi, lo: (hi >> 16, hi & 0xFFFF, lo >> 16, lo & 0xFFFF)
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    wanted = {"FileDescription": "vardex reading relay", "FileVersion": version,
              "ProductName": "vardex", "ProductVersion": version, "InternalName": "vardex",
              "OriginalFilename": os.path.basename(path)}
    for key, value in wanted.items():
        expect("version %s" % key, strings.get(key) == value, strings.get(key))
    expect("version LegalCopyright", "the vardex authors" in strings.get("LegalCopyright", ""),
           strings.get("LegalCopyright"))
    versions = fixed and (split(fixed.FileVersionMS, fixed.FileVersionLS),
                          split(fixed.ProductVersionMS, fixed.ProductVersionLS))
    expect("fixed version numbers", versions == (numbers, numbers), versions)


BRIDGE_DLLS = {"KERNEL32.dll", "WS2_32.dll", "ADVAPI32.dll", "Secur32.dll", "CRYPT32.dll"}
# Measured, with a little room: code for the codec, the session, both roles, Winsock, and the
# service (install and reconfigure, uninstall, the service manager's protocol, the Event Log), TLS
# (the record plumbing with post-handshake messages and certificate requests, the certificate
# check with its issuers, PEM reading, the handshake's lines: Windows' statuses and TLS alerts by
# name, the broker's list of client CAs read against the certificate's issuer) and the client
# certificate (store lookup, the choice by issuer, PKCS#12 import, its checks, the deletion of an
# imported key and of a killed run's, install's import into the machine's store, a failed
# reconfigure's rollback). Measured at 62,976 (x86) and 69,120 (x64) bytes, with one 512-byte file
# block of room: no initialised data (a section of its own would cost a block), name tables packed
# as texts, x64 inlining that counts unwind entries, lines built by one format call, no unused
# import jump stubs, data aligned as the ABI asks, and small helpers called where inlining them
# cost more.
BRIDGE_MAX_SIZE = {"x86": 63488, "x64": 69632}


def check_bridge(checks, version, path, pe):
    expect = lambda name, ok, detail="": checks.expect(path, name, ok, detail)
    arch = arch_of(pe)
    opt = pe.OPTIONAL_HEADER
    size = len(pe.__data__)
    expect("size at most %d bytes" % BRIDGE_MAX_SIZE[arch], size <= BRIDGE_MAX_SIZE[arch],
           "%d bytes" % size)
    found = imports(pe)
    expect("imports from " + ", ".join(sorted(BRIDGE_DLLS)) + " only", set(found) == BRIDGE_DLLS,
           ", ".join(sorted(found)))
    expect("console subsystem", opt.Subsystem == 3, opt.Subsystem)
    got = (opt.MajorSubsystemVersion, opt.MinorSubsystemVersion)
    expect("subsystem version at most %d.%02d" % OLDEST_WINDOWS[arch],
           got <= OLDEST_WINDOWS[arch], "%d.%02d" % got)
    expect("loader hardening flags", opt.DllCharacteristics == DLL_CHARACTERISTICS[arch],
           "%04x" % opt.DllCharacteristics)
    for s in pe.sections:
        expect("%s is not both writable and executable" % name_of(s),
               not (s.Characteristics & WRITE and s.Characteristics & EXECUTE))
    # A few bytes of initialised data (a variable set to -1, a structure the compiler copies
    # from a template) cost a whole file block.
    data = [s.SizeOfRawData for s in pe.sections if name_of(s) == ".data"]
    expect("no initialised data", not data, data)
    fixups, bad = bad_relocations(pe)
    expect("relocations present, each fixing an address inside the image", fixups and not bad,
           "%d, bad %s" % (len(fixups), ", ".join(bad[:5])))
    strings = version_strings(pe)
    expect("version information", strings.get("ProductVersion") == version and
           strings.get("OriginalFilename") == os.path.basename(path) and
           strings.get("InternalName") == "vardex-bridge", strings)


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    objdump, version, paths = argv[0], argv[1], argv[2:]
    tools, bridges = [], []
    if "--tools" in paths:
        tools = paths[paths.index("--tools") + 1:]
        paths = paths[:paths.index("--tools")]
    if "--bridges" in paths:
        bridges = paths[paths.index("--bridges") + 1:]
        paths = paths[:paths.index("--bridges")]
    allowed = allowed_imports()
    checks = Checks()
    for path in paths + bridges + tools:
        pe = load(path)
        check_every_program(checks, objdump, path, pe, allowed)
        if path in paths:
            check_relay(checks, version, path, pe)
        elif path in bridges:
            check_bridge(checks, version, path, pe)
        else:
            found = imports(pe)
            checks.expect(path, "system DLLs only", set(found) <= SYSTEM_DLLS,
                          ", ".join(sorted(found)))
    failed = checks.results.count(False)
    print("%d passed, %d failed" % (len(checks.results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

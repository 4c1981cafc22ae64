#!/usr/bin/env python3
"""Packs the release: dist/vardex-<version>.zip, the same bytes from every build of a commit.

  release.py [OUT_DIR]

Takes both relays, both bridges and both bitnesses of slot-listen and probe-standin from dist/
(make dist),
README.md up to "Building and testing" as README.txt, LICENSE as LICENSE.txt and BUILDINFO.txt
(the toolchain that made it), and adds SHA256SUMS over those files; every text has CRLF line
ends, for Notepad. The version is the build's; entries are sorted, with fixed times
(SOURCE_DATE_EPOCH, else the commit's time) and fixed attributes. The same bytes come from the
same toolchain: BUILDINFO.txt names it so that anyone can check. Then the bridge's installer
packages (msi_package.py), and vardex-<version>.sha256 over the zip and both packages.
"""
import calendar
import hashlib
import os
import platform
import re
import subprocess
import sys
import time
import zipfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAMS = ["vardex-x86.exe", "vardex-x64.exe", "vardex-bridge-x86.exe", "vardex-bridge-x64.exe",
            "slot-listen-x86.exe", "slot-listen-x64.exe", "probe-standin-x86.exe",
            "probe-standin-x64.exe"]
ZIP_EPOCH = 315532800  # 1980-01-01, the earliest time a zip entry can hold


def version():
    with open(os.path.join(ROOT, "build", "x86", "CMakeCache.txt")) as f:
        return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(\S+)$", f.read(), re.M).group(1)


def entry_time():
    if "SOURCE_DATE_EPOCH" in os.environ:
        seconds = int(os.environ["SOURCE_DATE_EPOCH"])
    else:
        done = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"],
                              capture_output=True, text=True)
        seconds = int(done.stdout) if done.returncode == 0 and done.stdout.strip() else ZIP_EPOCH
    return time.gmtime(max(seconds, ZIP_EPOCH))[:6]


def windows_text(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode()


def readme_for_windows():
    """Everything a user reads, from the top to the reference and "Checking a download"; the
    building notes start at "Building and testing" and stay out."""
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    return windows_text(text[:text.index("\n## Building and testing")] + "\n")


def first_line(argv):
    try:
        done = subprocess.run(argv, capture_output=True, text=True)
    except OSError:
        return "not found"
    return (done.stdout.strip().splitlines() or ["unknown"])[0]


def build_info(name):
    """What made the programs and the archive: compilers, binutils, the MinGW-w64 runtime and
    the zip writer, with Debian's package versions where there are any."""
    packages = ["g++-mingw-w64-i686-posix", "g++-mingw-w64-x86-64-posix",
                "binutils-mingw-w64-i686", "binutils-mingw-w64-x86-64", "mingw-w64-i686-dev",
                "mingw-w64-x86-64-dev"]
    lines = ["%s was built with this toolchain; the same toolchain gives the same bytes." % name,
             ""]
    for triplet in ("i686", "x86_64"):
        lines.append("%s compiler: %s" % (triplet, first_line(
            ["%s-w64-mingw32-g++-posix" % triplet, "--version"])))
        lines.append("%s binutils: %s" % (triplet, first_line(
            ["%s-w64-mingw32-ld" % triplet, "--version"])))
        lines.append("%s resource compiler: %s" % (triplet, first_line(
            ["%s-w64-mingw32-windres" % triplet, "--version"])))
    lines.append("zip writer: Python %s zipfile, deflate level 9, zlib %s" % (
        platform.python_version(), zlib.ZLIB_RUNTIME_VERSION))
    lines.append("")
    lines.append("Debian packages:")
    for package in packages:
        version = first_line(["dpkg-query", "-W", "-f=${Version}\\n", package])
        lines.append("  %s %s" % (package, version if version else "not installed"))
    return windows_text("\n".join(lines) + "\n")


def main(argv):
    out = argv[0] if argv else os.path.join(ROOT, "dist")
    name = "vardex-%s" % version()
    files = {}
    for program in PROGRAMS:
        with open(os.path.join(ROOT, "dist", program), "rb") as f:
            files[program] = f.read()
    files["README.txt"] = readme_for_windows()
    with open(os.path.join(ROOT, "LICENSE")) as f:
        files["LICENSE.txt"] = windows_text(f.read())
    files["BUILDINFO.txt"] = build_info(name)
    files["SHA256SUMS"] = windows_text("".join(
        "%s  %s\n" % (hashlib.sha256(data).hexdigest(), file)
        for file, data in sorted(files.items())))

    os.makedirs(out, exist_ok=True)
    archive = os.path.join(out, name + ".zip")
    stamp = entry_time()
    with zipfile.ZipFile(archive, "w") as z:
        for file in sorted(files):
            info = zipfile.ZipInfo("%s/%s" % (name, file), date_time=stamp)
            info.create_system = 0  # MS-DOS attributes: nothing of this machine's users or modes
            info.external_attr = 0
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, files[file], compresslevel=9)
    digest = hashlib.sha256(open(archive, "rb").read()).hexdigest()
    print("%s: %d files, %d bytes, sha256 %s" % (archive, len(files), os.path.getsize(archive), digest))
    # The bridge's installer packages, with the same README, licence and time as the zip.
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import msi_package
    seconds = calendar.timegm(stamp + (0, 0, 0))
    released = [archive] + [msi_package.build(version(), arch, out, seconds, files["README.txt"],
                                              files["LICENSE.txt"]) for arch in ("x64", "x86")]
    sums = os.path.join(out, name + ".sha256")
    with open(sums, "wb") as f:
        f.write(windows_text("".join("%s  %s\n" % (hashlib.sha256(open(p, "rb").read()).hexdigest(),
                                                   os.path.basename(p)) for p in released)))
    for path in released[1:]:
        print("%s: %d bytes" % (path, os.path.getsize(path)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

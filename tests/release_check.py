#!/usr/bin/env python3
"""The release archive is reproducible and says what it holds: built with make release from two
copies of the sources in folders of different names and depths, it comes out byte-identical,
its SHA256SUMS match its files, it names the toolchain that made it, and its texts (the sums
too) have Windows line ends. Its README.txt is the user's part: the quick start, no build
commands, and the bridge's options table naming exactly the options of --help. The bridge's
installer packages are byte-identical too, listed in the release's sums, and their tables (read
with msiinfo) are what the README says. Prints one line per check and "N passed, N failed".
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXPECTED = {"vardex-x86.exe", "vardex-x64.exe", "vardex-bridge-x86.exe", "vardex-bridge-x64.exe",
            "slot-listen-x86.exe", "slot-listen-x64.exe",
            "probe-standin-x86.exe", "probe-standin-x64.exe", "README.txt", "LICENSE.txt",
            "BUILDINFO.txt", "SHA256SUMS"}


def sources():
    """The files of the working tree that git tracks or would track."""
    listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-co", "--exclude-standard", "-z"],
                            capture_output=True, check=True).stdout.decode().split("\0")
    return [f for f in listed if f and os.path.isfile(os.path.join(ROOT, f))]


def build(folder, epoch):
    for name in sources():
        target = os.path.join(folder, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, name), target)
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    done = subprocess.run(["make", "-C", folder, "release"], env=env, capture_output=True,
                          text=True)
    if done.returncode != 0:
        print(done.stdout[-3000:] + done.stderr[-3000:])
        return None
    archives = [f for f in os.listdir(os.path.join(folder, "dist")) if f.endswith(".zip")]
    return os.path.join(folder, "dist", archives[0]) if len(archives) == 1 else None


def help_options():
    """The options --help names: the rows of the bridge's table of options that --help shows
    (all but --password, which is refused), and --help and --version."""
    with open(os.path.join(ROOT, "bridge", "core", "bridge_options.cpp")) as f:
        rows = re.findall(r'^\s*\{"(--[a-z][a-z-]*)"', f.read(), re.M)
    return (set(rows) - {"--password"}) | {"--help", "--version"}


def table_options(readme):
    """The options in the first column of the README's options table (headed "| Option |")."""
    options = set()
    in_table = False
    for line in readme.splitlines():
        if line.startswith("| Option |"):
            in_table = True
        elif in_table and line.startswith("|"):
            options |= set(re.findall(r"--[a-z][a-z-]*", line.split("|")[1]))
        elif in_table:
            break
    return options


def table(package, name):
    out = subprocess.run(["msiinfo", "export", package, name], capture_output=True, text=True)
    return out.stdout


def packages(expect, first, second):
    """The bridge's installer packages: the same bytes from both builds, in the sums beside the
    zip, and tables that say what the README says of them."""
    dist_a, dist_b = os.path.dirname(first), os.path.dirname(second)
    version = os.path.basename(first)[len("vardex-"):-len(".zip")]
    names = ["vardex-bridge-%s-%s.msi" % (version, arch) for arch in ("x64", "x86")]
    for name in names:
        a, b = (os.path.join(d, name) for d in (dist_a, dist_b))
        same = (os.path.exists(a) and os.path.exists(b) and
                open(a, "rb").read() == open(b, "rb").read())
        expect("%s byte-identical from both folders" % name, same)
    sums = {}
    listing = os.path.join(dist_a, "vardex-%s.sha256" % version)
    text = open(listing, "rb").read().decode() if os.path.exists(listing) else ""
    for line in text.splitlines():
        digest, name = line.split("  ", 1)
        sums[name] = digest
    expect("the release's sums cover the zip and both packages",
           set(sums) == set(names) | {os.path.basename(first)} and all(
               hashlib.sha256(open(os.path.join(dist_a, n), "rb").read()).hexdigest() == d
               for n, d in sums.items()))
    x64, x86 = (os.path.join(dist_a, n) for n in names)
    expect("the x64 package refuses 32-bit Windows, the x86 one does not",
           "VersionNT64" in table(x64, "LaunchCondition") and
           "VersionNT64" not in table(x86, "LaunchCondition"))
    for package in (x64, x86):
        properties = table(package, "Property")
        upgrade = table(package, "Upgrade")
        arch = package[-7:-4]
        expect("%s: per-machine, MQTT_PASSWORD hidden, a fixed upgrade code that refuses a "
               "downgrade" % arch,
               "ALLUSERS\t1" in properties and "MsiHiddenProperties\tMQTT_PASSWORD" in properties
               # the set-up's CustomActionData holds the password: HideTarget (0x2000) is set
               and "VardexSetUpService\t%d\t" % (1 | 1024 | 2048 | 0x2000) in
               table(package, "CustomAction") and "WIX_DOWNGRADE_DETECTED" in upgrade and "A newer version" in
               table(package, "LaunchCondition") and
               ("6A3C1F5E-0B7D-4E52-9C1A-7D2E4B8F6A0" + ("1" if arch == "x64" else "2")) in upgrade)
        expect("%s: the Relay feature is only added on request, with the Run value" % arch,
               re.search(r"^Relay\t.*\t1000\t", table(package, "Feature"), re.M) and
               "CurrentVersion\\Run\tvardex" in table(package, "Registry"))


def main():
    results = []

    def expect(name, ok, detail=""):
        results.append(bool(ok))
        print("%s release: %s%s" % ("ok  " if ok else "FAIL", name, (" (%s)" % detail) if detail else ""))

    commit = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"], capture_output=True,
                            text=True).stdout.strip() or "315532800"
    with tempfile.TemporaryDirectory(prefix="vardex-release-") as top:
        first = build(os.path.join(top, "a"), commit)
        second = build(os.path.join(top, "second", "copy", "of-the-sources"), commit)
        expect("both builds made an archive", first and second, "%s, %s" % (first, second))
        if not (first and second):
            print("%d passed, %d failed" % (results.count(True), results.count(False)))
            return 1
        a, b = open(first, "rb").read(), open(second, "rb").read()
        expect("byte-identical from both folders", a == b, "%s and %s" % (
            hashlib.sha256(a).hexdigest()[:16], hashlib.sha256(b).hexdigest()[:16]))

        with zipfile.ZipFile(first) as z:
            names = z.namelist()
            folder = os.path.basename(first)[:-len(".zip")]
            expect("one folder named after the archive", all(n.startswith(folder + "/") for n in names))
            files = {n.split("/", 1)[1]: z.read(n) for n in names}
        expect("the expected files", set(files) == EXPECTED, ", ".join(sorted(files)))
        sums = {}
        for line in files.get("SHA256SUMS", b"").decode().splitlines():
            digest, name = line.split("  ", 1)
            sums[name] = digest
        expect("SHA256SUMS covers every other file", set(sums) == EXPECTED - {"SHA256SUMS"})
        wrong = [n for n, d in sums.items() if hashlib.sha256(files.get(n, b"")).hexdigest() != d]
        expect("every sum matches its file", not wrong, ", ".join(wrong))
        for text in ("README.txt", "LICENSE.txt", "BUILDINFO.txt", "SHA256SUMS"):
            data = files.get(text, b"")
            expect("%s has Windows line ends only" % text,
                   data and data.count(b"\n") == data.count(b"\r\n"))
        readme = files.get("README.txt", b"").decode()
        expect("README.txt is the user's part, up to the building notes",
               "\n## Quick start: Home Assistant\r\n" in readme and "Building and testing" not in readme)
        commands = [l for l in readme.splitlines() if re.match(r"\s*`?(make|ctest)\b", l)]
        expect("README.txt has no make or ctest lines", not commands, "; ".join(commands))
        listed, helped = table_options(readme), help_options()
        expect("README.txt's options table is --help's options",
               listed == helped and len(helped) > 10,
               "table only: %s; --help only: %s" % (sorted(listed - helped), sorted(helped - listed)))
        info = files.get("BUILDINFO.txt", b"").decode()
        expect("BUILDINFO.txt names the compilers, binutils, runtime and zip writer",
               all(w in info for w in ("i686 compiler: i686-w64-mingw32-g++", "x86_64 binutils",
                                       "mingw-w64-i686-dev", "zip writer: Python")))
        expect("LICENSE.txt names the authors", b"the vardex authors" in files.get("LICENSE.txt", b""))
        packages(expect, first, second)

    failed = results.count(False)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

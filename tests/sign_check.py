#!/usr/bin/env python3
"""Signatures made elsewhere attach to a rebuilt release byte for byte, and the winget manifests
name the published files: the release (from dist/, make dist) is signed with a throwaway CA
made here, the signatures are taken off and put back on fresh unsigned copies with tools/sign.py,
and the result is compared with the directly signed files. Prints one line per check and
"N passed, N failed".
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

import yaml

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = os.path.join(ROOT, "tools")
sys.path.insert(0, TOOLS)
import release  # noqa: E402

# The fields winget's community repository requires in each kind of manifest.
REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher",
                      "PackageName", "License", "ShortDescription", "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestVersion"],
}
# A stand-in installer package for a release that has none yet: one file, per machine.
WXS = """<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Product Id="{%s1}" Name="vardex"
 Language="1033" Version="1.0.0" Manufacturer="vardex" UpgradeCode="{%s2}"><Package
 InstallScope="perMachine"/><Media Id="1" Cabinet="a.cab" EmbedCab="yes"/><Directory
 Id="TARGETDIR" Name="SourceDir"><Component Id="C" Guid="{%s3}"><File Source="vardex-bridge-x64.exe"
 /></Component></Directory><Feature Id="M" Level="1"><ComponentRef Id="C"/></Feature></Product></Wix>
""".replace("%s", "6C1D0F55-3A52-4C2B-9D43-0E5E6A1B2C0")


def run(argv, cwd=None):
    done = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def sha(data):
    return hashlib.sha256(data).hexdigest()


def throwaway_ca(folder):
    """A CA and a code-signing certificate it issued, both valid for two days."""
    ext = os.path.join(folder, "ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    steps = [
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
         "-out", "ca.pem", "-days", "2", "-subj", "/CN=vardex throwaway CA",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
        ["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key",
         "-out", "signer.csr", "-subj", "/CN=vardex throwaway signer"],
        ["openssl", "x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
         "-CAcreateserial", "-out", "signer.pem", "-days", "2", "-extfile", ext],
    ]
    for step in steps:
        code, out = run(step, cwd=folder)
        if code:
            sys.exit("throwaway CA: %s" % out)
    return os.path.join(folder, "ca.pem"), ["-certs", os.path.join(folder, "signer.pem"),
                                            "-key", os.path.join(folder, "signer.key"),
                                            "-h", "sha256", "-n", "vardex"]


def tree(folder):
    return {os.path.relpath(os.path.join(d, f), folder): open(os.path.join(d, f), "rb").read()
            for d, _, files in os.walk(folder) for f in files}


def main():
    results = []

    def expect(name, ok, detail=""):
        results.append(bool(ok))
        print("%s sign: %s%s" % ("ok  " if ok else "FAIL", name,
                                 (" (%s)" % detail) if detail and not ok else ""))

    sign = [sys.executable, os.path.join(TOOLS, "sign.py")]
    with tempfile.TemporaryDirectory(prefix="vardex-sign-") as top:
        dist = os.path.join(top, "dist")
        code, out = run([sys.executable, os.path.join(TOOLS, "release.py"), dist])
        if code:
            sys.exit(out)
        name = "vardex-%s" % release.version()
        package = os.path.join(dist, "vardex-bridge-%s-x64.msi" % release.version())
        if not os.path.isfile(package):
            with open(os.path.join(top, "p.wxs"), "w") as f:
                f.write(WXS)
            shutil.copy(os.path.join(ROOT, "dist", "vardex-bridge-x64.exe"), top)
            code, out = run(["wixl", "-o", package, "p.wxs"], cwd=top)
            if code:
                sys.exit(out)
        unsigned = tree(dist)
        ca, options = throwaway_ca(top)

        # The signer's part: sign copies directly, then take their signatures off.
        direct = os.path.join(top, "direct")
        os.makedirs(direct)
        with zipfile.ZipFile(os.path.join(dist, name + ".zip")) as z:
            files = {p: z.read("%s/%s" % (name, p)) for p in release.PROGRAMS}
        files.update({f: d for f, d in unsigned.items() if f.endswith(".msi")})
        for file, data in files.items():
            with open(os.path.join(top, file), "wb") as f:
                f.write(data)
            # The package's signature covers its metadata too, as SignTool's can.
            dse = ["-add-msi-dse"] if file.endswith(".msi") else []
            code, out = run(["osslsigncode", "sign"] + options + dse +
                            ["-in", os.path.join(top, file), "-out", os.path.join(direct, file)])
            if code:
                sys.exit(out)
        sigs = os.path.join(top, "sigs")
        code, out = run(sign + ["extract", direct, sigs, "--dist", dist])
        expect("extract writes one signature per file", code == 0 and
               sorted(os.listdir(sigs)) == sorted(f + ".sig" for f in files), out[-300:])

        # The build machine's part: attach them to the rebuilt unsigned files.
        code, out = run(sign + ["attach", sigs, "--ca", ca, "--dist", dist])
        expect("attach succeeds", code == 0, out[-500:])
        signed_dir = os.path.join(dist, "signed")
        published = tree(signed_dir) if os.path.isdir(signed_dir) else {}
        signed = {f: d for f, d in published.items() if f.endswith(".msi")}
        with zipfile.ZipFile(os.path.join(signed_dir, name + ".zip")) as z:
            inside = {n.split("/", 1)[1]: z.read(n) for n in z.namelist()}
        signed.update({p: inside.get(p, b"") for p in release.PROGRAMS})
        differ = [f for f in files if signed.get(f) != open(os.path.join(direct, f), "rb").read()]
        expect("reattached files are byte-identical to the directly signed ones", not differ,
               ", ".join(differ))
        failed = [f for f in signed if run(["osslsigncode", "verify", "-CAfile", ca, "-in",
                                            os.path.join(direct, f)])[0]]
        expect("osslsigncode verify passes with the throwaway CA", not failed, ", ".join(failed))
        expect("the unsigned files are unchanged",
               {f: d for f, d in tree(dist).items() if not f.startswith("signed")} == unsigned)

        with zipfile.ZipFile(os.path.join(dist, name + ".zip")) as z:
            plain = {n.split("/", 1)[1]: z.read(n) for n in z.namelist()}
        expect("the signed zip keeps the texts and unsigned sums, adds SHA256SUMS.signed",
               set(inside) == set(plain) | {"SHA256SUMS.signed"} and
               all(inside[f] == plain[f] for f in plain if f not in release.PROGRAMS))
        for label, named, wanted in (
                ("SHA256SUMS.signed in the zip", inside, set(release.PROGRAMS)),
                ("SHA256SUMS.signed beside the signed zip", published,
                 set(published) - {"SHA256SUMS.signed"})):
            text = named.get("SHA256SUMS.signed", b"")
            listed = dict(reversed(l.split("  ", 1)) for l in text.decode().splitlines())
            expect("%s matches every signed file, Windows line ends" % label,
                   set(listed) == wanted and text.count(b"\n") == text.count(b"\r\n") and
                   all(sha(named[f]) == d for f, d in listed.items()), ", ".join(sorted(listed)))

        # A signature made for other bytes is refused, and nothing is signed with it.
        wrong = os.path.join(top, "wrong")
        os.makedirs(wrong)
        for file in os.listdir(sigs):
            other = "vardex-x64.exe.sig" if file == "vardex-x86.exe.sig" else file
            with open(os.path.join(sigs, other), "rb") as f, open(os.path.join(wrong, file), "wb") as g:
                g.write(f.read())
        code, out = run(sign + ["attach", wrong, "--ca", ca, "--dist", dist])
        expect("a signature for other bytes is refused", code != 0 and "vardex-x86.exe" in out
               and tree(signed_dir) == published, out.strip()[-200:])
        code, out = run(sign + ["attach", sigs, "--dist", dist])
        expect("a chain to no trusted CA is refused", code != 0, out.strip()[-200:])
        code, out = run(sign + ["attach", sigs, "--ca", ca, "--dist", dist])
        expect("attached again, the same bytes", code == 0 and tree(signed_dir) == published)

        # The signer's one-step way gives signatures that attach as well.
        code, out = run(sign + ["detach", os.path.join(top, "sigs2"), "--dist", dist, "--"] +
                        options)
        code2, out2 = run(sign + ["attach", os.path.join(top, "sigs2"), "--ca", ca,
                                  "--dist", dist])
        expect("detach makes signatures that attach", code == 0 and code2 == 0, (out + out2)[-300:])

        # winget manifests for what attach just published.
        base = "https://example.org/vardex/%s" % release.version()
        wg = os.path.join(top, "winget")
        code, out = run([sys.executable, os.path.join(TOOLS, "winget.py"), base,
                         "--from", signed_dir, "--out", wg])
        published = tree(signed_dir)
        manifests = {f: yaml.safe_load(d) for f, d in tree(wg).items()}
        kinds = sorted((m.get("PackageIdentifier"), m.get("ManifestType")) for m in manifests.values())
        expect("winget: version, locale and installer manifests for both packages",
               code == 0 and kinds == sorted((p, k) for p in ("Vardex.Bridge", "Vardex.Vardex")
                                             for k in REQUIRED), out[-300:] or str(kinds))
        missing = ["%s:%s" % (f, k) for f, m in manifests.items()
                   for k in REQUIRED.get(m.get("ManifestType"), ["ManifestType"]) if not m.get(k)]
        expect("winget: every required field", not missing, ", ".join(missing))
        expect("winget: in the repository's folders, schema 1.6.0 or later",
               all(f.startswith(os.path.join("manifests", "v", "Vardex")) and
                   tuple(map(int, m["ManifestVersion"].split("."))) >= (1, 6, 0)
                   for f, m in manifests.items()))
        installers = [i for m in manifests.values() for i in m.get("Installers", [])]
        wrong = [i["InstallerUrl"] for i in installers
                 if not i["InstallerUrl"].startswith(base + "/") or
                 sha(published.get(i["InstallerUrl"][len(base) + 1:], b"")).upper()
                 != i["InstallerSha256"]]
        expect("winget: each installer's sum is its published file's", installers and not wrong,
               ", ".join(wrong))
        msi = [i for i in installers if i["InstallerType"] == "msi"]
        expect("winget: the package per machine with its product code", msi and all(
            i["Scope"] == "machine" and i.get("ProductCode", "").startswith("{") for i in msi))
        nested = [n["RelativeFilePath"].replace("\\", "/") for i in installers
                  if i["InstallerType"] == "zip" for n in i["NestedInstallerFiles"]]
        expect("winget: the zip's portable programs are in it",
               nested and all(n.split("/", 1)[1] in inside for n in nested), ", ".join(nested))

    failed = results.count(False)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

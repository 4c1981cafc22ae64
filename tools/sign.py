#!/usr/bin/env python3
"""Attaches Authenticode signatures made elsewhere to the release, and makes them for the signer.

  sign.py attach SIGNATURES [--ca FILE] [--dist DIR]      (make sign SIGNATURES=dir)
  sign.py detach OUT_DIR [--dist DIR] -- SIGN_OPTIONS...   for the one who holds the key
  sign.py extract SIGNED_DIR OUT_DIR [--dist DIR]          the same, from files signed elsewhere

make release stays unsigned, so anyone can rebuild its bytes. The code-signing key stays on its
hardware token, away from the build machine: the signer signs the release's unsigned programs
(the .exe files of dist/vardex-<version>.zip) and installer packages
(dist/vardex-bridge-<version>-x64.msi and -x86.msi, when the release has them) and publishes
only the detached signatures, one DER file per file, named after it: vardex-bridge-x64.exe.sig,
vardex-bridge-<version>-x64.msi.sig.

attach puts each signature back on a copy of its unsigned file with osslsigncode
attach-signature, which refuses a signature made for other bytes or one whose chain does not
lead to a trusted CA (the system's, or --ca FILE). It writes dist/signed/: the zip again with
the signed programs and SHA256SUMS.signed beside the unsigned SHA256SUMS, the signed packages,
and SHA256SUMS.signed over the signed zip and packages. The unsigned files are left as they were.
Anyone can check a published signed file: rebuild the release (make release), run attach with
the published signatures and compare the sums.

detach, on the signer's machine: signs a copy of each unsigned file with osslsigncode sign and
the options given after --, keeps only the signatures in OUT_DIR and throws the signed copies
away. With a key on a token (PKCS#11), for example:

  sign.py detach sigs -- -pkcs11module /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so \\
      -certs signer.pem -key 'pkcs11:object=code-signing' -h sha256 -n vardex \\
      -ts http://timestamp.example.org

extract, for a signer who signed copies with SignTool on Windows (signtool sign /fd sha256
/tr URL /td sha256 ...): reads those signed copies from SIGNED_DIR, named as the unsigned ones
(the programs as loose files), and writes their signatures to OUT_DIR.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import release  # noqa: E402  (the release's version and its programs' names)

PACKAGE_ARCHES = ("x64", "x86")


def unsigned_release(dist):
    """The unsigned zip's path, its folder name and {file name: bytes} of everything to sign:
    the programs in the zip and the packages beside it."""
    name = "vardex-%s" % release.version()
    archive = os.path.join(dist, name + ".zip")
    if not os.path.isfile(archive):
        sys.exit("sign: %s is missing: make release first" % archive)
    files = {}
    with zipfile.ZipFile(archive) as z:
        for program in release.PROGRAMS:
            files[program] = z.read("%s/%s" % (name, program))
    for arch in PACKAGE_ARCHES:
        package = "vardex-bridge-%s-%s.msi" % (release.version(), arch)
        path = os.path.join(dist, package)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                files[package] = f.read()
    return archive, name, files


def osslsigncode(args):
    done = subprocess.run(["osslsigncode"] + args, capture_output=True, text=True)
    if done.returncode != 0:
        # Its own reasons are in the lines that say failed, mismatch or error.
        lines = [l.strip() for l in (done.stdout + done.stderr).splitlines()
                 if any(w in l.lower() for w in ("fail", "mismatch", "error"))]
        return "; ".join(lines[:4]) or "exit %d" % done.returncode
    return None


def sums(files):
    return release.windows_text("".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                                        for name, data in sorted(files.items())))


def attach(signatures, ca, dist):
    archive, name, files = unsigned_release(dist)
    out = os.path.join(dist, "signed")
    signed = {}
    with tempfile.TemporaryDirectory(prefix="vardex-sign-") as work:
        for file, data in sorted(files.items()):
            signature = os.path.join(signatures, file + ".sig")
            if not os.path.isfile(signature):
                sys.exit("sign: no signature for %s (%s)" % (file, signature))
            unsigned = os.path.join(work, file)
            with open(unsigned, "wb") as f:
                f.write(data)
            target = os.path.join(work, "signed-" + file)
            options = ["-CAfile", ca] if ca else []
            failed = osslsigncode(["attach-signature", "-sigin", signature] + options +
                                  ["-in", unsigned, "-out", target])
            if failed and file.endswith(".msi"):
                # A package's signature may also cover its tables' metadata
                # (MsiDigitalSignatureEx, as SignTool can write it) and only fits when attached
                # the same way. osslsigncode writes over no file, not even its failed try's.
                if os.path.exists(target):
                    os.remove(target)
                if not osslsigncode(["attach-signature", "-sigin", signature, "-add-msi-dse"] +
                                    options + ["-in", unsigned, "-out", target]):
                    failed = None
            if failed:
                sys.exit("sign: the signature %s does not fit %s: %s" % (signature, file, failed))
            with open(target, "rb") as f:
                signed[file] = f.read()

    os.makedirs(out, exist_ok=True)
    programs = {p: signed[p] for p in release.PROGRAMS}
    signed_archive = os.path.join(out, os.path.basename(archive))
    with zipfile.ZipFile(archive) as z, zipfile.ZipFile(signed_archive, "w") as s:
        # The same entries, times and attributes as the unsigned zip, so the signed one is as
        # reproducible; the programs signed and their sums added.
        entries = z.infolist()
        extra = zipfile.ZipInfo("%s/SHA256SUMS.signed" % name, date_time=entries[0].date_time)
        extra.create_system, extra.external_attr = 0, 0
        extra.compress_type = zipfile.ZIP_DEFLATED
        contents = {e.filename: z.read(e) for e in entries}
        contents[extra.filename] = sums(programs)
        for entry in sorted(entries + [extra], key=lambda e: e.filename):
            data = programs.get(entry.filename.split("/", 1)[1], contents[entry.filename])
            s.writestr(entry, data, compresslevel=9)
    published = {os.path.basename(signed_archive): open(signed_archive, "rb").read()}
    for file, data in signed.items():
        if file.endswith(".msi"):
            with open(os.path.join(out, file), "wb") as f:
                f.write(data)
            published[file] = data
    with open(os.path.join(out, "SHA256SUMS.signed"), "wb") as f:
        f.write(sums(published))
    for file, data in sorted(published.items()):
        print("%s: sha256 %s" % (os.path.join(out, file), hashlib.sha256(data).hexdigest()))
    return 0


def detach(out, options, dist):
    _, _, files = unsigned_release(dist)
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vardex-sign-") as work:
        for file, data in sorted(files.items()):
            unsigned, signed = os.path.join(work, file), os.path.join(work, "signed-" + file)
            with open(unsigned, "wb") as f:
                f.write(data)
            failed = osslsigncode(["sign"] + options + ["-in", unsigned, "-out", signed])
            if failed:
                sys.exit("sign: signing %s failed: %s" % (file, failed))
            failed = osslsigncode(["extract-signature", "-in", signed,
                                   "-out", os.path.join(out, file + ".sig")])
            if failed:
                sys.exit("sign: no signature to take from %s: %s" % (file, failed))
            print("%s.sig" % os.path.join(out, file))
    return 0


def extract(signed_dir, out, dist):
    _, _, files = unsigned_release(dist)
    os.makedirs(out, exist_ok=True)
    for file in sorted(files):
        signature = os.path.join(out, file + ".sig")
        failed = osslsigncode(["extract-signature", "-in", os.path.join(signed_dir, file),
                               "-out", signature])
        if failed:
            sys.exit("sign: no signature to take from %s: %s" % (file, failed))
        print(signature)
    return 0


def main(argv):
    options = []
    if "--" in argv:
        options = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    named = {}
    words = []
    while argv:
        word = argv.pop(0)
        if word in ("--ca", "--dist") and argv:
            named[word] = argv.pop(0)
        else:
            words.append(word)
    dist = named.get("--dist", os.path.join(release.ROOT, "dist"))
    if shutil.which("osslsigncode") is None:
        sys.exit("sign: osslsigncode is missing (tools/install-deps.sh installs it)")
    if words[:1] == ["attach"] and len(words) == 2:
        return attach(words[1], named.get("--ca"), dist)
    if words[:1] == ["detach"] and len(words) == 2 and options:
        return detach(words[1], options, dist)
    if words[:1] == ["extract"] and len(words) == 3:
        return extract(words[1], words[2], dist)
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Writes the release's winget manifests: the bridge's installer packages and the zip of programs.

  winget.py BASE_URL [--from DIR] [--out DIR]      (make winget BASE_URL=https://.../1.2.3)

Two packages, each as the three files winget's community repository takes (version, default
locale, installer), in its folder layout under OUT (dist/winget): Vardex.Bridge, the
vardex-bridge-<version>-x64/x86.msi packages (per machine, with their product and upgrade codes
read with msitools' msiinfo), and Vardex.Vardex, the zip, whose programs winget puts on the
PATH as vardex, vardex-bridge and slot-listen. The files are those published at BASE_URL: the
signed ones in dist/signed (make sign) when there are any, else the unsigned dist/ (--from
chooses). Their SHA-256 sums come from the files themselves; a package that is not there is
left out of the manifests.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import release  # noqa: E402  (the release's version)

MANIFEST_VERSION = "1.10.0"
PUBLISHER = "the vardex authors"
ALIASES = (("vardex", "vardex-%s.exe"), ("vardex-bridge", "vardex-bridge-%s.exe"),
           ("slot-listen", "slot-listen-%s.exe"))
ARCHES = ("x86", "x64")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest().upper()


def scalar(value):
    # Every string double-quoted (JSON's quoting is YAML's), so a version such as 1.10 stays text.
    return json.dumps(value) if isinstance(value, str) else str(value).lower()


def yaml_lines(value, indent=""):
    lines = []
    if isinstance(value, dict):
        for key, item in value.items():
            if isinstance(item, (dict, list)):
                lines.append("%s%s:" % (indent, key))
                lines += yaml_lines(item, indent + "  ")
            else:
                lines.append("%s%s: %s" % (indent, key, scalar(item)))
    else:
        for item in value:
            inner = yaml_lines(item, indent + "  ")
            lines.append(indent + "- " + inner[0][len(indent) + 2:])
            lines += inner[1:]
    return lines


def write_manifest(folder, identifier, kind, body):
    suffix = {"version": "", "defaultLocale": ".locale.en-US", "installer": ".installer"}[kind]
    document = dict(PackageIdentifier=identifier, PackageVersion=release.version())
    document.update(body)
    document.update(ManifestType=kind, ManifestVersion=MANIFEST_VERSION)
    path = os.path.join(folder, identifier + suffix + ".yaml")
    with open(path, "w", newline="\n") as f:
        f.write("# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json\n"
                % (kind, MANIFEST_VERSION))
        f.write("\n".join(yaml_lines(document)) + "\n")
    return path


def msi_codes(path):
    """ProductCode and UpgradeCode from the package's Property table, when msiinfo can read it."""
    if shutil.which("msiinfo") is None:
        return {}
    done = subprocess.run(["msiinfo", "export", path, "Property"], capture_output=True, text=True)
    rows = dict(line.split("\t", 1) for line in done.stdout.splitlines() if "\t" in line)
    return {k: rows[k].strip() for k in ("ProductCode", "UpgradeCode") if k in rows}


def package(out, identifier, name, description, installers):
    publisher, product = identifier.split(".", 1)
    folder = os.path.join(out, "manifests", publisher[0].lower(), publisher, product,
                          release.version())
    os.makedirs(folder, exist_ok=True)
    written = [write_manifest(folder, identifier, "version", {"DefaultLocale": "en-US"})]
    written.append(write_manifest(folder, identifier, "defaultLocale", {
        "PackageLocale": "en-US", "Publisher": PUBLISHER, "PackageName": name,
        "License": "MIT", "Copyright": "Copyright (c) %s" % PUBLISHER,
        "ShortDescription": description}))
    written.append(write_manifest(folder, identifier, "installer", {"Installers": installers}))
    return written


def main(argv):
    if not argv or argv[0].startswith("--"):
        sys.exit(__doc__)
    base = argv[0].rstrip("/")
    named = dict(zip(argv[1::2], argv[2::2]))
    dist = os.path.join(release.ROOT, "dist")
    archive = "vardex-%s.zip" % release.version()
    source = named.get("--from") or (
        os.path.join(dist, "signed") if os.path.isfile(os.path.join(dist, "signed", archive))
        else dist)
    out = named.get("--out", os.path.join(dist, "winget"))
    if not os.path.isfile(os.path.join(source, archive)):
        sys.exit("winget: %s is missing: make release first" % os.path.join(source, archive))

    folder = archive[:-len(".zip")]
    portable = [{"Architecture": arch, "InstallerType": "zip",
                 "NestedInstallerType": "portable",
                 "NestedInstallerFiles": [{"RelativeFilePath": "%s\\%s" % (folder, file % arch),
                                           "PortableCommandAlias": alias}
                                          for alias, file in ALIASES],
                 "InstallerUrl": "%s/%s" % (base, archive),
                 "InstallerSha256": sha256(os.path.join(source, archive))} for arch in ARCHES]
    written = package(out, "Vardex.Vardex", "vardex",
                      "A tiny relay of Asus Probe 2's temperatures to a mailslot, and its MQTT "
                      "bridge, as programs to run from a command prompt", portable)

    packages = []
    for arch in ARCHES:
        file = "vardex-bridge-%s-%s.msi" % (release.version(), arch)
        path = os.path.join(source, file)
        if not os.path.isfile(path):
            continue
        installer = {"Architecture": arch, "InstallerType": "msi", "Scope": "machine",
                     "InstallerUrl": "%s/%s" % (base, file), "InstallerSha256": sha256(path)}
        codes = msi_codes(path)
        if "ProductCode" in codes:
            installer["ProductCode"] = codes["ProductCode"]
        if "UpgradeCode" in codes:
            # Lets winget know an installed bridge of another version as this package.
            installer["AppsAndFeaturesEntries"] = [{"UpgradeCode": codes["UpgradeCode"]}]
        packages.append(installer)
    if packages:
        written += package(out, "Vardex.Bridge", "vardex bridge",
                           "Carries vardex's temperature reports over MQTT to other PCs and "
                           "Home Assistant, as a Windows service", packages)
    for path in written:
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

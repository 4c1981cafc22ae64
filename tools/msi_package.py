#!/usr/bin/env python3
"""Builds the bridge's Windows Installer packages, vardex-bridge-<version>-<arch>.msi, with wixl.

  msi_package.py VERSION OUT_DIR STAMP README LICENSE   (called by release.py)

One package per bitness, per-machine, silent by nature. The same inputs give the same bytes:
the product and package codes are UUIDv5 names of the version, the bitness and the contents;
the files in the cabinet carry the release's time; wixl's own stamps in the summary
information (a random revision code, the time of the build) are overwritten with those.
The upgrade code is fixed per bitness, so a higher version replaces a lower one in place and a
lower one is refused.

The service itself is made by the bridge (its reconfigure verb), run from vardex-setup.dll's
deferred action with the properties turned into the bridge's options (bridge/app/setup_action.cpp
and bridge/core/package_settings).
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Never change these: every version of a bitness shares one, which is what makes upgrades.
UPGRADE_CODES = {"x64": "6A3C1F5E-0B7D-4E52-9C1A-7D2E4B8F6A01",
                 "x86": "6A3C1F5E-0B7D-4E52-9C1A-7D2E4B8F6A02"}
NAMESPACE = uuid.UUID("0E6F1B94-3C2A-5D7E-8F10-4A5B6C7D8E9F")
MANUFACTURER = "vardex"
# The properties the setup DLL reads; the password is never logged nor stored.
HIDDEN = "MQTT_PASSWORD;VardexSetUpService"
DOWNGRADE = ("A newer version of vardex-bridge is already installed: uninstall it first to install "
             "this older one.")


def guid(*parts):
    return str(uuid.uuid5(NAMESPACE, "/".join(parts))).upper()


def wxs(version, arch, files, product_code):
    win64 = arch == "x64"
    pf = "ProgramFiles64Folder" if win64 else "ProgramFilesFolder"
    w64 = ' Win64="yes"' if win64 else ""
    comps = {
        # Stopped before its files are replaced or removed; the setup DLL starts it again.
        "Bridge": '<File Id="bridge" Name="vardex-bridge.exe" Source="%s" KeyPath="yes"/>'
                  '<ServiceControl Id="StopBridge" Name="vardex-bridge-[ROLE]" Stop="both" '
                  'Wait="yes"/>' % files["bridge"],
        "Texts": '<File Id="readme" Name="README.txt" Source="%s" KeyPath="yes"/>'
                 '<File Id="license" Name="LICENSE.txt" Source="%s"/>' % (
                     files["readme"], files["license"]),
        # The relay at every user's logon: the machine's Run key, which has no delay rule.
        "Relay": '<File Id="relay" Name="vardex.exe" Source="%s" KeyPath="yes"/>'
                 '<RegistryValue Root="HKLM" Key="Software\\Microsoft\\Windows\\CurrentVersion'
                 '\\Run" Name="vardex" Type="string" Value="&quot;[#relay]&quot;"/>'
                 % files["relay"],
    }
    parts = {name: '<Component Id="%s" Guid="%s"%s>%s</Component>' % (
        name, guid("component", arch, name), w64, body) for name, body in comps.items()}
    # Only the deferred actions run as LocalSystem (no impersonation); the immediate one reads
    # the properties and the remembered settings, and fails a first install without BROKER.
    return """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product}" Name="vardex-bridge ({arch})" Language="1033" Version="{version}"
           Manufacturer="{manufacturer}" UpgradeCode="{upgrade}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"
             Description="vardex-bridge {version} ({arch})" Manufacturer="{manufacturer}"/>
    <Media Id="1" Cabinet="bridge.cab" EmbedCab="yes"/>
    <MajorUpgrade DowngradeErrorMessage="{downgrade}"/>
    {launch}
    <Property Id="MsiHiddenProperties" Value="{hidden}"/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <Property Id="INSTALLLEVEL" Value="1"/>
    <Binary Id="VardexSetupDll" SourceFile="{setup}"/>
    <CustomAction Id="VardexReadSettings" BinaryKey="VardexSetupDll" DllEntry="ReadSettings"
                  Execute="immediate" Return="check"/>
    <CustomAction Id="VardexSetUpService" BinaryKey="VardexSetupDll" DllEntry="SetUpService"
                  Execute="deferred" Impersonate="no" Return="check"/>
    <CustomAction Id="VardexRemoveService" BinaryKey="VardexSetupDll" DllEntry="RemoveService"
                  Execute="deferred" Impersonate="no" Return="ignore"/>
    <InstallExecuteSequence>
      <Custom Action="VardexReadSettings" Sequence="1001"/>
      <Custom Action="VardexRemoveService" Sequence="1501"
              >REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE</Custom>
      <Custom Action="VardexSetUpService" After="InstallServices">NOT REMOVE~="ALL"</Custom>
    </InstallExecuteSequence>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="{pf}">
        <Directory Id="INSTALLDIR" Name="vardex">
          {bridge}
          {texts}
          {relay}
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Bridge" Level="1" Absent="disallow" Title="vardex-bridge">
      <ComponentRef Id="Bridge"/>
      <ComponentRef Id="Texts"/>
    </Feature>
    <Feature Id="Relay" Level="1000" Title="vardex relay at every logon">
      <ComponentRef Id="Relay"/>
    </Feature>
  </Product>
</Wix>
""".format(product=product_code, arch=arch, version=version, manufacturer=MANUFACTURER,
           upgrade=UPGRADE_CODES[arch], hidden=HIDDEN, downgrade=DOWNGRADE, setup=files["setup"], pf=pf,
           bridge=parts["Bridge"], texts=parts["Texts"], relay=parts["Relay"],
           launch='<Condition Message="This package is for 64-bit Windows: install '
                  'vardex-bridge-{0}-x86.msi on 32-bit Windows.">Installed OR VersionNT64'
                  '</Condition>'.format(version) if win64 else "")


def public_properties():
    """The package's properties, read from the bridge's one table of options
    (bridge/core/bridge_options.cpp) with ROLE, EXTRA_OPTIONS and the secret MQTT_PASSWORD."""
    with open(os.path.join(ROOT, "bridge", "core", "bridge_options.cpp")) as f:
        rows = re.findall(r'^\s*\{"--[a-z-]+", "([A-Z_]+)"', f.read(), re.M)
    return ["ROLE"] + rows + ["EXTRA_OPTIONS", "MQTT_PASSWORD"]


def filetime(seconds):
    return (seconds + 11644473600) * 10000000


def pin_summary(data, package_code, seconds):
    """wixl's random revision code and build times replaced by the package code and the
    release's time: the only bytes that differ between two runs of wixl on the same input."""
    # A VT_LPSTR of 39 bytes: the braced code and its terminating zero.
    found = re.search(rb"\x1e\x00\x00\x00'\x00\x00\x00"
                      rb"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}", data)
    if not found:
        raise SystemExit("msi_package: no revision code in the summary information")
    data = data[:found.start() + 8] + ("{%s}" % package_code).encode() + data[found.end():]
    # VT_FILETIME values stamped within the last day are this build's; pin them.
    now = filetime(int(time.time()))
    pinned = struct.pack("<Q", filetime(seconds))
    out = bytearray(data)
    at = 0
    count = 0
    while True:
        at = data.find(b"\x40\x00\x00\x00", at)
        if at < 0 or at + 12 > len(data):
            break
        value = struct.unpack_from("<Q", data, at + 4)[0]
        if 0 <= now - value < 86400 * 10000000:
            out[at + 4:at + 12] = pinned
            count += 1
        at += 4
    if count != 2:
        raise SystemExit("msi_package: found %d build times in the summary information, not 2"
                         % count)
    return bytes(out)


# A DLL custom action from the Binary table (1), deferred (1024), as LocalSystem (2048); and
# msidbCustomActionTypeHideTarget, so that its CustomActionData is never logged.
DEFERRED_SYSTEM_DLL = 1 | 1024 | 2048
HIDE_TARGET = 0x2000


def build(version, arch, out_dir, stamp, readme, license_text):
    """Writes OUT_DIR/vardex-bridge-VERSION-ARCH.msi; returns its path."""
    dist = os.path.join(ROOT, "dist")
    sources = {"bridge": os.path.join(dist, "vardex-bridge-%s.exe" % arch),
               "relay": os.path.join(dist, "vardex-%s.exe" % arch),
               "setup": os.path.join(dist, "vardex-setup-%s.dll" % arch)}
    with tempfile.TemporaryDirectory(prefix="vardex-msi-") as stage:
        files = {}
        digest = hashlib.sha256()
        contents = {"readme": readme, "license": license_text}
        for key, path in sources.items():
            with open(path, "rb") as f:
                contents[key] = f.read()
        for key in sorted(contents):
            path = os.path.join(stage, key)
            with open(path, "wb") as f:
                f.write(contents[key])
            os.utime(path, (stamp, stamp))
            files[key] = key
            digest.update(key.encode() + b"\0" + hashlib.sha256(contents[key]).digest())
        product = guid("product", version, arch, digest.hexdigest())
        source = os.path.join(stage, "bridge.wxs")
        text = wxs(version, arch, files, product)
        with open(source, "w") as f:
            f.write(text)
        package = guid("package", version, arch, digest.hexdigest(),
                       hashlib.sha256(text.encode()).hexdigest())
        made = os.path.join(stage, "bridge.msi")
        args = ["wixl", "-a", "x64" if arch == "x64" else "x86", "-o", made, source]
        done = subprocess.run(args, capture_output=True, text=True, cwd=stage)
        if done.returncode != 0:
            raise SystemExit("msi_package: wixl failed: %s" % (done.stderr or done.stdout))
        # Public properties reach the installation's server side only when listed as secure
        # (a user's install with UI); wixl lists its own alone.
        secure = ";".join(["WIX_DOWNGRADE_DETECTED", "WIX_UPGRADE_DETECTED"] + public_properties())
        # wixl drops HideTarget: the set-up's type gets msidbCustomActionTypeHideTarget here.
        for query in ("UPDATE Property SET Value='%s' WHERE Property='SecureCustomProperties'"
                      % secure,
                      "UPDATE CustomAction SET Type=%d WHERE Action='VardexSetUpService'"
                      % (DEFERRED_SYSTEM_DLL | HIDE_TARGET)):
            done = subprocess.run(["msibuild", made, "-q", query], capture_output=True,
                                  text=True)
            if done.returncode != 0:
                raise SystemExit("msi_package: msibuild failed: %s" % (done.stderr or done.stdout))
        with open(made, "rb") as f:
            data = pin_summary(f.read(), package, stamp)
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "vardex-bridge-%s-%s.msi" % (version, arch))
    with open(path, "wb") as f:
        f.write(data)
    return path


def main(argv):
    version, out_dir, stamp, readme, license_path = argv
    with open(readme, "rb") as f:
        readme_bytes = f.read()
    with open(license_path, "rb") as f:
        license_bytes = f.read()
    for arch in ("x64", "x86"):
        print(build(version, arch, out_dir, int(stamp), readme_bytes, license_bytes))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

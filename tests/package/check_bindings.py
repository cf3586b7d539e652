#!/usr/bin/env python3
"""Checks what scripts/package-bindings made, then uses it as a host would: the wheels are valid
(WHEEL, METADATA, RECORD with every member's hash) and carry their library; the NuGet package
holds exactly its parts, each readable by all (0644), its .nuspec names it and its README names
this version; both are in SHA256SUMS when there is one. Then, in one bench run with no
environment variable set, the Linux wheel installed into a fresh virtual environment runs a
request, and the example host compiled against the NuGet package's assembly runs under Mono
with the package's Linux library beside it, as a .NET build copies it, unpacked with the
package's modes and run as another user (nobody, when this runs as root); the assembly carries
this version; and KESTRUNE_LIBRARY wins over a broken library beside the program.

usage: tests/package/check_bindings.py PACKAGES WORK [--windows]
  WORK must lie outside /tmp, which the bench replaces.
"""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WHEEL_LIBRARIES = {"linux_x86_64": ("kestrune/libkestrune.so.1", b"\x7fELF"),
                   "win_amd64": ("kestrune/Kestrune.dll", b"MZ")}
NATIVE = {"linux": ("runtimes/linux-x64/native/libkestrune.so", b"\x7fELF"),
          "windows": ("runtimes/win-x64/native/Kestrune.dll", b"MZ")}
ASSEMBLY = "lib/net462/Kestrune.Net.dll"
DOCS = "lib/net462/Kestrune.Net.xml"
PROBE = """class Probe { static void Main(string[] args) { System.Console.WriteLine("assembly " +
    System.Reflection.AssemblyName.GetAssemblyName(args[0]).Version); } }
"""
EXAMPLE_RAN = r"200  status 200.*Cancelled: 995 ERROR_OPERATION_ABORTED"
PROGRAM = """import kestrune
with kestrune.Client() as client, client.request("https://api.binance.com/status/200") as r:
    print("wheel:", r.wait(30).status, kestrune.library_path())
"""


def fail(message):
    sys.exit(f"check_bindings: {message}")


def digest(data):
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def check_wheel(path, version, tag):
    with zipfile.ZipFile(path) as wheel:
        members = {name: wheel.read(name) for name in wheel.namelist()}
    info = f"kestrune-{version}.dist-info"
    wheel_file = members.get(f"{info}/WHEEL", b"").decode()
    if f"Tag: py3-none-{tag}\n" not in wheel_file or "Root-Is-Purelib: false" not in wheel_file:
        fail(f"{path.name}: WHEEL does not say py3-none-{tag}, platlib:\n{wheel_file}")
    metadata = members.get(f"{info}/METADATA", b"").decode()
    if not re.search(rf"^Name: kestrune\nVersion: {re.escape(version)}\n", metadata, re.M):
        fail(f"{path.name}: METADATA does not name kestrune {version}")
    record = {}
    for line in members[f"{info}/RECORD"].decode().splitlines():
        name, hashed, size = line.rsplit(",", 2)
        record[name] = (hashed, size)
    expected = {name: (f"sha256={digest(data)}", str(len(data))) for name, data in members.items()}
    expected[f"{info}/RECORD"] = ("", "")
    if record != expected:
        fail(f"{path.name}: RECORD differs from the members:\n {sorted(record.items())}\n"
             f" {sorted(expected.items())}")
    library, magic = WHEEL_LIBRARIES[tag]
    for needed in (library, "kestrune/__init__.py", "kestrune/_header.py", "kestrune/py.typed"):
        if needed not in members:
            fail(f"{path.name} lacks {needed}")
    if not members[library].startswith(magic):
        fail(f"{path.name}: {library} is not a library for {tag}")


def check_nupkg(path, version, platforms):
    with zipfile.ZipFile(path) as package:
        members = {name: package.read(name) for name in package.namelist()}
        modes = {entry.filename: entry.external_attr >> 16 for entry in package.infolist()}
    expected = {"_rels/.rels", "[Content_Types].xml", "Kestrune.nuspec", "README.md",
                "LICENSE.txt", ASSEMBLY, DOCS} | {NATIVE[platform][0] for platform in platforms}
    if set(members) != expected:
        fail(f"{path.name} holds {sorted(members)}, not {sorted(expected)}")
    nuspec = members["Kestrune.nuspec"].decode()
    for wanted in ("<id>Kestrune</id>", f"<version>{version}</version>",
                   '<license type="expression">MIT</license>', "<readme>README.md</readme>"):
        if wanted not in nuspec:
            fail(f"{path.name}: the .nuspec lacks {wanted}")
    unreadable = {name: oct(mode) for name, mode in modes.items() if mode != 0o100644}
    if unreadable:
        fail(f"{path.name}: entries not 0644, which other users could not load: {unreadable}")
    readme = members["README.md"].decode()
    for wanted in (f"Kestrune.{version}.nupkg", f"--version {version}", f"`{version}.0`"):
        if wanted not in readme:
            fail(f"{path.name}: the README does not name {wanted}")
    if "<version>" in readme:
        fail(f"{path.name}: the README still says <version>")
    if b"<member name=\"T:Kestrune.KestruneClient\">" not in members[DOCS]:
        fail(f"{path.name}: {DOCS} does not document KestruneClient")
    if 'Target="/Kestrune.nuspec"' not in members["_rels/.rels"].decode():
        fail(f"{path.name}: _rels/.rels does not point at the .nuspec")
    types = members["[Content_Types].xml"].decode()
    for name in set(members) - {"[Content_Types].xml"}:
        extension = name.rsplit(".", 1)[-1]
        if f'Extension="{extension}"' not in types:
            fail(f"{path.name}: no content type for .{extension}")
    for platform in platforms:
        native, magic = NATIVE[platform]
        if not members[native].startswith(magic):
            fail(f"{path.name}: {native} is not a {platform} library")
    if not members[ASSEMBLY].startswith(b"MZ"):
        fail(f"{path.name}: {ASSEMBLY} is not an assembly")


def check_sums(packages, names):
    sums_file = packages / "SHA256SUMS"
    if not sums_file.is_file():
        return
    sums = dict(reversed(line.split("  ", 1)) for line in sums_file.read_text().splitlines())
    for name in names:
        if sums.get(name) != hashlib.sha256((packages / name).read_bytes()).hexdigest():
            fail(f"SHA256SUMS does not list {name} with its hash")


def run(command, check=True, **options):
    print("+", " ".join(str(part) for part in command), flush=True)
    return subprocess.run(command, check=check, timeout=240, **options)


def use(packages, work, wheel, nupkg, version):
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    venv = work / "venv"
    run(["/usr/bin/python3", "-m", "venv", venv])
    run([venv / "bin/python", "-m", "pip", "install", "--quiet", "--no-index",
         "--disable-pip-version-check", packages / wheel])
    app, chosen = work / "app", work / "chosen"
    for folder in (work, app, chosen):
        folder.mkdir(exist_ok=True)
        folder.chmod(0o755)
    with zipfile.ZipFile(packages / nupkg) as package:
        for member in (ASSEMBLY, NATIVE["linux"][0]):
            for target in (app / Path(member).name, chosen / Path(member).name):
                target.write_bytes(package.read(member))
                target.chmod(package.getinfo(member).external_attr >> 16 & 0o777)  # as unzip does
    (chosen / "libkestrune.so").write_bytes(b"not a library")
    (work / "Probe.cs").write_text(PROBE)
    run(["mcs", "-nologo", "-warnaserror", f"-out:{work / 'Probe.exe'}", work / "Probe.cs"])
    for folder in (app, chosen):
        run(["mcs", "-nologo", "-warnaserror", f"-r:{folder / Path(ASSEMBLY).name}",
             f"-out:{folder / 'KestruneExample.exe'}", ROOT / "examples/KestruneExample.cs"])
    for program in (work / "Probe.exe", app / "KestruneExample.exe"):
        program.chmod(0o644)  # the programs are ours: only the package's modes are under test
    clean = "env -i PATH=/usr/bin:/bin"  # no KESTRUNE_LIBRARY, LD_LIBRARY_PATH or bench variables
    # Another user than the one who unpacked the package, as a shared install is used, from the
    # bench's fresh /tmp, which every user can reach whatever the modes of WORK's parents.
    other = "setpriv --reuid=65534 --regid=65534 --clear-groups " if os.geteuid() == 0 else ""
    shared = "/tmp/kestrune-shared"
    script = (f"cd {work} && {clean} {venv}/bin/python -I -c '{PROGRAM}' && "
              f"mkdir -m 755 {shared} && cp -p {app}/* {work}/Probe.exe {shared} && "
              f"{other}{clean} mono {shared}/Probe.exe {shared}/{Path(ASSEMBLY).name} && "
              f"echo '== beside' && {other}{clean} mono {shared}/KestruneExample.exe && "
              f"echo '== KESTRUNE_LIBRARY' && {clean} KESTRUNE_LIBRARY={app}/libkestrune.so "
              f"mono {chosen}/KestruneExample.exe")
    result = run([ROOT / "tests/sandbox/run", "bash", "-c", script], check=False,
                 capture_output=True, text=True)
    print(result.stdout, result.stderr, sep="")
    site = f"{venv}/lib/python3.[0-9]+/site-packages/kestrune/libkestrune.so.1"
    if not re.search(rf"^wheel: 200 {site}$", result.stdout, re.M):
        fail("the wheel in a fresh virtual environment did not answer 200 with its own library")
    if not re.search(rf"^assembly {re.escape(version)}\.0$", result.stdout, re.M):
        fail(f"the package's assembly is not version {version}.0")
    if not re.search(rf"== beside\n.*{EXAMPLE_RAN}.*== KESTRUNE_LIBRARY\n.*{EXAMPLE_RAN}",
                     result.stdout, re.S):
        fail("the example built against the NuGet package did not run as another user, or "
             "with KESTRUNE_LIBRARY")


def main():
    if len(sys.argv) not in (3, 4) or sys.argv[3:] not in ([], ["--windows"]):
        sys.exit(__doc__)
    packages, work = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    platforms = ["linux"] + (["windows"] if sys.argv[3:] else [])
    tags = ["linux_x86_64"] + (["win_amd64"] if sys.argv[3:] else [])
    nupkgs = sorted(packages.glob("Kestrune.*.nupkg"))
    if len(nupkgs) != 1:
        fail(f"expected one NuGet package in {packages}, found {nupkgs}")
    version = nupkgs[0].name[len("Kestrune."):-len(".nupkg")]
    wheels = [f"kestrune-{version}-py3-none-{tag}.whl" for tag in tags]
    if sorted(path.name for path in packages.glob("*.whl")) != sorted(wheels):
        fail(f"expected the wheels {wheels} in {packages}")
    for wheel, tag in zip(wheels, tags):
        check_wheel(packages / wheel, version, tag)
    check_nupkg(nupkgs[0], version, platforms)
    check_sums(packages, wheels + [nupkgs[0].name])
    use(packages, work, wheels[0], nupkgs[0].name, version)
    print(f"check_bindings: {', '.join(wheels)} and {nupkgs[0].name} are sound and run")


if __name__ == "__main__":
    main()

"""The wheel and source archive builder of the kestrune package (PEP 517), standard library only.

The package gets `kestrune/_header.py`, generated from include/kestrune.h: the release number,
the interface version and every error code with its Win32 name, so the binding never keeps a
table of its own. A source archive carries the generated module, since it has no header.
"""

import base64
import hashlib
import io
import re
import tarfile
import tomllib
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
HEADER = HERE.parent.parent / "include" / "kestrune.h"
GENERATED = "kestrune/_header.py"


def _header_module():
    if not HEADER.is_file():
        return (HERE / GENERATED).read_text(encoding="utf-8")
    text = HEADER.read_text(encoding="utf-8")
    version = re.search(r'^#define KSRN_VERSION_STRING "([^"]+)"', text, re.M).group(1)
    abi = re.search(r"^#define KSRN_ABI_VERSION (\d+)", text, re.M).group(1)
    codes = re.findall(r"^#define KSRN_(ERROR_\w+) (\d+)u", text, re.M)
    return "\n".join(
        ["# Generated from include/kestrune.h when the package is built.", "",
         f'VERSION = "{version}"', f"ABI_VERSION = {abi}", ""]
        + [f"{name} = {code}" for name, code in codes]
        + ["", "# The Win32 name of every code the library reports.", "NAMES = {"]
        + [f'    {code}: "{name}",' for name, code in codes]
        + ["}", ""])


def _metadata(version):
    project = tomllib.loads((HERE / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    readme = (HERE / project["readme"]).read_text(encoding="utf-8")
    return (f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {version}\n"
            f"Summary: {project['description']}\nLicense: {project['license']['text']}\n"
            f"Requires-Python: {project['requires-python']}\n"
            f"Description-Content-Type: text/markdown\n\n{readme}")


def _package_files():
    """The package's modules with the generated one, and the release number."""
    module = _header_module()
    files = {f"kestrune/{path.name}": path.read_bytes()
             for path in sorted((HERE / "kestrune").glob("*.py")) if path.name != "_header.py"}
    files[GENERATED] = module.encode()
    return files, re.search(r'^VERSION = "(.+)"$', module, re.M).group(1)


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files, version = _package_files()
    info = f"kestrune-{version}.dist-info"
    files[f"{info}/METADATA"] = _metadata(version).encode()
    files[f"{info}/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: kestrune build_backend\n"
                              b"Root-Is-Purelib: true\nTag: py3-none-any\n")
    record = [_record_line(name, data) for name, data in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    name = f"kestrune-{version}-py3-none-any.whl"
    with zipfile.ZipFile(Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for member, data in files.items():
            wheel.writestr(member, data)
    return name


def build_sdist(sdist_directory, config_settings=None):
    files, version = _package_files()
    for extra in ("pyproject.toml", "build_backend.py", "README.md"):
        files[extra] = (HERE / extra).read_bytes()
    files["PKG-INFO"] = _metadata(version).encode()
    name = f"kestrune-{version}"
    with tarfile.open(Path(sdist_directory) / f"{name}.tar.gz", "w:gz") as archive:
        for member, data in files.items():
            entry = tarfile.TarInfo(f"{name}/{member}")
            entry.size = len(data)
            archive.addfile(entry, io.BytesIO(data))
    return f"{name}.tar.gz"

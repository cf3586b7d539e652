"""The wheel and source archive builder of the kestrune package (PEP 517), standard library only,
Python 3.8 or later.

The package gets `kestrune/_header.py`, generated from include/kestrune.h: the release number,
the interface version and every error code with its Win32 name, so the binding never keeps a
table of its own. A source archive carries the generated module, since it has no header.

Given a built library (config setting `library=PATH`, as scripts/package passes it), the wheel
carries it beside the package under the name the package loads, tagged for its platform; without
one it is the pure wheel that finds the library through KESTRUNE_LIBRARY or the system.

    python3 build_backend.py OUTPUT_DIR [LIBRARY]     # what scripts/package runs
"""

import base64
import hashlib
import io
import re
import runpy
import sys
import tarfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
HEADER = HERE.parent.parent / "include" / "kestrune.h"
GENERATED = "kestrune/_header.py"
# The library's file name in the package and the wheel's platform tag, by the library's kind.
PLATFORMS = {".dll": ("Kestrune.dll", "win_amd64"), ".so": ("libkestrune.so.1", "linux_x86_64")}
FIXED_TIME = (2026, 1, 1, 0, 0, 0)  # the same inputs give the same wheel


def _header_module():
    if not HEADER.is_file():
        return (HERE / GENERATED).read_text(encoding="utf-8")
    # The package's own parser, loaded by path: importing the package would need it built.
    parser = runpy.run_path(str(HERE / "kestrune/_headerfile.py"))
    return parser["module_source"](HEADER.read_text(encoding="utf-8"))


def _project():
    """The [project] strings of pyproject.toml this builder uses (no TOML parser before 3.11)."""
    text = (HERE / "pyproject.toml").read_text(encoding="utf-8")
    return {key: re.search(rf'^{key} = (?:\{{text = )?"([^"]*)"', text, re.M).group(1)
            for key in ("name", "description", "readme", "requires-python", "license")}


def _metadata(version):
    project = _project()
    readme = (HERE / project["readme"]).read_text(encoding="utf-8")
    return (f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {version}\n"
            f"Summary: {project['description']}\nLicense: {project['license']}\n"
            f"Requires-Python: {project['requires-python']}\n"
            f"Description-Content-Type: text/markdown\n\n{readme}")


def _package_files():
    """The package's modules and type marker with the generated module, and the release
    number."""
    module = _header_module()
    files = {f"kestrune/{path.name}": path.read_bytes()
             for path in sorted((HERE / "kestrune").iterdir())
             if path.suffix == ".py" and path.name != "_header.py" or path.name == "py.typed"}
    files[GENERATED] = module.encode()
    return files, re.search(r'^VERSION = "(.+)"$', module, re.M).group(1)


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files, version = _package_files()
    library = (config_settings or {}).get("library")
    tag = "py3-none-any"
    if library:
        library = Path(library)
        name, platform = PLATFORMS[".dll" if library.suffix == ".dll" else ".so"]
        files[f"kestrune/{name}"] = library.read_bytes()
        tag = f"py3-none-{platform}"
    info = f"kestrune-{version}.dist-info"
    files[f"{info}/METADATA"] = _metadata(version).encode()
    files[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: kestrune build_backend\n"
                              f"Root-Is-Purelib: {'false' if library else 'true'}\n"
                              f"Tag: {tag}\n").encode()
    record = [_record_line(name, data) for name, data in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    name = f"kestrune-{version}-{tag}.whl"
    with zipfile.ZipFile(Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for member, data in files.items():
            entry = zipfile.ZipInfo(member, FIXED_TIME)
            entry.external_attr = (0o755 if member.endswith((".so.1", ".dll")) else 0o644) << 16
            wheel.writestr(entry, data, zipfile.ZIP_DEFLATED)
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


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: build_backend.py OUTPUT_DIR [LIBRARY]")
    settings = {"library": sys.argv[2]} if len(sys.argv) == 3 else None
    print(build_wheel(sys.argv[1], settings))

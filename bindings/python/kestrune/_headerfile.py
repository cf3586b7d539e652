"""The constants the package takes from include/kestrune.h: the build writes them into
`kestrune/_header.py`; run from the source tree, the package reads the header itself."""

import re
from typing import Any, Dict
from pathlib import Path

SOURCE_TREE_HEADER = Path(__file__).resolve().parents[3] / "include" / "kestrune.h"


def _define(pattern: str, text: str) -> str:
    found = re.search(rf"^#define {pattern}", text, re.M)
    if found is None:
        raise ImportError(f"{SOURCE_TREE_HEADER} lacks #define {pattern}")
    return found.group(1)


def module_source(text: str) -> str:
    """The generated module: the release number, the interface version and every error code with
    its Win32 name."""
    version = _define(r'KSRN_VERSION_STRING "([^"]+)"', text)
    abi = _define(r"KSRN_ABI_VERSION (\d+)", text)
    codes = re.findall(r"^#define KSRN_(ERROR_\w+) (\d+)u", text, re.M)
    return "\n".join(
        ["# Generated from include/kestrune.h when the package is built.", "",
         f'VERSION = "{version}"', f"ABI_VERSION = {abi}", ""]
        + [f"{name} = {code}" for name, code in codes]
        + ["", "# The Win32 name of every code the library reports.", "NAMES = {"]
        + [f'    {code}: "{name}",' for name, code in codes]
        + ["}", ""])


def source_tree_values() -> Dict[str, Any]:
    try:
        text = SOURCE_TREE_HEADER.read_text(encoding="utf-8")
    except OSError as error:
        raise ImportError("kestrune was neither built (no kestrune/_header.py) nor imported from "
                          f"its source tree ({SOURCE_TREE_HEADER}: {error})") from error
    values: Dict[str, Any] = {}
    exec(module_source(text), values)  # noqa: S102 (our own header, parsed as the build does)
    del values["__builtins__"]
    return values

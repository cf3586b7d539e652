"""The header's constants (VERSION, ABI_VERSION, the ERROR_ codes and NAMES), from the module the
build generated or, in the source tree, from the header itself."""

try:
    from ._header import *  # noqa: F401,F403
    from ._header import NAMES
except ImportError:
    from ._headerfile import source_tree_values

    globals().update(source_tree_values())
    NAMES = globals()["NAMES"]

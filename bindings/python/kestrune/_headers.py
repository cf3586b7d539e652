"""A response's header lines as a case-insensitive multi-dict, parsed from the raw block the
library hands out."""

from typing import Dict, Iterator, List, Optional, Tuple, overload


class Headers:
    """The header lines in arrival order. `headers["Name"]` (any case) is the value, or the values
    joined by ", " when the name repeats (KeyError when absent); get_all() gives each value as it
    came. A value folded onto continuation lines (obs-fold) reads as one line, joined by a single
    space."""

    def __init__(self, pairs: List[Tuple[str, str]]) -> None:
        self._pairs = pairs
        self._values: Dict[str, List[str]] = {}
        self._names: Dict[str, str] = {}  # folded name: the spelling seen first
        for name, value in pairs:
            self._values.setdefault(name.lower(), []).append(value)
            self._names.setdefault(name.lower(), name)

    @classmethod
    def parse(cls, block: bytes) -> "Headers":
        """The header lines of a raw UTF-8 head (its status line skipped)."""
        pairs: List[Tuple[str, str]] = []
        for line in block.decode("utf-8").split("\n")[1:]:
            line = line.rstrip("\r")
            if line[:1] in (" ", "\t"):
                if pairs:  # obs-fold: the line continues the previous value
                    name, value = pairs[-1]
                    pairs[-1] = (name, (value + " " + line.strip(" \t")).strip(" \t"))
                continue
            name, colon, value = line.partition(":")
            if colon:
                pairs.append((name.strip(" \t"), value.strip(" \t")))
        return cls(pairs)

    def __getitem__(self, name: str) -> str:
        return ", ".join(self._values[name.lower()])

    @overload
    def get(self, name: str) -> Optional[str]: ...

    @overload
    def get(self, name: str, default: str) -> str: ...

    def get(self, name: str, default: Optional[str] = None) -> Optional[str]:
        values = self._values.get(name.lower())
        return default if values is None else ", ".join(values)

    def get_all(self, name: str) -> List[str]:
        """Every value of `name` in arrival order; [] when absent."""
        return list(self._values.get(name.lower(), []))

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name.lower() in self._values

    def __iter__(self) -> Iterator[str]:
        return iter(self._names.values())

    def __len__(self) -> int:
        return len(self._names)

    def keys(self) -> List[str]:
        """The distinct names, each as first spelled, in arrival order."""
        return list(self._names.values())

    def items(self) -> List[Tuple[str, str]]:
        """Every (name, value) line in arrival order, repeated names included."""
        return list(self._pairs)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Headers) and self._pairs == other._pairs

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Headers({self._pairs!r})"

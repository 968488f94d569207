"""The columns python3 -m brevant shows, from the table it shares with
brevantctl (columns.txt beside this file): the readings' keys, units and
labels, the header of the board list, and the decimals of each unit."""

from __future__ import annotations

import os
from typing import Dict, List, NamedTuple, Optional


class ReadingColumn(NamedTuple):
    key: str            # "vcc", "temp0"
    unit: str           # "V", or "" for none
    type1_only: bool    # a type-0 board does not have it
    label: str          # "supply voltage"

    @property
    def csv_name(self) -> str:
        """The CSV column: the key with its unit ("vcc_V")."""
        return self.key + ("_" + self.unit if self.unit else "")


def _load() -> "tuple[List[ReadingColumn], List[str], Dict[str, int]]":
    readings: List[ReadingColumn] = []
    header: List[str] = []
    decimals: Dict[str, int] = {}
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "columns.txt"), encoding="ascii") as table:
        for line in table:
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "reading":
                key, unit, board_type = words[1:4]
                readings.append(ReadingColumn(key, "" if unit == "-" else unit, board_type == "1", " ".join(words[4:])))
            elif words[0] == "list":
                header = words[1:]
            elif words[0] == "decimals":
                decimals[words[1]] = int(words[2])
    return readings, header, decimals


_READINGS, LIST_HEADER, _DECIMALS = _load()


def reading_column(key: str) -> ReadingColumn:
    """The column of reading `key` ("temp3" from the temp# row)."""
    for column in _READINGS:
        if column.key == key:
            return column
        hash_at = column.key.find("#")
        if hash_at >= 0 and key.startswith(column.key[:hash_at]) and key[hash_at:].isdigit():
            number = key[hash_at:]
            return column._replace(key=key, label=column.label.replace("#", number))
    raise KeyError("no column %r in the column table" % key)


def decimals(unit: str) -> Optional[int]:
    """Decimals of a value in `unit`, as text and CSV show it; None without a rule."""
    return _DECIMALS.get(unit)


def rounded(value: float, unit: str) -> str:
    """`value` with the decimals of `unit`, as brevantctl shows it."""
    places = decimals(unit)
    if places is None:
        return "%.10g" % value
    text = "%.*f" % (places, value)
    return text[1:] if text.startswith("-") and not text.strip("-0.") else text

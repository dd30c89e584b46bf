"""The video subtypes the module knows by name, one row each, in the order of the module's own
table (common/subtype_table.h; a test keeps the two the same)."""
from __future__ import annotations

import re
from typing import Dict, NamedTuple, Tuple, Union

__all__ = ["Subtype", "TABLE", "NAMES", "ALIASES", "code_of", "display_name"]


class Subtype(NamedTuple):
    """name: the module's name for the subtype (what start takes and CameraFormat lists);
    code: the first field of its Media Foundation GUID, a FourCC or, for RGB24, the number 20;
    aliases: other names a user may give for it (FourCCs of the same pictures)."""
    name: str
    code: Union[str, int]
    aliases: Tuple[str, ...]


TABLE: Tuple[Subtype, ...] = (
    Subtype("MJPEG", "MJPG", ("MJPG",)),
    Subtype("NV12", "NV12", ()),
    Subtype("YUY2", "YUY2", ("YUYV",)),
    Subtype("I420", "I420", ()),
    Subtype("RGB24", 20, ("BGR24",)),
    Subtype("P10", "P010", ("P010",)),
)
NAMES: Tuple[str, ...] = tuple(row.name for row in TABLE)
ALIASES: Dict[str, str] = {alias: row.name for row in TABLE for alias in row.aliases}


def code_of(name: str) -> Union[str, int]:
    """The GUID's first field for one of the module's names."""
    for row in TABLE:
        if row.name == name:
            return row.code
    raise KeyError(name)


# Media Foundation's GUID for a FourCC: the FourCC's bytes (little-endian) in the first field, then
# the fixed tail that all such subtypes share.
_FOURCC_GUID = re.compile(r"\{([0-9A-Fa-f]{8})-0000-0010-8000-00AA00389B71\}")


def display_name(subtype_name: str) -> str:
    """A subtype as people read it: the module's name where it has one, the FourCC for a GUID
    built from a printable FourCC ('{34363248-0000-0010-8000-00AA00389B71}' -> 'H264'), else the
    text as the module gave it."""
    match = _FOURCC_GUID.fullmatch(subtype_name)
    if not match:
        return subtype_name
    code = int(match.group(1), 16).to_bytes(4, "little")
    if all(0x20 <= byte < 0x7F for byte in code):
        return code.decode("ascii").rstrip(" ") or subtype_name
    return subtype_name

"""Where the module's two native libraries are, for tools that call them through ctypes: inside
this package (``trelvo_tools/lib``) in an installed trelvo, beside the module in a build tree.
They must be the copies the module loaded, so that both sides see the same cameras."""

from __future__ import annotations

import os

LIBRARY_FOLDER = os.path.join("trelvo_tools", "lib")


def library_path(name: str) -> str:
    """The path of ``libmfcompat.so`` or ``libtrelvohdcam.so`` as the imported module uses it."""
    import trelvo

    here = os.path.dirname(os.path.abspath(trelvo.__file__))
    for folder in (os.path.join(here, LIBRARY_FOLDER), here):
        path = os.path.join(folder, name)
        if os.path.exists(path):
            return path
    raise FileNotFoundError(f"{name} is neither in {os.path.join(here, LIBRARY_FOLDER)} nor beside "
                            f"the trelvo module in {here}")

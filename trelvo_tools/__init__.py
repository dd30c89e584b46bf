"""Tools on top of the trelvo module: the Relay layer for Python programs, the command line
(`trelvo`), simulated cameras for tests (`trelvo_tools.simcam`) and the virtual camera's reader
(`trelvo_tools.vcam`)."""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("trelvo")
except _metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

from .relay import (CameraNotFound, Format, FormatNotSupported, NotSwitched, Relay, StartFailed,
                    TrelvoError)

__all__ = ["__version__", "Relay", "Format", "TrelvoError", "CameraNotFound", "FormatNotSupported",
           "StartFailed", "NotSwitched"]

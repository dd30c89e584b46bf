"""Simplified video capture module (no frame reading)"""

from typing import SupportsIndex

class CameraFormat:
    """One capture format of a camera (read-only; only CameraInfo.formats makes them)."""

    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def fps(self) -> int: ...
    @property
    def subtype_name(self) -> str: ...
    def __repr__(self) -> str: ...

class CameraInfo:
    """One camera with its formats (read-only; only enumerate_cameras makes them)."""

    @property
    def name(self) -> str: ...
    @property
    def device_id(self) -> str: ...
    @property
    def formats(self) -> list[CameraFormat]: ...
    def __repr__(self) -> str: ...

class VideoCapture:
    """One capture session."""

    def __init__(self) -> None: ...
    def enumerate_cameras(self) -> list[CameraInfo]:
        """Enumerate all available cameras"""
    def start(
        self,
        device_1: str,
        device_2: str,
        width: SupportsIndex,
        height: SupportsIndex,
        fps: SupportsIndex,
        subtype_name: str,
        type: SupportsIndex,
    ) -> bool:
        """Start video capture"""
    def stop(self) -> None:
        """Stop video capture"""
    def switch_camera(self) -> None:
        """Switch Capture Device"""
    def is_running(self) -> bool:
        """Check if capture is running"""

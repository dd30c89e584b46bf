"""A program that uses trelvo as the README shows; mypy --strict must accept it."""
import trelvo
from trelvo_tools import CameraNotFound, Format, Relay


def largest_format(cam: trelvo.CameraInfo) -> trelvo.CameraFormat | None:
    return max(cam.formats, key=lambda f: f.width * f.height, default=None)


def relay_first_camera() -> int:
    cap = trelvo.VideoCapture()
    cams: list[trelvo.CameraInfo] = cap.enumerate_cameras()
    if not cams:
        return 0
    ok: bool = cap.start(device_1=cams[0].device_id, device_2="", width=640, height=480, fps=30,
                         subtype_name="MJPEG", type=0)
    if ok and cap.is_running():
        cap.switch_camera()
    cap.stop()
    try:
        with Relay(cams[0].device_id, width=640, output_type=1, loopback="off") as relay:
            fmt: Format | None = relay.format
            device: str | None = relay.loopback_device
            active: str | None = relay.active_camera
            rate: float = relay.fps
            by: int | None = relay.taken_over_by
            print(fmt, device, active, rate, by, relay.is_running())
            return relay.pictures_sent
    except CameraNotFound as error:
        print(error.known_ids)
        return 0

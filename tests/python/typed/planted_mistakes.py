"""The same calls with mistakes planted; mypy must report each marked line, and only those."""
import trelvo
from trelvo_tools import Relay

cap = trelvo.VideoCapture()
cap.start("cam", "", 640.0, 480, 30, "MJPEG", 0)  # mistake: a float width
cap.start(device_1="cam", width=640)  # mistake: arguments missing
cap.start("cam", None, 640, 480, 30, "MJPEG", 0)  # mistake: None for "no second camera"
cams = cap.enumerate_cameras()
print(cams[0].formats[0].subtype)  # mistake: the attribute is subtype_name
label: str = cams[0].formats[0].width  # mistake: width is an int
cams[0].name = "renamed"  # mistake: read-only
running: str = cap.is_running()  # mistake: a bool
Relay(width="640")  # mistake: width is an int
with Relay("cam") as relay:
    relay.pictures_sent = 0  # mistake: read-only
    print(relay.switch() + 1)  # mistake: switch returns the camera id

"""The command line's subtype table against the module's: same names, same GUIDs, same order."""
import pathlib
import re

import pytest
import trelvo
from trelvo_tools import simcam, subtypes

MODULE_TABLE = pathlib.Path(__file__).resolve().parents[2] / "common" / "subtype_table.h"


@pytest.fixture(autouse=True)
def no_cameras():
    simcam.reset()
    yield
    simcam.reset()


def test_module_names_each_python_row_by_its_guid():
    simcam.SimCamera("Table", "sim:table",
                     types=[(simcam.fourcc_guid(row.code), 64, 48, 30, 1) for row in subtypes.TABLE])
    [info] = [c for c in trelvo.VideoCapture().enumerate_cameras() if c.device_id == "sim:table"]
    assert [f.subtype_name for f in info.formats] == list(subtypes.NAMES)


def test_module_table_has_no_row_python_lacks():
    rows = re.findall(r'\{OLESTR\("(\w+)"\), MFVideoFormat_(\w+),', MODULE_TABLE.read_text())
    assert [name for name, _ in rows] == list(subtypes.NAMES)
    # The GUID constants are named by FourCC (RGB24's first field is 20).
    assert [guid for _, guid in rows] == [row.code if isinstance(row.code, str) else row.name
                                          for row in subtypes.TABLE]

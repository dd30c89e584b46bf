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


@pytest.mark.parametrize("fourcc, shown", [("H264", "H264"), ("RGB3", "RGB3"), ("Y8  ", "Y8")])
def test_guid_built_from_a_fourcc_reads_as_that_fourcc(fourcc, shown):
    simcam.SimCamera("FourCC", "sim:fourcc", types=[(simcam.fourcc_guid(fourcc), 64, 48, 30, 1)])
    [info] = [c for c in trelvo.VideoCapture().enumerate_cameras() if c.device_id == "sim:fourcc"]
    [fmt] = info.formats
    assert fmt.subtype_name.startswith("{")
    assert subtypes.display_name(fmt.subtype_name) == shown


@pytest.mark.parametrize("text", ["MJPEG", "{00000000-0000-0000-0000-000000000000}",
                                  "{00000001-0000-0010-8000-00AA00389B71}", "not a guid"])
def test_other_subtype_texts_are_shown_as_given(text):
    assert subtypes.display_name(text) == text

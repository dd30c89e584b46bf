"""The benchmark's smoke mode runs end to end and reports trelvo rows with real numbers."""

import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_bench_smoke_produces_a_table(tmp_path):
    out = tmp_path / "results"
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "run.py"), "--smoke", "--out", str(out),
         "--work", str(tmp_path / "inputs"), "--tools", str(tmp_path / "no-tools")],
        capture_output=True, text=True, timeout=240, cwd=ROOT)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-2000:]

    report = (out / "report.md").read_text()
    assert report in proc.stdout
    rows = {}
    for line in report.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) >= 5 and cells[1].startswith("trelvo type"):
            rows[(cells[0], cells[1])] = cells
    for input_name in ("mjpeg420 1280x720", "nv12 1280x720"):
        for row in ("trelvo type 0 bgr", "trelvo type 1 yuy2"):
            cells = rows.get((input_name, row))
            assert cells is not None, f"no row {row} for {input_name} in:\n{report}"
            cpu_median, cpu_min, pictures_per_s = (float(c) for c in cells[2:5])
            assert cpu_median > 0 and cpu_min > 0, cells
            assert pictures_per_s > 0, cells
    assert re.search(r"CPU: .+", report)

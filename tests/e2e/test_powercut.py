"""A short run of the power-cut tool: the agent killed while it writes its files leaves each
one whole, and a full disk leaves the old file (tests/powercut/powercut.py runs the long one)."""
import subprocess
import sys

from conftest import REPO


def test_files_survive_kills_and_a_full_disk(request):
    result = subprocess.run(
        [sys.executable, str(REPO / "tests/powercut/powercut.py"), "--runs", "25",
         "--build-dir", request.config.getoption("--build-dir")],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert " 0 torn, 0 unparseable" in result.stdout

"""The power-cut tool: every crash state of each save's recorded system calls leaves the old
file or the new one, the new one once the save returned, and a full disk leaves the old file."""
import subprocess
import sys

from conftest import REPO


def test_files_survive_power_cuts_and_a_full_disk(request):
    result = subprocess.run(
        [sys.executable, str(REPO / "tests/powercut/powercut.py"),
         "--build-dir", request.config.getoption("--build-dir")],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count(" 0 bad\n") == 4, result.stdout

from pathlib import Path


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=str(Path(__file__).resolve().parents[3] / "build"),
                     help="build directory holding cvagent-sandbox; screenshots go beside it")

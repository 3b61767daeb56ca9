"""The ImageMagick tests run convert, identify, mogrify and montage with
this tree's delegate and magic files (MAGICK_CONFIGURE_PATH, read before
the machine's) and this build's qzr as the only one on the PATH before the
system's; the user's own configuration is kept out, and ImageMagick's
temporary files go to a directory of the session, to be counted."""
import os
import shutil
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python" / "tests"))  # support.py: qzrdec as the reference

WORK = Path(tempfile.mkdtemp(prefix="qzr-imagemagick-"))
TEMPORARY = WORK / "magick-temporary"


def _bin() -> Path:
    tool = Path(os.environ.get("QZR_TOOL", ROOT / "build" / "tools" / "qzr"))
    if not os.access(tool, os.X_OK):
        raise RuntimeError(f"no qzr at {tool} (set QZR_TOOL)")
    directory = WORK / "bin"
    directory.mkdir()
    (directory / "qzr").symlink_to(tool.resolve())
    return directory


TEMPORARY.mkdir()
os.environ["PATH"] = f"{_bin()}{os.pathsep}{os.environ.get('PATH', '/usr/bin:/bin')}"
os.environ["MAGICK_CONFIGURE_PATH"] = os.environ.get("QZR_IMAGEMAGICK_DIR", str(ROOT / "imagemagick"))
os.environ["MAGICK_TEMPORARY_PATH"] = str(TEMPORARY)
os.environ["HOME"] = str(WORK / "home")
os.environ["XDG_CONFIG_HOME"] = str(WORK / "home" / ".config")


def pytest_sessionfinish(session, exitstatus):
    shutil.rmtree(WORK, ignore_errors=True)

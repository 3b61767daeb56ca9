"""The desktop tests run GdkPixbuf, the thumbnailer and GIO with this
build's loader and MIME type, never the machine's installed ones: a loader
cache of the machine's loaders plus ours, and a MIME database of ours over
the machine's, in a directory of the test session."""
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DESKTOP = Path(os.environ.get("QZR_DESKTOP_DIR", ROOT / "desktop"))
sys.path.insert(0, str(ROOT / "python" / "tests"))  # support.py: qzrdec as the reference

WORK = Path(tempfile.mkdtemp(prefix="qzr-desktop-"))


def _query_loaders() -> str:
    path = os.environ.get("QZR_PIXBUF_QUERY_LOADERS") or subprocess.run(
        ["pkg-config", "--variable=gdk_pixbuf_query_loaders", "gdk-pixbuf-2.0"],
        capture_output=True, text=True, check=True).stdout.strip()
    return path


def _loader_cache() -> Path:
    loader = os.environ.get("QZR_PIXBUF_LOADER", str(ROOT / "build" / "desktop" / "libpixbufloader-qzr.so"))
    if not os.path.exists(loader):
        raise RuntimeError(f"no loader at {loader} (build with -DQZR_BUILD_GDK_PIXBUF=ON, or set QZR_PIXBUF_LOADER)")
    query = _query_loaders()
    env = {k: v for k, v in os.environ.items() if k != "GDK_PIXBUF_MODULE_FILE"}
    machine = subprocess.run([query], capture_output=True, text=True, check=True, env=env).stdout
    ours = subprocess.run([query, loader], capture_output=True, text=True, check=True, env=env).stdout
    cache = WORK / "loaders.cache"
    cache.write_text(machine + "\n" + ours)
    return cache


def _mime_database() -> Path:
    share = WORK / "share"
    (share / "mime" / "packages").mkdir(parents=True)
    shutil.copy(DESKTOP / "qzr.xml", share / "mime" / "packages" / "qzr.xml")
    subprocess.run(["update-mime-database", str(share / "mime")], check=True, capture_output=True)
    return share


os.environ["GDK_PIXBUF_MODULE_FILE"] = str(_loader_cache())
os.environ["XDG_DATA_DIRS"] = f"{_mime_database()}:/usr/local/share:/usr/share"
os.environ["XDG_DATA_HOME"] = str(WORK / "home-share")  # no user's own MIME types


def pytest_sessionfinish(session, exitstatus):
    shutil.rmtree(WORK, ignore_errors=True)

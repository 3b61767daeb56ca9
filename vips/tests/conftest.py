"""The vips tests run libvips' own programs with this build's module: a
VIPSHOME of the test session whose module folder holds it beside the
machine's modules, so neither an installed vips-qzr.so nor anything else of
the machine's stands in for it."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python" / "tests"))  # support.py: qzrdec as the reference

WORK = Path(tempfile.mkdtemp(prefix="qzr-vips-"))


def _module_folder(vipshome=None) -> Path:
    """The module folder libvips searches, with this VIPSHOME or the
    machine's own, as libvips says."""
    env = {k: v for k, v in os.environ.items() if k != "VIPSHOME"}
    if vipshome is not None:
        env["VIPSHOME"] = str(vipshome)
    # GLib writes informative messages to the standard output.
    said = subprocess.run(["vips", "--version"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          check=True, env=dict(env, VIPS_INFO="1")).stdout
    found = re.search(r'searching "([^"]*/vips-modules-[0-9.]+)"', said)
    if not found:
        raise RuntimeError(f"libvips names no module folder:\n{said}")
    return Path(found.group(1))


def _install_module() -> Path:
    module = Path(os.environ.get("QZR_VIPS_MODULE", ROOT / "build" / "vips" / "vips-qzr.so"))
    if not module.exists():
        raise RuntimeError(f"no module at {module} (build with -DQZR_BUILD_VIPS=ON, or set QZR_VIPS_MODULE)")
    home = WORK / "home"
    folder = _module_folder(home)
    folder.mkdir(parents=True)
    machine = _module_folder()
    for other in machine.glob("*.so") if machine.is_dir() else []:
        if other.name != module.name:
            (folder / other.name).symlink_to(other)
    (folder / module.name).symlink_to(module.resolve())
    return home


os.environ["VIPSHOME"] = str(_install_module())


def pytest_sessionfinish(session, exitstatus):
    shutil.rmtree(WORK, ignore_errors=True)

"""The Qt plugin's tests run a QImageReader program of one Qt major with
this build's plugin folder on QT_PLUGIN_PATH (qt/CMakeLists.txt sets both);
support.py gives the files and qzrdec as the reference."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python" / "tests"))

# The Python package qzr for pip: `python3 -m pip install --no-build-isolation .`
# CMake (through scikit-build) builds the library and the extension module,
# the same build as -DQZR_BUILD_PYTHON=ON; setuptools adds python/qzr.
from skbuild import setup

setup(
    name="qzr",
    version="1.3.0",
    description="QZR wavelet images: decode to numpy, a Pillow plugin, conversion on a Dask cluster",
    license="See the project's README",
    packages=["qzr"],
    package_dir={"": "python"},
    python_requires=">=3.8",
    install_requires=["numpy"],
    extras_require={"pillow": ["Pillow"], "cluster": ["distributed", "Pillow"]},
    cmake_args=["-DQZR_BUILD_PYTHON=ON", "-DQZR_BUILD_TESTS=OFF", "-DQZR_BUILD_ENCODER=OFF",
                "-DCMAKE_BUILD_TYPE=Release"],
    cmake_install_target="install-python",
)

"""The tovlink package's build backend (PEP 517): a wheel that brings its own
copy of the native libraries the package loads, built by CMake from the
TovLinkLib source tree around python/.

`pip install ./python` runs it; it needs CMake and a C++ compiler, and no
other Python package (so it works offline, with or without build isolation).
Which libraries go in is CMake's to say: the target `tovlink_python_native`
builds them and the install component `PythonWheel` puts them in one folder
(python/CMakeLists.txt).  Run as a script, it writes a wheel:

    python3 python/build_backend/tovlink_build.py OUT_DIR [BUILD_DIR]
"""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path

PYTHON_DIR = Path(__file__).resolve().parent.parent
SOURCE_DIR = PYTHON_DIR.parent
PACKAGE = "tovlink"
NATIVE_TARGET = "tovlink_python_native"
NATIVE_COMPONENT = "PythonWheel"
# A fixed build folder (config setting or environment) makes rebuilds
# incremental; otherwise each build has a folder of its own.
BUILD_DIR_SETTING = "build-dir"
BUILD_DIR_VARIABLE = "TOVLINK_WHEEL_BUILD_DIR"


# --- Metadata ------------------------------------------------------------------

def _project():
    """The [project] table of pyproject.toml (tomllib, or for Python < 3.11 the
    simple `key = "value"` and `key = [...]` lines this file uses)."""
    text = (PYTHON_DIR / "pyproject.toml").read_text(encoding="utf-8")
    try:
        import tomllib
        return tomllib.loads(text)["project"]
    except ImportError:
        pass
    table = text.split("[project]", 1)[1].split("\n[", 1)[0]
    project = {}
    for key, value in re.findall(r'^([\w-]+)\s*=\s*("[^"]*"|\[[^\]]*\]|\{[^}]*\})', table,
                                 re.MULTILINE):
        if value.startswith('"'):
            project[key] = value[1:-1]
        elif value.startswith("["):
            project[key] = re.findall(r'"([^"]*)"', value)
        else:
            project[key] = dict(re.findall(r'(\w+)\s*=\s*"([^"]*)"', value))
    return project


def _metadata():
    project = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}", f"Summary: {project['description']}",
             f"Requires-Python: {project['requires-python']}"]
    if "license" in project:
        lines.append(f"License: {project['license']['text']}")
    lines += [f"Classifier: {classifier}" for classifier in project.get("classifiers", [])]
    readme = PYTHON_DIR / project.get("readme", "README.md")
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + readme.read_text(encoding="utf-8")


def _dist_info_name():
    project = _project()
    return f"{project['name']}-{project['version']}.dist-info"


def _tag():
    # ctypes only: any Python 3, no Python ABI; the platform of the libraries.
    platform = re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())
    return f"py3-none-{platform}"


# --- The native libraries ------------------------------------------------------------

def _run(command, **options):
    print("tovlink_build: $ " + " ".join(str(part) for part in command), file=sys.stderr,
          flush=True)
    subprocess.run([str(part) for part in command], check=True, stdout=sys.stderr, **options)


def _cmake():
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("building tovlink needs CMake (3.25 or later) on the PATH: "
                           "apt-get install cmake")
    if not (SOURCE_DIR / "CMakeLists.txt").is_file() or not (SOURCE_DIR / "TovLinkLib").is_dir():
        raise RuntimeError(f"tovlink builds its native libraries from the TovLinkLib source "
                           f"tree around python/, and {SOURCE_DIR} is not one: install from "
                           f"that tree (pip install TovLinkLib/python) or from a wheel")
    return cmake


def _build_native(build_dir, stage_dir):
    """Configures (the library only), builds and installs the package's
    libraries into stage_dir; returns the folder that holds them."""
    cmake = _cmake()
    configure = [cmake, "-S", SOURCE_DIR, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                 "-DBUILD_TESTING=OFF", "-DTOVLINK_PROGRAMS=OFF"]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache",
                      "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    _run(configure)
    _run([cmake, "--build", build_dir, "--target", NATIVE_TARGET, "--parallel",
          str(os.cpu_count() or 1)])
    _run([cmake, "--install", build_dir, "--component", NATIVE_COMPONENT,
          "--prefix", stage_dir])
    return Path(stage_dir) / PACKAGE


def _native_files(folder):
    """(name in the package, file) for each library: a wheel holds no links,
    so each library goes in once, under the name its link has (the SONAME the
    loader and the other libraries ask for)."""
    entries = sorted(folder.iterdir())
    linked = {entry.resolve() for entry in entries if entry.is_symlink()}
    return [(entry.name, entry.resolve()) for entry in entries
            if entry.is_symlink() or entry.resolve() not in linked]


# --- The wheel -------------------------------------------------------------------

class _Wheel:
    def __init__(self, path):
        self._zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self._records = []

    def add(self, name, data, executable=False):
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = (0o755 if executable else 0o644) << 16
        self._zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        self._records.append(f"{name},sha256={digest.decode()},{len(data)}")

    def close(self, dist_info):
        record = f"{dist_info}/RECORD"
        self._zip.writestr(zipfile.ZipInfo(record, date_time=(1980, 1, 1, 0, 0, 0)),
                           "\n".join(self._records + [f"{record},,"]) + "\n")
        self._zip.close()


def _build_dir(config_settings):
    chosen = (config_settings or {}).get(BUILD_DIR_SETTING) or os.environ.get(BUILD_DIR_VARIABLE)
    return Path(chosen).resolve() if chosen else None


def _write_dist_info(folder):
    dist_info = Path(folder) / _dist_info_name()
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata(), encoding="utf-8")
    return dist_info.name


# --- PEP 517 hooks ---------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _write_dist_info(metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    name = f"{project['name']}-{project['version']}-{_tag()}.whl"
    dist_info = _dist_info_name()
    with tempfile.TemporaryDirectory(prefix="tovlink-wheel-") as scratch:
        build_dir = _build_dir(config_settings) or Path(scratch) / "build"
        native = _native_files(_build_native(build_dir, Path(scratch) / "stage"))
        os.makedirs(wheel_directory, exist_ok=True)
        wheel = _Wheel(Path(wheel_directory) / name)
        package_dir = PYTHON_DIR / PACKAGE
        for source in sorted(package_dir.iterdir()):
            if source.suffix == ".py" or source.name == "py.typed":
                if source.name != "_install_location.py":  # a `cmake --install` note
                    wheel.add(f"{PACKAGE}/{source.name}", source.read_bytes())
        for file_name, path in native:
            wheel.add(f"{PACKAGE}/{file_name}", path.read_bytes(), executable=True)
        wheel.add(f"{dist_info}/METADATA", _metadata().encode("utf-8"))
        wheel.add(f"{dist_info}/WHEEL",
                  (f"Wheel-Version: 1.0\nGenerator: tovlink_build\nRoot-Is-Purelib: false\n"
                   f"Tag: {_tag()}\n").encode("ascii"))
        wheel.add(f"{dist_info}/top_level.txt", f"{PACKAGE}\n".encode("ascii"))
        wheel.close(dist_info)
    return name


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    settings = {BUILD_DIR_SETTING: sys.argv[2]} if len(sys.argv) == 3 else None
    print(Path(sys.argv[1]) / build_wheel(sys.argv[1], settings))

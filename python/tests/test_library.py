"""Loading the library and the C signatures declared for its exports."""

import ctypes
import os
import re
import shutil

import pytest

import brevant
from brevant import _library

from conftest import PROJECT_DIR, PYTHON_DIR

_C_TYPES = {
    "int32_t": ctypes.c_int32,
    "uint16_t": ctypes.c_uint16,
    "uint8_t": ctypes.c_uint8,
    "void": None,
    "CFP2INSTANCE *": _library.INSTANCE_P,
    "uint8_t *": ctypes.POINTER(ctypes.c_uint8),
    "const uint8_t *": ctypes.POINTER(ctypes.c_uint8),
    "uint16_t *": ctypes.POINTER(ctypes.c_uint16),
    "double *": ctypes.POINTER(ctypes.c_double),
}


def _c_type(text):
    return _C_TYPES[re.sub(r"\s*\*", " *", " ".join(text.split())).strip()]


def _header_exports():
    with open(os.path.join(PROJECT_DIR, "include", "brevant.h")) as header:
        text = header.read()
    found = {}
    pattern = r"VESKCFP2_API\s+(.+?)\s*VESKCFP2_CALL\s+(veskcfp2_\w+)\s*\(([^)]*)\)"
    for result, name, params in re.findall(pattern, text):
        # Each parameter is a type followed by its name.
        args = [_c_type(re.match(r"(.*?)\w+$", p.strip(), re.S).group(1)) for p in params.split(",")]
        found[name] = (_c_type(result), args)
    return found


def test_every_export_of_the_header_is_declared_with_its_c_types():
    exports = _header_exports()
    assert len(exports) == 24
    assert sorted(_library.SIGNATURES) == sorted(exports)
    for name, (restype, argtypes) in exports.items():
        assert _library.SIGNATURES[name] == (restype, argtypes), name


def test_the_loaded_library_carries_the_declared_signatures():
    lib = brevant.load()
    assert lib.veskcfp2_getMDIO.argtypes == _library.SIGNATURES["veskcfp2_getMDIO"][1]
    assert lib.veskcfp2_getVCC.restype is ctypes.c_int32
    with pytest.raises(ctypes.ArgumentError):
        lib.veskcfp2_getVCC(None, ctypes.c_float())  # a float where a double is due


def test_decorated_names_on_32bit_windows_match_the_module_definition_file():
    assert _library.uses_stdcall("win32", 4)
    assert not _library.uses_stdcall("win32", 8)
    assert not _library.uses_stdcall("linux", 4)
    def_file = os.path.join(PROJECT_DIR, "windows", "brevant-x86.def")
    if not os.path.exists(def_file):
        pytest.skip("no module definition file in this tree")
    with open(def_file) as text:
        exported = set(re.findall(r"==\s*(_veskcfp2_\w+@\d+)", text.read()))
    ours = {_library.export_symbol(n, a, True) for n, (_, a) in _library.SIGNATURES.items()}
    assert ours == exported


@pytest.fixture
def library_file():
    path = os.path.realpath(os.environ[brevant.LIBRARY_ENV])
    assert os.path.exists(path)
    return path


def test_load_from_an_explicit_path_or_fail_saying_where_it_looked(library_file, tmp_path):
    assert brevant.load(library_file).path == library_file
    with pytest.raises(OSError):
        brevant.load(tmp_path / "missing.so")
    brevant.load()  # back to the library of the environment


_WHICH = "import brevant; print(brevant.load().path)"


def test_load_from_beside_the_package(library_file, tmp_path, run_python):
    package = tmp_path / "site" / "brevant"
    shutil.copytree(os.path.join(PYTHON_DIR, "brevant"), package)
    beside = package / _library.platform_names()[0]
    os.symlink(library_file, beside)
    out = run_python(_WHICH, BREVANT_LIBRARY=None, PYTHONPATH=tmp_path / "site")
    assert out.strip() == str(beside)


def test_load_by_platform_name_through_the_system_search(library_file, tmp_path, run_python):
    libdir = tmp_path / "lib"
    libdir.mkdir()
    os.symlink(library_file, libdir / _library.platform_names()[0])
    out = run_python(_WHICH, BREVANT_LIBRARY=None, LD_LIBRARY_PATH=libdir)
    assert out.strip() == _library.platform_names()[0]
    with pytest.raises(AssertionError, match="BREVANT_LIBRARY"):
        run_python(_WHICH, BREVANT_LIBRARY=None, LD_LIBRARY_PATH=tmp_path)

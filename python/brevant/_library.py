"""Finding and loading the brevant shared library, and the C signatures of
its 24 exports."""

import ctypes
import ctypes.util
import os
import struct
import sys

#: Environment variable that names the library file to load, when the caller
#: gives no path.
LIBRARY_ENV = "BREVANT_LIBRARY"

#: Environment variable that makes the Linux library reach the simulated
#: bench instead of real boards (any value but "" and "0").
SIMULATOR_ENV = "BREVANT_SIMULATOR"


def simulator_requested(environ=None, platform=None):
    """Whether a library loaded now would reach simulated boards: the
    Linux library does when SIMULATOR_ENV is 1, true, yes or on (any case);
    any other value leaves it off (the library names a value that is
    neither on nor off). The Windows DLL has no simulator."""
    environ = os.environ if environ is None else environ
    platform = sys.platform if platform is None else platform
    if platform in ("win32", "cygwin"):
        return False
    return environ.get(SIMULATOR_ENV, "").lower() in ("1", "true", "yes", "on")


class CFP2INSTANCE(ctypes.Structure):
    """The library's opaque per-board handle; only pointers to it are used."""


INSTANCE_P = ctypes.POINTER(CFP2INSTANCE)

_u8 = ctypes.c_uint8
_u16 = ctypes.c_uint16
_i32 = ctypes.c_int32
_P = ctypes.POINTER

#: Result type and argument types of every export, as in brevant.h.
SIGNATURES = {
    "veskcfp2_createInstance": (INSTANCE_P, [_i32, _u16]),
    "veskcfp2_destroyInstance": (None, [INSTANCE_P]),
    "veskcfp2_connect": (_u8, [INSTANCE_P]),
    "veskcfp2_disconnect": (_u8, [INSTANCE_P]),
    "veskcfp2_ping": (_i32, [INSTANCE_P, _P(_u8)]),
    "veskcfp2_resetMCU": (_i32, [INSTANCE_P]),
    "veskcfp2_resetMCUBoot": (_i32, [INSTANCE_P]),
    "veskcfp2_setPort": (_i32, [INSTANCE_P, _u8, _u8]),
    "veskcfp2_getPort": (_i32, [INSTANCE_P, _u8, _P(_u8)]),
    "veskcfp2_setVendorIO": (_i32, [INSTANCE_P, _u8]),
    "veskcfp2_p3v3_FTDIEnable": (_i32, [INSTANCE_P, _u8]),
    "veskcfp2_setPower": (_i32, [INSTANCE_P, _u8]),
    "veskcfp2_enableCurrentSense": (_i32, [INSTANCE_P, _u16, _u16]),
    "veskcfp2_getCurrentSense": (_i32, [INSTANCE_P, _u16, _P(_u8)]),
    "veskcfp2_currentMonitor": (_i32, [INSTANCE_P, _P(_u16)]),
    "veskcfp2_setMDIO": (_i32, [INSTANCE_P, _u8, _u16, _u16]),
    "veskcfp2_getMDIO": (_i32, [INSTANCE_P, _u8, _u16, _P(_u16)]),
    "veskcfp2_getVCC": (_i32, [INSTANCE_P, _P(ctypes.c_double)]),
    "veskcfp2_getTemperature": (_i32, [INSTANCE_P, _u8, _P(ctypes.c_double)]),
    "veskcfp2_eepromRead": (_i32, [INSTANCE_P, _i32, _P(_u8)]),
    "veskcfp2_eepromWrite": (_i32, [INSTANCE_P, _i32, _u8]),
    "veskcfp2_getSN": (_u8, [INSTANCE_P, _P(_u8)]),
    "veskcfp2_setSN": (_u8, [INSTANCE_P, _P(_u8), _i32]),
    "veskcfp2_enumerateDevices": (_i32, [_i32, _P(_u16), _P(_u8)]),
}


def uses_stdcall(platform=None, pointer_size=None):
    """True where the exports use the standard-call convention: 32-bit
    Windows. There the DLL must be loaded with ctypes.WinDLL; a CDLL would
    leave the callee's arguments on the stack and corrupt it."""
    platform = sys.platform if platform is None else platform
    pointer_size = struct.calcsize("P") if pointer_size is None else pointer_size
    return platform == "win32" and pointer_size == 4


def export_symbol(name, argtypes, stdcall):
    """The name under which the DLL exports `name`. Standard-call exports are
    decorated: an underscore, the name, '@' and the argument bytes (every
    argument takes 4 bytes on 32-bit x86)."""
    return "_%s@%d" % (name, 4 * len(argtypes)) if stdcall else name


def platform_names(platform=None):
    """The library's file names on a platform, preferred first."""
    platform = sys.platform if platform is None else platform
    if platform == "win32" or platform == "cygwin":
        return ["brevant.dll"]
    if platform == "darwin":
        return ["libbrevant.1.dylib", "libbrevant.dylib"]
    return ["libbrevant.so.1", "libbrevant.so"]


class Library:
    """The loaded library: one attribute per export, with its C signature
    declared, so wrong Python values fail in ctypes rather than in C."""

    def __init__(self, handle, path):
        self.handle = handle
        self.path = path
        self._simulated = None
        stdcall = uses_stdcall()
        for name, (restype, argtypes) in SIGNATURES.items():
            try:
                function = handle[export_symbol(name, argtypes, stdcall)]
            except AttributeError:
                if not stdcall:
                    raise
                function = handle[name]  # a DLL that also exports plain names
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)

    @property
    def simulated(self):
        """True when the boards this library reaches are simulated ones. The
        library makes its choice once, on first use; so does this."""
        if self._simulated is None:
            self._simulated = simulator_requested()
        return self._simulated

    def __repr__(self):
        return "<brevant library %s%s>" % (self.path, ", simulated boards" if self.simulated else "")


def _installed_library_dirs(here):
    """The library folder of the prefix the package was installed into with
    cmake --install, which writes _installed.py beside it."""
    try:
        from . import _installed
    except ImportError:
        return []
    return [os.path.normpath(os.path.join(here, _installed.LIBRARY_DIR))]


def _open(path):
    loader = ctypes.WinDLL if uses_stdcall() else ctypes.CDLL
    return Library(loader(path), path)


def load(path=None):
    """Loads the library: from `path` when given, else from the file named
    by the BREVANT_LIBRARY environment variable, else from beside this
    package, else from the library folder of the prefix cmake --install put
    the package in, else by its platform name through the system's search.
    Raises OSError naming every place tried."""
    if path is not None:
        return _open(os.fspath(path))
    from_env = os.environ.get(LIBRARY_ENV)
    if from_env:
        return _open(from_env)

    tried = []
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in [here] + _installed_library_dirs(here):
        for name in platform_names():
            beside = os.path.join(folder, name)
            if os.path.exists(beside):
                return _open(beside)
            tried.append(beside)
    for name in platform_names():
        try:
            return _open(name)
        except OSError:
            tried.append(name)
    found = ctypes.util.find_library("brevant")
    if found:
        return _open(found)
    raise OSError(
        "cannot find the brevant library; tried %s. Give its path to "
        "brevant.load(path) or in the %s environment variable."
        % (", ".join(tried), LIBRARY_ENV)
    )

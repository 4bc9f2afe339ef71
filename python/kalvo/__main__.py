"""python -m kalvo: where a C++ program that embeds Python finds kalvo's headers and library.

    python -m kalvo --includes   # -I<python include> -I<kalvo include>
    python -m kalvo --libdir     # directory of libKalvoDataArray.so
    python -m kalvo --cmakedir   # directory of kalvoConfig.cmake, for -Dkalvo_DIR=...
"""
import argparse
import os
import sys
import sysconfig

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def include_dir():
    """Directory holding the client-class headers and kalvo/host.hpp."""
    return os.path.join(_PACKAGE_DIR, "include")


def lib_dir():
    """Directory holding libKalvoDataArray.so."""
    return os.path.join(_PACKAGE_DIR, "lib")


def cmake_dir():
    """Directory holding kalvoConfig.cmake."""
    return os.path.join(_PACKAGE_DIR, "share", "cmake", "kalvo")


def python_include_dirs():
    """Python's own header directories (platform-specific one only when it differs)."""
    paths = sysconfig.get_paths()
    dirs = [paths["include"]]
    if paths.get("platinclude") and paths["platinclude"] not in dirs:
        dirs.append(paths["platinclude"])
    return dirs


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m kalvo",
        description="Print the compiler and linker settings for C++ programs that embed "
                    "Python and exchange data arrays with kalvo.")
    parser.add_argument("--includes", action="store_true",
                        help="include flags for Python and the kalvo headers")
    parser.add_argument("--libdir", action="store_true",
                        help="directory of libKalvoDataArray.so")
    parser.add_argument("--cmakedir", action="store_true",
                        help="directory of the CMake package (kalvo_DIR)")
    args = parser.parse_args(argv)
    if not (args.includes or args.libdir or args.cmakedir):
        parser.print_help()
        return 1
    if args.includes:
        print(" ".join("-I" + d for d in python_include_dirs() + [include_dir()]))
    if args.libdir:
        print(lib_dir())
    if args.cmakedir:
        print(cmake_dir())
    return 0


if __name__ == "__main__":
    sys.exit(main())

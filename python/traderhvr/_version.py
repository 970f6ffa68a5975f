"""The package's version: the project's version (CMakeLists.txt checks that
the two agree)."""

__version__ = "1.0.0"

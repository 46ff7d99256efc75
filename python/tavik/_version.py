"""The version of the tavik package; the compiled kernel has its own, ``kernel_version()``."""

__version__ = "1.3.0"

"""The version of the package: the one place it is written (the build reads
it from here for the distribution's metadata)."""
__version__ = "0.1.0"

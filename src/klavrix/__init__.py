"""klavrix: the native layer of the klavrix Python performance runtime."""

__version__ = "0.1.0"

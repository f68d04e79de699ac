"""orvane: run package functions over grids of arguments and keep the results.

The submodules are imported on demand (``import orvane.basic.functions``), so importing
the package itself stays cheap and does not load the compiled extension modules.
"""

__version__ = "0.1.0"

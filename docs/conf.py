"""Sphinx configuration of the documentation site: the user guide (the README) and the API
reference of the four compiled modules.

    make docs        # builds it into build/docs/html, warnings as errors

The API reference comes from the compiled modules and the stubs beside them: autodoc reads
a native module's `.pyi` as the module (signatures and annotations as type checkers see
them), and a function's own docstring, where the compiled function has one, replaces the
stub's. No network is used: no intersphinx, no remote images.
"""

import importlib
import sys

import orvane

project = "orvane"
author = "The orvane developers"
copyright = "The orvane developers"
release = version = orvane.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3  # the README links to its own headings
html_theme = "alabaster"
html_title = f"orvane {release}"
html_static_path = []
autodoc_member_order = "bysource"
autodoc_typehints_format = "short"
napoleon_numpy_docstring = True

MODULES = ["trialgrid", "medical", "annotix", "instances"]


def compiled_docstrings():
    """{"orvane.basic.medical._to_shell": docstring} of every compiled function and class
    member that has one. The compiled modules are imported here and then dropped from
    sys.modules, so that autodoc loads their stubs in their place."""
    found = {}
    for name in MODULES:
        dotted = f"orvane.basic.{name}"
        module = importlib.import_module(dotted)
        for attr, value in vars(module).items():
            members = [(attr, value)]
            if isinstance(value, type) and value.__module__ == dotted:
                members += [(f"{attr}.{k}", v) for k, v in vars(value).items()]
            for member, obj in members:
                if type(obj).__name__ == "native_function" and obj.__doc__:
                    found[f"{dotted}.{member}"] = obj.__doc__
        del sys.modules[dotted]
    return found


COMPILED_DOCSTRINGS = compiled_docstrings()
# The README shows its figures from the project's published copies (so that package
# indexes render them); here they come from this folder.
PUBLISHED_FIGURES = "https://raw.githubusercontent.com/orvane/orvane/main/docs/"


def use_compiled_docstring(app, what, name, obj, options, lines):
    docstring = COMPILED_DOCSTRINGS.get(name)
    if docstring is not None:
        from sphinx.util.docstrings import prepare_docstring

        lines[:] = prepare_docstring(docstring)


def local_figures(app, relative_path, parent_docname, content):
    content[0] = content[0].replace(PUBLISHED_FIGURES, "")


def setup(app):
    # Before napoleon turns numpy-style sections into fields.
    app.connect("autodoc-process-docstring", use_compiled_docstring, priority=400)
    app.connect("include-read", local_figures)
    return {"parallel_read_safe": True}

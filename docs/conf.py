"""Sphinx configuration of the documentation site: the user guide (the README), the API
reference of the four compiled modules and a gallery of examples with figures.

    make docs        # builds it into build/docs/html and runs its doctests, warnings as errors

The API reference comes from the stubs beside the compiled modules: autodoc reads a native
module's `.pyi` as the module (signatures and annotations as type checkers see them), and
the stubs' docstrings, in numpydoc form, are what the pages show. The compiled functions'
own `__doc__` (what help() shows) is not read here. The examples of those docstrings run
as doctests (`sphinx -b doctest`) against the compiled modules: the stubs stand in for the
modules only while Sphinx reads the pages. The gallery (docs/examples, rendered into
docs/gallery) runs at build time with the images bundled with the package. No network is
used: no intersphinx, no remote images, scripts or fonts.
"""

import doctest
import importlib
import os
import sys
from pathlib import Path

import orvane
import orvane.basic

DOCS = Path(__file__).resolve().parent
project = "orvane"
author = "The orvane developers"
copyright = "The orvane developers"
release = version = orvane.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "examples", "gallery/*.py", "gallery/*.ipynb"]
myst_heading_anchors = 3  # the README links to its own headings
html_theme = "pydata_sphinx_theme"
html_title = f"orvane {release}"
html_static_path = ["_static"]
html_css_files = ["orvane.css"]
html_theme_options = {
    "navbar_align": "left",
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
# The section navigation only where a section has several pages (the API, the gallery).
html_sidebars = {"**": ["sidebar-nav-bs"]}
html_sidebars.update({page: [] for page in ("index", "guide", "BAD_INPUT", "ARCHITECTURE")})
autodoc_member_order = "bysource"
autodoc_typehints_format = "short"

# numpydoc: the sections of every docstring (Parameters, Returns, Raises, See Also, Notes,
# Examples); its checks turn a function without parameters explained, a result or an
# example into a warning, and so into an error of the build.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_validation_checks = {"PR01", "PR02", "RT01", "EX01", "GL08"}
numpydoc_validation_exclude = {
    r"\.__init__$",  # dataclass fields and markers: the class says what they hold
    r"\.__getitem__$",  # _T: documented with the class
    r"\.__bool__$",
    r"^orvane\.basic\.[a-z]+$",  # module docstrings
    # Pipeline objects, documented as data with the parameters of their call (which
    # numpydoc cannot see).
    r"^orvane\.basic\.trialgrid\.(experiments|functest)$",
}

# The doctests: every ">>>" example of the API pages, against the compiled modules.
doctest_test_doctest_blocks = "default"
# Exception messages are compared too (Sphinx ignores their detail by default).
doctest_default_flags = doctest.ELLIPSIS | doctest.DONT_ACCEPT_TRUE_FOR_1

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "gallery",
    "filename_pattern": r"/plot_",
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "reference_url": {},  # no links resolved over the network
    "backreferences_dir": "gallery/backreferences",
    "doc_module": ("orvane",),
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "show_memory": False,
    "min_reported_time": 1e9,  # no timings in the pages: they differ from build to build
    "write_computation_times": False,  # their pages load scripts from the network
}
os.environ.setdefault("MPLBACKEND", "Agg")

MODULES = [f"orvane.basic.{name}" for name in ("trialgrid", "medical", "annotix", "instances")]
COMPILED = {name: importlib.import_module(name) for name in MODULES}
# The README shows its figures from the project's published copies (so that package
# indexes render them); here they come from this folder.
PUBLISHED_FIGURES = "https://raw.githubusercontent.com/orvane/orvane/main/docs/"


def stubs_in(app, env, docnames):
    """Before the pages are read: drop the compiled modules from sys.modules, so that
    autodoc loads their stubs in their place (the gallery has run by now)."""
    for name in MODULES:
        sys.modules.pop(name, None)
        if hasattr(orvane.basic, name.rsplit(".", 1)[1]):
            delattr(orvane.basic, name.rsplit(".", 1)[1])


def compiled_back(app, env):
    """After the pages are read: the compiled modules again, for the doctests."""
    for name, module in COMPILED.items():
        sys.modules[name] = module
        setattr(orvane.basic, name.rsplit(".", 1)[1], module)


def local_figures(app, relative_path, parent_docname, content):
    content[0] = content[0].replace(PUBLISHED_FIGURES, "")


def setup(app):
    app.connect("env-before-read-docs", stubs_in)
    app.connect("env-updated", compiled_back)
    app.connect("include-read", local_figures)
    return {"parallel_read_safe": False}

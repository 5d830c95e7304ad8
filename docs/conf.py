"""Sphinx configuration of the plovik documentation (`make docs`)."""

import re

import plovik

project = "plovik"
release = version = plovik.__version__
copyright = "the plovik authors"

extensions = [
    "myst_parser",  # the pages are Markdown, as the README is
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]

# Headings up to ### get anchors, so pages link to sections as `page.md#section`.
myst_heading_anchors = 3
myst_enable_extensions = ["dollarmath"]

# The docstrings write code in single backquotes, as Markdown does.
default_role = "literal"
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "show-inheritance": True}
napoleon_numpy_docstring = False
napoleon_google_docstring = True  # the docstrings have Args: and Returns: sections

html_theme = "alabaster"
html_title = f"plovik {release}"
html_static_path: list[str] = []
html_theme_options = {"description": "Nearest neighbours on the unit torus", "show_relbars": True}


# The compiled class's docstrings list the keys of a returned dict as
# "key: meaning" lines (indented, with deeper continuation lines) under a
# line ending in ":", which reStructuredText reads as stray indented blocks.
# Make them a bullet list.
_KEY = re.compile(r"^( {0,4})([A-Za-z_]\w*): (.*)$")


def _key_lists(app, what, name, obj, options, lines):
    if not name.startswith("plovik.RustLshIndex"):
        return
    out, in_list, indent = [], False, ""
    for line in lines:
        item = _KEY.match(line)
        if item and (item.group(1) == indent if in_list else out and out[-1].rstrip().endswith(":")):
            if not in_list:
                out.append("")
            indent = item.group(1)
            out.append(f"- `{item.group(2)}`: {item.group(3)}")
            in_list = True
        elif in_list and line.startswith(indent + "    "):
            out.append("  " + line.strip())
        else:
            if in_list and line.strip():
                out.append("")
            in_list = False
            out.append(line)
    lines[:] = out


def setup(app):
    app.connect("autodoc-process-docstring", _key_lists)

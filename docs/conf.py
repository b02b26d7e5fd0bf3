"""Sphinx configuration of velnor's API reference.

The reference is generated from the docstrings of the installed package:
``velnor``'s members are whatever its ``__all__`` lists, so a new public
name appears here without editing these pages.
"""

from __future__ import annotations

import velnor

project = "velnor"
author = "the velnor developers"
copyright = "the velnor developers"  # noqa: A001
release = velnor.__version__
version = ".".join(release.split(".")[:2])

extensions = ["sphinx.ext.autodoc"]
default_role = "py:obj"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "show-inheritance": False}
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path: list[str] = []

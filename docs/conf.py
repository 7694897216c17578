"""Sphinx configuration. Offline: no intersphinx, no theme downloads.

The site uses pydata-sphinx-theme, the theme of NumPy's, SciPy's and
scikit-image's sites. sphinx-gallery turns each script in examples/ into a
page of the gallery: it runs the script at build time and shows its code, what
it prints and the picture it writes (the scripts write PNG files with Pillow
rather than Matplotlib figures: gallery_support.py collects them).

The API reference is read from the type stub (src/python/trelvane.pyi), not
from the compiled module: the stub carries the full documentation and the
precise signatures, and the build needs no compiled module. The directive
``stub-api`` below parses the stub with ast and writes one ``py:`` directive
per class, property and function, their numpydoc docstrings converted by
napoleon.
"""

import ast
import re
import sys
import tomllib
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.ext.napoleon.docstring import NumpyDocstring
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "python" / "trelvane.pyi"
sys.path.insert(0, str(Path(__file__).resolve().parent))  # gallery_support

project = "trelvane"
release = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
extensions = ["sphinx.ext.napoleon", "sphinx_gallery.gen_gallery", "sphinx_copybutton"]
exclude_patterns = ["_build"]
html_theme = "pydata_sphinx_theme"
html_title = f"trelvane {release}"
html_show_copyright = False  # no copyright holder is named anywhere (pyproject.toml has no authors)
html_static_path = ["_static"]
html_css_files = ["trelvane.css"]
html_theme_options = {
    "navbar_align": "left",
    "header_links_before_dropdown": 5,
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": [],
    "footer_end": [],
}
# One level of pages, all in the header: no left sidebar, the text takes its room.
html_sidebars = {"**": []}
napoleon_numpy_docstring = True
napoleon_google_docstring = False
# The prompts and the output of console examples are not copied.
copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True


sphinx_gallery_conf = {
    "examples_dirs": ["../examples"],
    "gallery_dirs": ["gallery"],
    "filename_pattern": r"\.py$",  # run every example, not only plot_*.py
    # Named, not given as objects: Sphinx pickles its configuration.
    "image_scrapers": ("gallery_support.written_pictures",),
    "reset_argv": "gallery_support.example_arguments",
    "abort_on_example_error": True,
    "download_all_examples": False,
    "show_signature": False,
    "min_reported_time": 1e9,  # no run times on the pages: they are this machine's
    "write_computation_times": False,
}


def aliases(tree: ast.Module) -> dict[str, str]:
    """The stub's private names, spelled out for signatures: type aliases by
    their value, type variables by their name without the underscore."""
    names = {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value:
            names[node.target.id] = ast.unparse(node.value)
        elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Call):
            names[node.targets[0].id] = node.targets[0].id.lstrip("_")
    return names


def signature(node: ast.FunctionDef, names: dict[str, str]) -> str:
    text = f"{node.name}({ast.unparse(node.args)})"
    if node.returns is not None:
        text += f" -> {ast.unparse(node.returns)}"
    return re.sub(r"\b_\w+\b", lambda m: names.get(m.group(), m.group()), text)


class StubApi(SphinxDirective):
    """``.. stub-api::``: the API reference from the stub's docstrings."""

    def docstring(self, node: ast.AST, indent: str, what: str, name: str) -> list[str]:
        text = ast.get_docstring(node) or ""
        lines = NumpyDocstring(text, self.config, what=what, name=name).lines()
        return [indent + line if line else "" for line in lines] + [""]

    def run(self):
        self.env.note_dependency(str(STUB))
        tree = ast.parse(STUB.read_text())
        names = aliases(tree)
        out = [".. py:module:: trelvane", ""] + self.docstring(tree, "", "module", "trelvane")
        for node in tree.body:
            if isinstance(node, ast.ClassDef):
                out += [f".. py:class:: {node.name}", "   :final:", ""]
                out += self.docstring(node, "   ", "class", node.name)
                for member in node.body:
                    if isinstance(member, ast.FunctionDef):
                        out += [f"   .. py:property:: {member.name}",
                                f"      :type: {ast.unparse(member.returns)}", ""]
                        out += self.docstring(member, "      ", "attribute", member.name)
            elif isinstance(node, ast.FunctionDef):
                out += [f".. py:function:: {signature(node, names)}", ""]
                out += self.docstring(node, "   ", "function", node.name)
        holder = nodes.Element()
        nested_parse_with_titles(self.state, StringList(out, str(STUB)), holder)
        return holder.children


def setup(app):
    app.add_directive("stub-api", StubApi)

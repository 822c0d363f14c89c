"""The package's layers: no module imports the command but the command's own
modules (and `python -m tarnis`), and the Python modules import each other
without a cycle."""

from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import tarnis

# Each module imported in a fresh child (forked from a process that has
# imported nothing of tarnis but its bare package, and the heavy libraries
# beforehand to keep it quick): what it brought in is then all its own.
_CHECK = r"""
import importlib, os, sys
for library in ("torch", "spacy", "presidio_analyzer", "phonenumbers", "schwifty", "openai", "gliner"):
    try:
        importlib.import_module(library)
    except ImportError:
        pass
import tarnis
root = os.path.dirname(tarnis.__file__)
names = []
for folder, _, files in os.walk(root):
    for file in files:
        stem, dot, ext = file.partition(".")
        if ext == "py" or ext.endswith(".so"):
            parts = os.path.relpath(os.path.join(folder, stem), os.path.dirname(root)).split(os.sep)
            if parts[-1] == "__init__":
                parts.pop()
            if "__pycache__" not in parts:
                names.append(".".join(parts))
names = sorted(set(names) - {"tarnis.__main__"})      # that one runs the command
assert sorted(m for m in sys.modules if m.startswith("tarnis.")) == []
for name in names:
    pid = os.fork()
    if pid == 0:
        try:
            importlib.import_module(name)
        except ImportError as e:          # an optional dependency that is not installed
            os._exit(3)
        bad = sorted(m for m in sys.modules if m == "tarnis.cli" or m.startswith("tarnis.cli."))
        print(name, " ".join(bad), flush=True)
        os._exit(0)
    os.waitpid(pid, 0)
"""

COMMAND_MODULES = ("tarnis.cli", "tarnis.__main__")


def test_only_the_command_imports_the_command():
    out = subprocess.run([sys.executable, "-c", _CHECK], capture_output=True, text=True, check=True, timeout=600)
    imported = {line.split()[0]: line.split()[1:] for line in out.stdout.splitlines()}
    assert {"tarnis.spark", "tarnis.host.pipeline", "tarnis.host.engines", "tarnis.cli.main"} <= set(imported)
    offenders = {name: found for name, found in imported.items()
                 if found and not name.startswith(COMMAND_MODULES)}
    assert offenders == {}


def _imports(path: Path, name: str, package: bool) -> set[str]:
    """The tarnis modules `path` (module `name`) imports, at its top or
    inside its functions."""
    found = set()
    base = name if package else name.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            module = node.module or ""
            if node.level:
                parts = base.split(".")
                module = ".".join(parts[:len(parts) - node.level + 1] + ([module] if module else []))
            found.add(module)
            found.update(f"{module}.{a.name}" for a in node.names)
    return {m for m in found if m == "tarnis" or m.startswith("tarnis.")}


def test_no_import_cycle_among_the_python_modules():
    root = Path(tarnis.__file__).resolve().parent
    modules = {}
    for path in root.rglob("*.py"):
        parts = list(path.relative_to(root.parent).with_suffix("").parts)
        package = parts[-1] == "__init__"
        if package:
            parts.pop()
        modules[".".join(parts)] = (path, package)
    graph = {name: {m for m in _imports(path, name, package) if m in modules and m != name}
             for name, (path, package) in modules.items()}
    assert "tarnis.host.engines" in graph["tarnis.spark"]

    cycles = []
    state: dict[str, int] = {}          # 1: on the current path, 2: done

    def visit(name, trail):
        state[name] = 1
        for other in sorted(graph[name]):
            if state.get(other) == 1:
                cycles.append(trail[trail.index(other):] + [other])
            elif other not in state:
                visit(other, trail + [other])
        state[name] = 2

    for name in sorted(graph):
        if name not in state:
            visit(name, [name])
    assert cycles == []


def test_default_names_are_defined_once():
    """The hosts' defaults are the library's: one value per name everywhere."""
    import subprocess as sp
    script = ("import sys, tarnis.host.defaults\n"
              "assert not any(m in sys.modules for m in ('tarnis.analyzer', 'tarnis.slm.fallback', 'presidio_analyzer'))\n")
    sp.run([sys.executable, "-c", script], check=True, timeout=120)   # the help needs no analyzer
    from tarnis import analyzer, defaults, processing
    from tarnis.host import defaults as host
    from tarnis.slm import fallback
    for name, owner in (("DEFAULT_GLINER_MODEL", analyzer), ("DEFAULT_SPACY_MODEL", analyzer),
                        ("DEFAULT_SLM_MODEL", fallback), ("DEFAULT_SLM_URL", fallback),
                        ("PLACEHOLDER_PATTERN", processing)):
        assert getattr(owner, name) == getattr(defaults, name)
    for name in ("DEFAULT_GLINER_MODEL", "DEFAULT_SPACY_MODEL", "DEFAULT_SLM_MODEL", "DEFAULT_SLM_URL"):
        assert getattr(host, name) is getattr(defaults, name)
    assert host.PLACEHOLDER.pattern == processing.PLACEHOLDER_PATTERN

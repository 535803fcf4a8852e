"""The project code that an asset's function refers to, for its fingerprint.

Runs in the inspection's process, where the project's modules are imported. From the names the
function's code uses, it follows every function, class and module-level value of the project
that those names reach in the function's module (`to_records`, or `frames.to_records` through a
module), then the names in each one's own source, and so on. What it records of each is the
source of the top-level statements that define it, so an edit of a helper changes the digest of
exactly the assets that reach it. Code outside the project (the standard library,
site-packages) is not followed: an installed package changes with its version, not its source.

Attribute names are not tied to the module they are read from (the code object does not say
which name an attribute follows): `frames.to_records` and `x.to_records` both follow
`frames.to_records`. That may count a helper an asset does not call, never miss one it does.
"""

from __future__ import annotations

import ast
import hashlib
import json
import os
import site
import sys
import sysconfig
import types
from collections.abc import Iterable, Iterator
from typing import Any

from _quarl import AssetWrapper


def _outside_roots() -> tuple[str, ...]:
    """Folders whose modules are not the project's: the standard library and site-packages."""
    roots = set()
    for variables in ({}, {"base": sys.base_prefix, "platbase": sys.base_exec_prefix}):
        for name in ("stdlib", "platstdlib", "purelib", "platlib"):
            path = sysconfig.get_path(name, vars=variables)
            if path:
                roots.add(os.path.realpath(path))
    roots.update(os.path.realpath(p) for p in site.getsitepackages())
    user = site.getusersitepackages()
    if user:
        roots.add(os.path.realpath(user))
    return tuple(root.rstrip(os.sep) + os.sep for root in roots)


class _Index:
    """The top-level statements of one module of the project, by the names they bind."""

    def __init__(self, module: types.ModuleType) -> None:
        self.sources: dict[str, list[str]] = {}
        self.nodes: dict[str, list[ast.stmt]] = {}
        self.imported: dict[str, tuple[str, str]] = {}  # name -> (module, name there)
        self.names: dict[str, set[str]] = {}  # name -> the names its statements use, once known
        try:
            loader = getattr(module, "__loader__", None)
            text = loader.get_source(module.__name__) if loader is not None else None
            tree = ast.parse(text) if text else None
        except (ImportError, OSError, SyntaxError, ValueError):
            tree = None
        if tree is None:
            return
        assert text is not None
        lines = text.splitlines(keepends=True)
        package = getattr(module, "__package__", None) or ""
        for statement in self._statements(tree.body):
            if isinstance(statement, ast.ImportFrom):
                base = statement.module or ""
                if statement.level:
                    parts = package.split(".")
                    parent = ".".join(parts[:len(parts) - statement.level + 1])
                    base = f"{parent}.{base}" if base else parent
                for alias in statement.names:
                    self.imported[alias.asname or alias.name] = (base, alias.name)
                continue
            names = list(self._bound(statement))
            if not names:
                continue
            first = min([statement.lineno, *(d.lineno for d in getattr(statement, "decorator_list", ()))])
            source = "".join(lines[first - 1:statement.end_lineno])
            for name in names:
                self.sources.setdefault(name, []).append(source)
                self.nodes.setdefault(name, []).append(statement)

    @classmethod
    def _statements(cls, body: Iterable[ast.stmt]) -> Iterator[ast.stmt]:
        # Definitions under a top-level `if` or `try` (a fallback import, a platform's variant)
        # are the module's too.
        for statement in body:
            if isinstance(statement, ast.If):
                yield from cls._statements(statement.body)
                yield from cls._statements(statement.orelse)
            elif isinstance(statement, ast.Try):
                for part in (statement.body, *(h.body for h in statement.handlers),
                             statement.orelse, statement.finalbody):
                    yield from cls._statements(part)
            else:
                yield statement

    @staticmethod
    def _bound(statement: ast.stmt) -> Iterator[str]:
        if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            yield statement.name
        elif isinstance(statement, ast.Assign):
            for target in statement.targets:
                yield from (n.id for n in ast.walk(target) if isinstance(n, ast.Name))
        elif isinstance(statement, (ast.AnnAssign, ast.AugAssign)) and isinstance(statement.target, ast.Name):
            yield statement.target.id
        elif isinstance(statement, ast.TypeAlias) and isinstance(statement.name, ast.Name):
            yield statement.name.id


def _code_names(code: types.CodeType) -> set[str]:
    """Every global and attribute name a code object uses, nested functions included."""
    names = set(code.co_names)
    for constant in code.co_consts:
        if isinstance(constant, types.CodeType):
            names |= _code_names(constant)
    return names


def _node_names(nodes: Iterable[ast.stmt]) -> set[str]:
    names: set[str] = set()
    for node in nodes:
        for child in ast.walk(node):
            if isinstance(child, ast.Name):
                names.add(child.id)
            elif isinstance(child, ast.Attribute):
                names.add(child.attr)
    return names


class References:
    """Digests of the project code that functions refer to; modules are read once for all."""

    def __init__(self) -> None:
        self._outside = _outside_roots()
        self._project: dict[str, bool] = {}
        self._indexes: dict[str, _Index] = {}
        # Assets that reach the same definitions (every caller of one helper) share a digest.
        self._digests: dict[tuple[tuple[str, str], ...], str] = {}

    def _in_project(self, name: str) -> bool:
        known = self._project.get(name)
        if known is None:
            module = sys.modules.get(name)
            path = getattr(module, "__file__", None) if module is not None else None
            known = isinstance(path, str) and not os.path.realpath(path).startswith(self._outside)
            self._project[name] = known
        return known

    def _index(self, name: str) -> _Index | None:
        if not self._in_project(name):
            return None
        index = self._indexes.get(name)
        if index is None:
            index = self._indexes[name] = _Index(sys.modules[name])
        return index

    def digest(self, function: Any) -> str | None:
        """The digest of what FUNCTION reaches in the project; None when it reaches nothing."""
        while isinstance(function, AssetWrapper):
            function = function.__wrapped__
        code = getattr(function, "__code__", None)
        module = getattr(function, "__module__", None)
        if not isinstance(code, types.CodeType) or not isinstance(module, str):
            return None
        found: dict[tuple[str, str], list[str]] = {}
        names = _code_names(code)
        work = [(module, names, names)]
        while work:
            module, wanted, attributes = work.pop()
            namespace = getattr(sys.modules.get(module), "__dict__", None)
            if namespace is None:
                continue
            for name in wanted:
                if name in namespace:
                    self._reach(namespace[name], module, name, attributes, found, work)
        # Modules met on the way are marked with the name "": what counts is what was reached.
        reached = tuple(sorted(key for key in found if key[1]))
        if not reached:
            return None
        known = self._digests.get(reached)
        if known is None:
            known = self._digests[reached] = self._hash([(key, found[key]) for key in reached])
        return known

    @staticmethod
    def _hash(definitions: list[tuple[tuple[str, str], list[str]]]) -> str:
        digest = hashlib.sha256()
        # Not the modules: an asset whose function moves to another module with its helpers
        # (name= keeps its key) stays up to date.
        for name, sources in sorted((name, sources) for (_, name), sources in definitions):
            # Each part with its length first: no two lists of parts hash alike.
            for part in (name, *sources):
                data = part.encode("utf-8", "surrogatepass")
                digest.update(b"%d:%s" % (len(data), data))
            digest.update(b";")
        return digest.hexdigest()

    def _reach(self, value: Any, module: str, name: str, attributes: set[str],
               found: dict[tuple[str, str], list[str]], work: list[tuple[str, set[str], set[str]]]) -> None:
        """Records the definition that NAME in MODULE stands for, and queues what it refers to."""
        if isinstance(value, types.ModuleType):
            if (value.__name__, "") not in found and self._in_project(value.__name__):
                found[(value.__name__, "")] = []  # a module seen: its attributes are followed once
                work.append((value.__name__, attributes, attributes))
            return
        if isinstance(value, AssetWrapper):
            value = value.__wrapped__
        if isinstance(value, (types.FunctionType, type)):
            home, qualname = getattr(value, "__module__", None), getattr(value, "__qualname__", "")
            if isinstance(home, str) and isinstance(qualname, str) and "<" not in qualname:
                module, name = home, qualname.partition(".")[0]
        # A value imported with `from X import name` is defined in X.
        for _ in range(10):
            index = self._index(module)
            if index is None or (module, name) in found:
                return
            if name in index.sources or name not in index.imported:
                break
            module, name = index.imported[name]
        else:
            return
        found[(module, name)] = index.sources.get(name, [])
        names = index.names.get(name)
        if names is None:
            names = index.names[name] = _node_names(index.nodes.get(name, ()))
        if names:
            work.append((module, names, names))


def add_references(report: str) -> str:
    """The compact report with `references_sha256` in each record whose function refers to
    project code; the report as it is when none does."""
    document = json.loads(report)
    references = References()
    added = False
    for record in document.get("assets", ()):
        module = sys.modules.get(record.get("function_module") or record.get("module_path") or "")
        function = getattr(module, "__dict__", {}).get(record.get("function_name"))
        digest = references.digest(function) if function is not None else None
        if digest is not None:
            record["references_sha256"] = digest
            added = True
    if not added:
        return report
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"), sort_keys=True)

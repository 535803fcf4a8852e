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
import sys
import types
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from _quarl import AssetWrapper

from quarl.project import folders_from_environment, is_project_file


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


Definition = tuple[str, str]  # (module, top-level name)


class References:
    """Digests of the project code that functions refer to; modules are read once for all."""

    def __init__(self) -> None:
        self._folders = folders_from_environment()
        self._project: dict[str, bool] = {}
        self._indexes: dict[str, _Index] = {}
        # Assets that reach the same definitions (every caller of one helper) share a digest.
        self._digests: dict[tuple[Definition, ...], str] = {}
        self._closures: dict[Definition, frozenset[Definition]] = {}

    def _in_project(self, name: str) -> bool:
        known = self._project.get(name)
        if known is None:
            module = sys.modules.get(name)
            path = getattr(module, "__file__", None) if module is not None else None
            known = isinstance(path, str) and is_project_file(path, self._folders)
            self._project[name] = known
        return known

    def _index(self, name: str) -> _Index | None:
        if not self._in_project(name):
            return None
        index = self._indexes.get(name)
        if index is None:
            index = self._indexes[name] = _Index(sys.modules[name])
        return index

    def reached(self, function: Any) -> frozenset[Definition]:
        """The project's definitions that FUNCTION reaches, in turn."""
        while isinstance(function, AssetWrapper):
            function = function.__wrapped__
        code = getattr(function, "__code__", None)
        module = getattr(function, "__module__", None)
        if not isinstance(code, types.CodeType) or not isinstance(module, str):
            return frozenset()
        reached: set[Definition] = set()
        for definition in self._direct(module, _code_names(code)):
            reached |= self._closure(definition)
        return frozenset(reached)

    def reached_from(self, module: str, name: str) -> frozenset[Definition]:
        """The definition of the top-level NAME of MODULE and what it reaches (the object that
        serializer="MODULE:NAME" names, say); empty when it is not the project's."""
        namespace = getattr(sys.modules.get(module), "__dict__", {})
        if name not in namespace:
            return frozenset()
        definition = self._definition(namespace[name], module, name)
        return self._closure(definition) if definition is not None else frozenset()

    def digest(self, function: Any) -> str | None:
        """The digest of what FUNCTION reaches in the project; None when it reaches nothing."""
        return self.digest_of(self.reached(function))

    def digest_of(self, reached: frozenset[Definition]) -> str | None:
        if not reached:
            return None
        key = tuple(sorted(reached))
        known = self._digests.get(key)
        if known is None:
            known = self._digests[key] = self._hash(key)
        return known

    def parts(self, reached: frozenset[Definition]) -> dict[str, str]:
        """A short digest of each definition's own source, by "module.name": what tells which of
        them changed."""
        return {f"{module}.{name}": hashlib.sha256("".join(self._sources(module, name)).encode(
            "utf-8", "surrogatepass")).hexdigest()[:16] for module, name in sorted(reached)}

    def _hash(self, definitions: tuple[Definition, ...]) -> str:
        digest = hashlib.sha256()
        # Not the modules: an asset whose function moves to another module with its helpers
        # (name= keeps its key) stays up to date.
        parts = sorted((name, self._sources(module, name)) for module, name in definitions)
        for name, sources in parts:
            # Each part with its length first: no two lists of parts hash alike.
            for part in (name, *sources):
                data = part.encode("utf-8", "surrogatepass")
                digest.update(b"%d:%s" % (len(data), data))
            digest.update(b";")
        return digest.hexdigest()

    def _sources(self, module: str, name: str) -> list[str]:
        index = self._index(module)
        return index.sources.get(name, []) if index is not None else []

    def _direct(self, module: str, names: set[str]) -> set[Definition]:
        """The definitions that NAMES, used in MODULE's code, stand for; through a module of the
        project, its attributes among NAMES too."""
        found: set[Definition] = set()
        modules = [module]
        seen = {module}
        while modules:
            namespace = getattr(sys.modules.get(modules.pop()), "__dict__", None)
            if namespace is None:
                continue
            for name in names & namespace.keys():
                value = namespace[name]
                if isinstance(value, types.ModuleType):
                    if value.__name__ not in seen and self._in_project(value.__name__):
                        seen.add(value.__name__)
                        modules.append(value.__name__)
                    continue
                definition = self._definition(value, namespace["__name__"], name)
                if definition is not None:
                    found.add(definition)
        return found

    def _definition(self, value: Any, module: str, name: str) -> Definition | None:
        """Where the top-level statements that define VALUE, found as NAME in MODULE, are."""
        if isinstance(value, AssetWrapper):
            value = value.__wrapped__
        if isinstance(value, (types.FunctionType, type)):
            try:
                home, qualname = getattr(value, "__module__", None), getattr(value, "__qualname__", "")
            except Exception:  # a metaclass's property may raise anything: then found as NAME
                home, qualname = None, ""
            if isinstance(home, str) and isinstance(qualname, str) and "<" not in qualname:
                module, name = home, qualname.partition(".")[0]
        # A value imported with `from X import name` is defined in X.
        for _ in range(10):
            index = self._index(module)
            if index is None:
                return None
            if name in index.sources or name not in index.imported:
                return (module, name)
            module, name = index.imported[name]
        return None

    def _closure(self, start: Definition) -> frozenset[Definition]:
        """START and every definition its source reaches, in turn."""
        known = self._closures.get(start)
        if known is not None:
            return known
        seen = {start}
        stack = [start]
        while stack:
            module, name = stack.pop()
            index = self._index(module)
            if index is None:
                continue
            names = index.names.get(name)
            if names is None:
                names = index.names[name] = _node_names(index.nodes.get(name, ()))
            for definition in self._direct(module, names):
                if definition not in seen:
                    seen.add(definition)
                    stack.append(definition)
        result = self._closures[start] = frozenset(seen)
        return result


def references_of(references: References) -> Callable[[dict[str, Any], Any], bool]:
    """What the inspection adds to an asset's record from the project code it reaches: the digest
    of that code (`references_sha256`) and of each definition in it (`references_parts`); and,
    for a serializer= that is a MODULE:ATTRIBUTE of the project, the digest of what that reaches
    (`serializer_sha256`): the runs execute it too. Says whether it added anything."""

    def add(record: dict[str, Any], function: Any) -> bool:
        added = False
        reached = references.reached(function) if function is not None else frozenset()
        if reached:
            record["references_sha256"] = references.digest_of(reached)
            record["references_parts"] = references.parts(reached)
            added = True
        spec = (record.get("decorator_metadata") or {}).get("serializer")
        if isinstance(spec, str) and ":" in spec:
            home, _, attribute = spec.partition(":")
            digest = references.digest_of(references.reached_from(home, attribute.partition(".")[0]))
            if digest is not None:
                record["serializer_sha256"] = digest
                added = True
        return added

    return add

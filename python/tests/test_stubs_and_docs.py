"""The type stubs name exactly what the module holds, and every item carries a docstring."""

import ast
from pathlib import Path

import native64

STUBS = Path(__file__).resolve().parents[1] / "native64.pyi"
STUB_ONLY = {"Image", "Points2", "Points3", "Array", "Rect", "Vec3"}  # type aliases


def stub_names():
    tree = ast.parse(STUBS.read_text())
    top, members = set(), {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            top.add(node.name)
            names = set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    names.add(item.name)
                elif isinstance(item, ast.AnnAssign):
                    names.add(item.target.id)
            members[node.name] = names
        elif isinstance(node, ast.FunctionDef):
            top.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            top.add(node.target.id)
        elif isinstance(node, ast.Assign):
            top.update(t.id for t in node.targets)
    return top - STUB_ONLY, members


def public(obj):
    return {n for n in dir(obj) if not n.startswith("_")}


def test_stubs_match_the_module():
    top, members = stub_names()
    assert top == public(native64)
    for name, names in members.items():
        if name in ("Error", "FileError"):  # exception classes: their members are BaseException's
            continue
        assert names - {"__init__", "__copy__"} == public(getattr(native64, name)), name


def test_every_class_function_and_field_is_documented():
    for name in public(native64):
        item = getattr(native64, name)
        if isinstance(item, int):
            continue
        assert item.__doc__, name
        if isinstance(item, type):
            for member in public(item):
                if name in ("Error", "FileError"):
                    continue
                attribute = getattr(item, member)
                assert attribute.__doc__ and attribute.__doc__.strip(), f"{name}.{member}"

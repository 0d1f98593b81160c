"""help() and IDEs explain the package: every public member of the companion package and of its
native module has a docstring, and the native module's stub carries the same texts."""

from __future__ import annotations

import ast
import importlib
import inspect
from pathlib import Path

import pytest

import corvelle
from corvelle import _batch

ROOT = Path(__file__).resolve().parent.parent
BATCH_STUB = ROOT / "python" / "corvelle" / "_batch.pyi"

MODULES = [
    "corvelle",
    "corvelle.bots",
    "corvelle.bytestate",
    "corvelle.cli",
    "corvelle.replay",
    "corvelle.seeded_bot",
    "corvelle.viewer",
    "corvelle.envs",
    "corvelle.envs.arena",
    "corvelle.envs.keys",
    "corvelle.envs.obs",
    "corvelle.envs.placement",
    "corvelle.envs.recording",
    "corvelle.envs.render",
    "corvelle.envs.vector",
    "corvelle.datagen",
]


def words(text):
    return " ".join((text or "").split())


def public_members(module):
    names = getattr(module, "__all__", None)
    if names is None:
        names = [n for n in vars(module) if not n.startswith("_")]
    for name in names:
        obj = getattr(module, name)
        if (inspect.isclass(obj) or inspect.isfunction(obj)) and obj.__module__.startswith(
            "corvelle"
        ):
            yield name, obj


def undocumented(module_name):
    pytest.importorskip("gymnasium") if ".envs" in module_name else None
    module = importlib.import_module(module_name)
    missing = [] if (module.__doc__ or "").strip() else [module_name]
    for name, obj in public_members(module):
        if not (obj.__doc__ or "").strip():
            missing.append(f"{module_name}.{name}")
        if not inspect.isclass(obj):
            continue
        for attr, value in vars(obj).items():
            if attr.startswith("_"):
                continue
            if isinstance(value, (staticmethod, classmethod)):
                value = value.__func__
            if isinstance(value, property) or inspect.isfunction(value):
                if not (value.__doc__ or "").strip():
                    missing.append(f"{module_name}.{name}.{attr}")
    return missing


@pytest.mark.parametrize("module_name", MODULES)
def test_every_public_member_is_documented(module_name):
    assert undocumented(module_name) == []


def stub_docs():
    """{qualified name: docstring} of every documented function, property and class of the
    native module's stub."""
    tree = ast.parse(BATCH_STUB.read_text())
    docs = {"": ast.get_docstring(tree)}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            docs[node.name] = ast.get_docstring(node)
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.name.startswith("__"):
                    docs[f"{node.name}.{item.name}"] = ast.get_docstring(item)
    return docs


def runtime_doc(name):
    obj = _batch
    for part in filter(None, name.split(".")):
        obj = vars(obj)[part] if inspect.isclass(obj) else getattr(obj, part)
    doc = obj.__doc__ or ""
    if inspect.isclass(obj):
        doc = doc.split("--\n\n", 1)[-1]  # past the constructor's text signature
    return doc


def test_native_batch_module_docstrings_match_its_stub():
    docs = stub_docs()
    public = [n for n in dir(_batch) if not n.startswith("_") and callable(getattr(_batch, n))]
    for cls in [n for n in public if inspect.isclass(getattr(_batch, n))]:
        public += [f"{cls}.{n}" for n in vars(getattr(_batch, cls)) if not n.startswith("_")]
    assert sorted(public) == sorted(n for n in docs if n)
    for name, doc in docs.items():
        assert doc, f"stub of {name or 'the module'} has no docstring"
        assert words(runtime_doc(name)) == words(doc), name


def annotation(func, name):
    # The modules defer their annotations: each is the text written.
    return inspect.signature(func).parameters[name].annotation


def test_the_stub_and_package_use_literal_types_for_fixed_names():
    from typing import get_args

    from corvelle import cli, seeded_bot

    assert get_args(seeded_bot.BotName) == ("wordpress", "random", "beam")
    assert annotation(cli.play_game, "bot") == "seeded_bot.BotName"
    pytest.importorskip("gymnasium")
    from corvelle.envs import KeyEnv, PlacementEnv, PlacementVectorEnv
    from corvelle.envs.arena import RewardKind

    assert get_args(RewardKind) == ("score", "lines", "shaped")
    for env in (KeyEnv, PlacementEnv):
        assert annotation(env.__init__, "reward") == "Reward"
    assert annotation(PlacementVectorEnv.__init__, "reward") == "RewardKind"
    stub = (ROOT / "stubs" / "corvelle_vim-stubs" / "__init__.pyi").read_text()
    assert '_BotName = Literal["wordpress", "random"]' in stub
    assert "bot_type: _BotName" in stub and "bot_type: str" not in stub
    assert corvelle.__doc__

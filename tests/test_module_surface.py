"""The Python surface of corvelle_vim: the module, the two classes' shape, signatures against
the typing stub, argument binding and conversion errors, and diagnostics forwarding.

Game rules are tested elsewhere; the states here only serve to call the members.
"""

from __future__ import annotations

import array
import ast
import gc
import importlib
import inspect
import json
import subprocess
import sys
import textwrap
import time
import weakref
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import corvelle_vim
from corvelle_vim import GameSeedPy, GameStatePy, generate_random_seed, generate_seed, sum_as_string

import helpers

TESTS = Path(__file__).resolve().parent
STUB = TESTS.parent / "stubs" / "corvelle_vim-stubs" / "__init__.pyi"
MEMBERS = ["sum_as_string", "generate_seed", "generate_random_seed", "GameStatePy", "GameSeedPy"]
OUT_OF_RANGE = "out of range integral type conversion attempted"
U64_MAX = 2**64 - 1


def fresh():
    return GameStatePy(generate_seed(0, bytes(32)))


# --------------------------------------------------------------------------------------------
# Misbehaving argument objects
# --------------------------------------------------------------------------------------------


class Index:
    """An int stand-in through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


class Seq:
    """A sequence that is neither list, tuple, bytes nor bytearray."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class IterFails(Seq):
    """Iterating yields the items, then raises."""

    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    def __iter__(self):
        yield from self.items
        raise self.exc


class ListSub(list):
    pass


class StrSub(str):
    pass


# --------------------------------------------------------------------------------------------
# The module
# --------------------------------------------------------------------------------------------


def test_module_docstring_and_all():
    assert corvelle_vim.__name__ == "corvelle_vim"
    assert corvelle_vim.__doc__ == "A Python module implemented in C++."
    assert corvelle_vim.__all__ == MEMBERS


def test_module_has_exactly_the_five_members_in_registration_order():
    public = [k for k in vars(corvelle_vim) if not (k.startswith("__") and k.endswith("__"))]
    assert public == MEMBERS


def test_second_import_returns_the_same_module():
    saved = sys.modules.pop("corvelle_vim")
    try:
        again = importlib.import_module("corvelle_vim")
        assert again is saved
        assert again.GameStatePy is GameStatePy
    finally:
        sys.modules["corvelle_vim"] = saved


def test_classes_carry_bare_names():
    for cls, name in ((GameStatePy, "GameStatePy"), (GameSeedPy, "GameSeedPy")):
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__module__ == "corvelle_vim"
    with pytest.raises(TypeError) as info:
        generate_seed(0, fresh())
    assert str(info.value) == prefixed(
        "seed", "'GameStatePy' object cannot be converted to 'Sequence'")


def test_internal_error_class_derives_directly_from_base_exception():
    gc.collect()
    mine = [c for c in BaseException.__subclasses__() if c.__module__ == "corvelle_vim"]
    assert len(mine) == 1
    cls = mine[0]
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert cls.__name__ not in corvelle_vim.__all__
    assert all(v is not cls for v in vars(corvelle_vim).values())


def test_only_pairs_that_hold_a_list_are_left_to_the_cycle_collector():
    # (name, state) pairs can never be part of a cycle; (chain list, state) pairs can.
    s = fresh()
    steps = s.generate_bot_episode("wordpress", 20)
    recorder = helpers.Recorder(s)
    for _, after in steps:
        recorder.add(after)
    _, replayed = GameStatePy.load_replay_from_bytes(recorder.stream())
    for pairs in (s.next_actions_and_states, steps, replayed):
        assert pairs and not any(gc.is_tracked(p) for p in pairs)
        assert not any(gc.is_tracked(state) for _, state in pairs)
    chains = s.get_valid_move_chains()
    assert chains and all(gc.is_tracked(p) for p in chains)


def run_python(code: str, **env_changes) -> subprocess.CompletedProcess:
    import os

    env = dict(os.environ)
    env.pop("CORVELLE_VIM_LOG", None)
    env.update(env_changes)
    env["PYTHONPATH"] = os.pathsep.join([str(TESTS)] + sys.path)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300, cwd=str(TESTS))


def test_import_from_a_sub_interpreter_raises_import_error(tmp_path):
    out = tmp_path / "result.txt"
    inner = textwrap.dedent(f"""
        try:
            import corvelle_vim
            result = "imported"
        except ImportError as e:
            result = "ImportError: " + str(e)
        open({str(out)!r}, "w").write(result)
    """)
    proc = run_python(f"""
        import sys
        try:
            import _testcapi
        except ImportError:
            print("no _testcapi")
            sys.exit(0)
        import corvelle_vim
        _testcapi.run_in_subinterp({inner!r})
    """)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.strip() == "no _testcapi":
        pytest.skip("_testcapi is not available")
    result = out.read_text()
    assert result.startswith("ImportError: ")
    assert "sub-interpreters are not supported" in result


# --------------------------------------------------------------------------------------------
# Module functions
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("a", "b", "expected"),
    [
        (1, 2, "3"),
        (0, 0, "0"),
        (U64_MAX, 1, "0"),
        (U64_MAX, U64_MAX, str(U64_MAX - 1)),
        (U64_MAX, 0, "18446744073709551615"),
        (True, True, "2"),
        (Index(40), Index(2), "42"),
    ],
)
def test_sum_as_string_known_cases(a, b, expected):
    assert sum_as_string(a, b) == expected


@given(st.integers(0, U64_MAX), st.integers(0, U64_MAX))
def test_sum_as_string_wraps_modulo_2_64(a, b):
    assert sum_as_string(a, b) == str((a + b) % 2**64)
    assert sum_as_string(b=b, a=a) == str((a + b) % 2**64)


def test_generate_seed_copies_its_arguments():
    s = generate_seed(5, bytes(32))
    assert s.ts == 5 and s.seed == [0] * 32
    assert generate_seed(5, list(range(32))).seed == list(range(32))
    assert generate_seed(-(2**63), bytes(32)).ts == -(2**63)
    assert generate_seed(2**63 - 1, bytes(32)).ts == 2**63 - 1
    assert generate_seed(ts=Index(7), seed=[Index(255)] * 32).seed == [255] * 32


@pytest.mark.parametrize(
    "seed",
    [
        bytes(range(32)),
        bytearray(range(32)),
        list(range(32)),
        tuple(range(32)),
        range(32),
        array.array("B", range(32)),
        Seq(range(32)),
        ListSub(range(32)),
        [Index(i) for i in range(32)],
    ],
    ids=lambda s: type(s).__name__,
)
def test_generate_seed_accepts_any_sequence_of_32(seed):
    assert generate_seed(0, seed).seed == list(range(32))


def test_generate_random_seed_is_fresh_and_timestamped():
    before = time.time_ns() // 1000
    a, b = generate_random_seed(), generate_random_seed()
    after = time.time_ns() // 1000
    assert a.seed != b.seed
    for s in (a, b):
        assert before - 1_000_000 <= s.ts <= after + 1_000_000
        assert len(s.seed) == 32 and all(0 <= x <= 255 for x in s.seed)


def test_seed_list_is_a_fresh_copy_on_every_access():
    s = generate_seed(1, list(range(32)))
    got = s.seed
    got.append(99)
    got[0] = 77
    assert s.seed == list(range(32))
    assert s.seed is not s.seed


# --------------------------------------------------------------------------------------------
# Class shape: construction, finality, no dict, no weak references, read-only attributes
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize(("args", "kwargs"),
                         [((), {}), ((1,), {}), ((), {"ts": 1}), ((1, 2, 3), {})])
def test_game_seed_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError, match=r"^No constructor defined$"):
        GameSeedPy(*args, **kwargs)
    with pytest.raises(TypeError, match=r"^No constructor defined$"):
        GameSeedPy.__new__(GameSeedPy, *args, **kwargs)


def test_game_state_constructor_builds_equal_states_from_one_seed():
    seed = generate_seed(3, list(range(32)))
    a, b = GameStatePy(seed), GameStatePy(value=seed)
    assert a is not b
    assert a.to_bytes() == b.to_bytes()


@pytest.mark.parametrize("cls", [GameStatePy, GameSeedPy])
def test_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def instances():
    return [fresh(), generate_seed(0, bytes(32))]


@pytest.mark.parametrize("obj", instances(), ids=["GameStatePy", "GameSeedPy"])
def test_instances_have_no_dict_and_no_weakrefs(obj):
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.new_attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.skipif(sys.version_info < (3, 10), reason="immutable types arrived in 3.10")
@pytest.mark.parametrize("cls", [GameStatePy, GameSeedPy])
def test_classes_are_immutable(cls):
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        del cls.__doc__


@pytest.mark.parametrize("name", helpers.STATE_ATTRIBUTES)
def test_state_attributes_are_read_only(name):
    s = fresh()
    before = s.to_bytes()
    with pytest.raises(AttributeError):
        setattr(s, name, 1)
    with pytest.raises(AttributeError):
        delattr(s, name)
    assert s.to_bytes() == before


@pytest.mark.parametrize("name", ["ts", "seed"])
def test_seed_attributes_are_read_only(name):
    s = generate_seed(1, bytes(32))
    with pytest.raises(AttributeError):
        setattr(s, name, 2)
    with pytest.raises(AttributeError):
        delattr(s, name)
    assert s.ts == 1 and s.seed == [0] * 32


def getset_names(cls):
    return [k for k, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"
            and not k.startswith("__")]


def test_attributes_are_declared_in_table_order_with_docstrings():
    assert getset_names(GameStatePy) == list(helpers.STATE_ATTRIBUTES)
    assert getset_names(GameSeedPy) == ["ts", "seed"]
    for cls in (GameStatePy, GameSeedPy):
        for name in getset_names(cls):
            assert vars(cls)[name].__doc__, f"{cls.__name__}.{name}"


def test_static_methods_are_static():
    s = fresh()
    for name in ("get_all_move_chains", "state_from_bytes", "load_replay_from_bytes"):
        assert isinstance(vars(GameStatePy)[name], staticmethod)
    assert s.get_all_move_chains() == GameStatePy.get_all_move_chains()
    assert s.state_from_bytes(s.to_bytes()).to_bytes() == s.to_bytes()


def test_getters_and_methods_refuse_other_objects():
    with pytest.raises(TypeError):
        vars(GameStatePy)["score"].__get__(5)
    with pytest.raises(TypeError):
        vars(GameSeedPy)["ts"].__get__(fresh())
    with pytest.raises(TypeError):
        GameStatePy.to_bytes(generate_seed(0, bytes(32)))
    with pytest.raises(TypeError):
        GameStatePy.bot_moves_raw(5, "random")


def test_results_are_new_objects():
    s = fresh()
    board = s.main_board
    board[0][0] = "changed"
    board.append(None)
    assert s.main_board == fresh().main_board
    assert s.next_actions_and_states[0][1] is not s.next_actions_and_states[0][1]
    chains = s.get_all_move_chains()
    chains[0].append("Nothing")
    chains.pop()
    assert s.get_all_move_chains()[0] == ["HardDrop"]
    assert len(s.get_all_move_chains()) == 96


# --------------------------------------------------------------------------------------------
# Signatures: docstrings, __text_signature__ and the typing stub
# --------------------------------------------------------------------------------------------

TEXT_SIGNATURES = [
    (sum_as_string, "(a, b)"),
    (generate_seed, "(ts, seed)"),
    (generate_random_seed, "()"),
    (GameStatePy.bot_moves_raw, "($self, bot_type)"),
    (GameStatePy.generate_bot_episode, "($self, bot_type, max_episode_len)"),
    (GameStatePy.get_all_move_chains, "()"),
    (GameStatePy.get_valid_move_chains, "($self)"),
    (GameStatePy.to_bytes, "($self)"),
    (GameStatePy.state_from_bytes, "(bytes)"),
    (GameStatePy.load_replay_from_bytes, "(data)"),
]


@pytest.mark.parametrize(("func", "signature"), TEXT_SIGNATURES,
                         ids=[f.__name__ for f, _ in TEXT_SIGNATURES])
def test_text_signature_and_doc(func, signature):
    assert func.__text_signature__ == signature
    assert func.__doc__ and not func.__doc__.startswith(func.__name__ + "(")
    if func is sum_as_string:
        assert func.__doc__ == "Formats the sum of two numbers as string."


def test_class_signatures():
    assert GameStatePy.__text_signature__ == "(value)"
    assert GameStatePy.__doc__ and not GameStatePy.__doc__.startswith("GameStatePy(")
    assert str(inspect.signature(GameStatePy)) == "(value)"
    assert GameSeedPy.__text_signature__ is None
    assert GameSeedPy.__doc__


def words(text):
    return " ".join(text.split())


def test_stub_docstrings_are_the_runtime_docstrings():
    # help() and IDEs show the same text: every documented member of the stub carries the
    # runtime's docstring, and every member the runtime documents is documented in the stub.
    tree = stub_tree()
    assert ast.get_docstring(tree) == corvelle_vim.__doc__
    pairs = [(corvelle_vim, n) for n in tree.body if isinstance(n, ast.FunctionDef)]
    for cls in (GameStatePy, GameSeedPy):
        node = stub_class(cls.__name__)
        assert words(ast.get_docstring(node)) == words(cls.__doc__), cls.__name__
        pairs += [(cls, n) for n in node.body
                  if isinstance(n, ast.FunctionDef) and not n.name.startswith("__")]
    assert len(pairs) > 30
    for owner, node in pairs:
        runtime = vars(owner)[node.name]
        if isinstance(runtime, staticmethod):
            runtime = getattr(owner, node.name)
        doc = runtime.__doc__
        assert doc, node.name
        assert words(ast.get_docstring(node) or "") == words(doc), node.name


def stub_tree():
    return ast.parse(STUB.read_text())


def stub_functions(body):
    return {n.name: n for n in body if isinstance(n, ast.FunctionDef)}


def stub_class(name):
    return next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == name)


def decorators(node):
    return {d.id for d in node.decorator_list if isinstance(d, ast.Name)}


def stub_params(node, drop_first):
    args = node.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.posonlyargs), node.name
    names = [a.arg for a in args.args]
    return names[1:] if drop_first else names


def runtime_params(func, drop_first):
    params = list(inspect.signature(func).parameters.values())
    if drop_first:
        assert params[0].name == "self" and params[0].kind is inspect.Parameter.POSITIONAL_ONLY
        params = params[1:]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert all(p.default is inspect.Parameter.empty for p in params)
    return [p.name for p in params]


def test_stub_all_and_module_functions_match_runtime():
    tree = stub_tree()
    all_node = next(n for n in tree.body if isinstance(n, ast.Assign)
                    and n.targets[0].id == "__all__")
    assert ast.literal_eval(all_node.value) == MEMBERS
    funcs = stub_functions(tree.body)
    assert sorted(funcs) == sorted(["sum_as_string", "generate_seed", "generate_random_seed"])
    for name, node in funcs.items():
        assert stub_params(node, False) == runtime_params(getattr(corvelle_vim, name), False)


@pytest.mark.parametrize("cls", [GameStatePy, GameSeedPy])
def test_stub_class_members_match_runtime(cls):
    node = stub_class(cls.__name__)
    assert "final" in decorators(node)
    funcs = stub_functions(node.body)
    properties = [n for n, f in funcs.items() if "property" in decorators(f)]
    assert properties == getset_names(cls)
    runtime_methods = sorted(k for k, v in vars(cls).items() if not k.startswith("__")
                             and type(v).__name__ in ("method_descriptor", "staticmethod"))
    stub_methods = sorted(n for n, f in funcs.items()
                          if "property" not in decorators(f) and not n.startswith("__"))
    assert stub_methods == runtime_methods
    for name in stub_methods:
        static = "staticmethod" in decorators(funcs[name])
        assert static == isinstance(vars(cls)[name], staticmethod)
        runtime = runtime_params(getattr(cls, name), not static)
        assert stub_params(funcs[name], not static) == runtime


def test_stub_constructor_matches_runtime():
    new = stub_functions(stub_class("GameStatePy").body)["__new__"]
    assert stub_params(new, True) == list(inspect.signature(GameStatePy).parameters)


def conforms(value, ann) -> bool:
    """Whether a value has the type a stub annotation (an ast node) describes, exactly."""
    if isinstance(ann, ast.Constant) and ann.value is None:
        return value is None
    if isinstance(ann, ast.BinOp) and isinstance(ann.op, ast.BitOr):
        return conforms(value, ann.left) or conforms(value, ann.right)
    if isinstance(ann, ast.Name):
        types = {"int": int, "bool": bool, "str": str, "GameStatePy": GameStatePy,
                 "GameSeedPy": GameSeedPy}
        return type(value) is types[ann.id]
    assert isinstance(ann, ast.Subscript), ast.dump(ann)
    args = ann.slice.elts if isinstance(ann.slice, ast.Tuple) else [ann.slice]
    if ann.value.id == "list":
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if ann.value.id == "tuple":
        return (type(value) is tuple and len(value) == len(args)
                and all(conforms(v, a) for v, a in zip(value, args)))
    raise AssertionError(f"unexpected annotation {ast.dump(ann)}")


def sample_states():
    s = fresh()
    return [
        s,
        helpers.act(s, "Hold"),
        helpers.make_state(None),
        helpers.make_state("GGGGGGGGG.", ("T", 1, (20, 4), 7), game_over_reason=0),
    ]


@pytest.mark.parametrize("index", range(4), ids=["new", "held", "no_piece", "over"])
def test_attribute_values_conform_to_stub(index):
    state = sample_states()[index]
    for name, node in stub_functions(stub_class("GameStatePy").body).items():
        if "property" in decorators(node):
            assert conforms(getattr(state, name), node.returns), name


def test_method_results_conform_to_stub():
    s = fresh()
    replay = helpers.encode_stream([helpers.Init(), helpers.Update(idx=0, action=0),
                                    helpers.Update(idx=1, action=2)])
    results = {
        "bot_moves_raw": s.bot_moves_raw("random"),
        "generate_bot_episode": s.generate_bot_episode("wordpress", 3),
        "get_all_move_chains": GameStatePy.get_all_move_chains(),
        "get_valid_move_chains": s.get_valid_move_chains(),
        "to_bytes": s.to_bytes(),
        "state_from_bytes": GameStatePy.state_from_bytes(s.to_bytes()),
        "load_replay_from_bytes": GameStatePy.load_replay_from_bytes(replay),
    }
    funcs = stub_functions(stub_class("GameStatePy").body)
    for name, value in results.items():
        assert conforms(value, funcs[name].returns), name
    seed_funcs = stub_functions(stub_class("GameSeedPy").body)
    seed = generate_random_seed()
    for name in ("ts", "seed"):
        assert conforms(getattr(seed, name), seed_funcs[name].returns), name


# --------------------------------------------------------------------------------------------
# Argument binding
# --------------------------------------------------------------------------------------------

SEED = generate_seed(0, bytes(32))
STATE = fresh()

BINDING_ERRORS = [
    (sum_as_string, (1,), {}, r"sum_as_string() missing required argument 'b' (pos 2)"),
    (sum_as_string, (), {}, r"sum_as_string() missing required argument 'a' (pos 1)"),
    (sum_as_string, (1, 2, 3), {}, r"sum_as_string() takes at most 2 arguments (3 given)"),
    (sum_as_string, (), {"a": 1, "b": 2, "c": 3},
     r"sum_as_string() takes at most 2 keyword arguments (3 given)"),
    (sum_as_string, (), {"a": 1, "c": 2}, r"sum_as_string() missing required argument 'b' (pos 2)"),
    (sum_as_string, (1,), {"a": 2}, r"sum_as_string() missing required argument 'b' (pos 2)"),
    (sum_as_string, (1, 2), {"a": 2}, r"sum_as_string() takes at most 2 arguments (3 given)"),
    (generate_seed, (0,), {}, r"generate_seed() missing required argument 'seed' (pos 2)"),
    (generate_random_seed, (1,), {}, None),
    (GameStatePy, (), {}, r"GameStatePy() missing required argument 'value' (pos 1)"),
    (GameStatePy, (SEED, SEED), {}, r"GameStatePy() takes at most 1 argument (2 given)"),
    (GameStatePy, (), {"valu": SEED}, r"GameStatePy() missing required argument 'value' (pos 1)"),
    (STATE.bot_moves_raw, (), {},
     r"GameStatePy.bot_moves_raw() missing required argument 'bot_type' (pos 1)"),
    (STATE.bot_moves_raw, ("random", 1), {},
     r"GameStatePy.bot_moves_raw() takes at most 1 argument (2 given)"),
    (STATE.generate_bot_episode, ("random",), {},
     r"GameStatePy.generate_bot_episode() missing required argument 'max_episode_len' (pos 2)"),
    (STATE.generate_bot_episode, (), {"bot_type": "random", "max_len": 1},
     r"GameStatePy.generate_bot_episode() missing required argument 'max_episode_len' (pos 2)"),
    (GameStatePy.state_from_bytes, (), {},
     r"GameStatePy.state_from_bytes() missing required argument 'bytes' (pos 1)"),
    (GameStatePy.state_from_bytes, ([], []), {},
     r"GameStatePy.state_from_bytes() takes at most 1 argument (2 given)"),
    (GameStatePy.load_replay_from_bytes, (), {"bytes": b""},
     r"GameStatePy.load_replay_from_bytes() missing required argument 'data' (pos 1)"),
    (STATE.to_bytes, (1,), {}, None),
    (STATE.get_valid_move_chains, (), {"x": 1}, None),
    (GameStatePy.get_all_move_chains, (1,), {}, None),
]


@pytest.mark.parametrize(("func", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    else:
        assert func.__name__ in str(info.value)


def test_binding_comes_before_conversion():
    # A convertible-looking mistake in `a` is not reported while `b` is missing.
    with pytest.raises(TypeError, match=r"missing required argument 'b'"):
        sum_as_string("x")


def test_keyword_arguments_bind_by_name():
    s = fresh()
    assert sum_as_string(b=2, a=1) == "3"
    assert generate_seed(seed=bytes(32), ts=4).ts == 4
    assert GameStatePy(value=SEED).to_bytes() == s.to_bytes()
    assert len(s.bot_moves_raw(bot_type="random")) >= 1
    assert len(s.generate_bot_episode(max_episode_len=2, bot_type="random")) == 2
    assert GameStatePy.state_from_bytes(bytes=s.to_bytes()).to_bytes() == s.to_bytes()
    replay = helpers.encode_stream([helpers.Init(), helpers.Update(idx=0, action=0),
                                    helpers.GameOver()])
    first, pairs = GameStatePy.load_replay_from_bytes(data=replay)
    assert first.to_bytes() == s.to_bytes() and [n for n, _ in pairs] == ["HardDrop"]


# --------------------------------------------------------------------------------------------
# Argument conversion
# --------------------------------------------------------------------------------------------


def prefixed(name, text):
    return f"argument '{name}': {text}"


NOT_INT = "'{}' object cannot be interpreted as an integer"

INTEGER_ERRORS = [
    # (call, exception, exact message or None)
    (lambda: sum_as_string("1", 2), TypeError, prefixed("a", NOT_INT.format("str"))),
    (lambda: sum_as_string(1.0, 2), TypeError, prefixed("a", NOT_INT.format("float"))),
    (lambda: sum_as_string(1, None), TypeError, prefixed("b", NOT_INT.format("NoneType"))),
    (lambda: sum_as_string("x", "y"), TypeError, prefixed("a", NOT_INT.format("str"))),
    (lambda: sum_as_string(-1, 0), OverflowError, None),
    (lambda: sum_as_string(0, 2**64), OverflowError, None),
    (lambda: sum_as_string(Index(-1), 0), OverflowError, None),
    (lambda: sum_as_string(RaisingIndex(ValueError("v")), 0), ValueError, "v"),
    (lambda: sum_as_string(RaisingIndex(TypeError("t")), 0), TypeError, prefixed("a", "t")),
    (lambda: sum_as_string(RaisingIndex(MyTypeError("m")), 0), MyTypeError, "m"),
    (lambda: sum_as_string(Index("1"), 0), TypeError, None),
    (lambda: generate_seed("0", bytes(32)), TypeError, prefixed("ts", NOT_INT.format("str"))),
    (lambda: generate_seed(0.5, bytes(32)), TypeError, prefixed("ts", NOT_INT.format("float"))),
    (lambda: generate_seed(2**63, bytes(32)), OverflowError, None),
    (lambda: generate_seed(-(2**63) - 1, bytes(32)), OverflowError, None),
    (lambda: generate_seed(RaisingIndex(ValueError("v")), bytes(32)), ValueError, "v"),
    (lambda: STATE.generate_bot_episode("random", -1), OverflowError, None),
    (lambda: STATE.generate_bot_episode("random", 2**64), OverflowError, None),
    (lambda: STATE.generate_bot_episode("random", 1.0), TypeError,
     prefixed("max_episode_len", NOT_INT.format("float"))),
    (lambda: STATE.generate_bot_episode("random", "3"), TypeError,
     prefixed("max_episode_len", NOT_INT.format("str"))),
    (lambda: STATE.generate_bot_episode("random", RaisingIndex(TypeError("t"))), TypeError,
     prefixed("max_episode_len", "t")),
]


@pytest.mark.parametrize(("call", "exc", "message"), INTEGER_ERRORS)
def test_integer_conversion_errors(call, exc, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def lying_seed():
    # Claims 32 items, has 5.
    return Seq(range(5), length=32)


SEED_ERRORS = [
    (7, TypeError, prefixed("seed", "'int' object cannot be converted to 'Sequence'")),
    (None, TypeError, prefixed("seed", "'NoneType' object cannot be converted to 'Sequence'")),
    ({i: i for i in range(32)}, TypeError,
     prefixed("seed", "'dict' object cannot be converted to 'Sequence'")),
    (set(range(32)), TypeError, prefixed("seed", "'set' object cannot be converted to 'Sequence'")),
    (iter(range(32)), TypeError,
     prefixed("seed", "'range_iterator' object cannot be converted to 'Sequence'")),
    ([0] * 31, ValueError, "expected a sequence of length 32 (got 31)"),
    (bytes(33), ValueError, "expected a sequence of length 32 (got 33)"),
    ([], ValueError, "expected a sequence of length 32 (got 0)"),
    ([256] + [0] * 31, OverflowError, OUT_OF_RANGE),
    ([0] * 31 + [-1], OverflowError, OUT_OF_RANGE),
    ([2**70] + [0] * 31, OverflowError, OUT_OF_RANGE),
    ([Index(300)] + [0] * 31, OverflowError, OUT_OF_RANGE),
    (["a"] + [0] * 31, TypeError, prefixed("seed", NOT_INT.format("str"))),
    ([0] * 5 + [1.5] + [0] * 26, TypeError, prefixed("seed", NOT_INT.format("float"))),
    ("x" * 32, TypeError, prefixed("seed", NOT_INT.format("str"))),
    ([RaisingIndex(ValueError("v"))] + [0] * 31, ValueError, "v"),
    ([RaisingIndex(TypeError("t"))] + [0] * 31, TypeError, prefixed("seed", "t")),
    (lying_seed(), IndexError, None),
    (Seq(range(32), length=ValueError("len")), ValueError, "len"),
    (Seq(range(32), length=TypeError("len")), TypeError, prefixed("seed", "len")),
]


@pytest.mark.parametrize(("seed", "exc", "message"), SEED_ERRORS)
def test_seed_conversion_errors(seed, exc, message):
    with pytest.raises(BaseException) as info:
        generate_seed(0, seed)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_seed_items_are_read_by_index_in_order():
    seen = []

    class Logged(Seq):
        def __getitem__(self, i):
            seen.append(i)
            return super().__getitem__(i)

        def __iter__(self):
            raise AssertionError("seed must be read by index")

    assert generate_seed(0, Logged(range(32))).seed == list(range(32))
    assert seen == list(range(32))


def test_conversion_runs_in_declaration_order():
    with pytest.raises(TypeError, match=r"^argument 'ts'"):
        generate_seed("x", 7)
    with pytest.raises(TypeError, match=r"^argument 'bot_type'"):
        STATE.generate_bot_episode(b"x", -1)
    # Arguments are converted before the bot is looked up.
    with pytest.raises(OverflowError):
        STATE.generate_bot_episode("nobot", -1)


@pytest.mark.parametrize(
    ("value", "type_name"),
    [(5, "int"), (None, "NoneType"), ("seed", "str"), (STATE, "GameStatePy")],
)
def test_constructor_refuses_non_seeds(value, type_name):
    with pytest.raises(TypeError) as info:
        GameStatePy(value)
    assert type(info.value) is TypeError
    assert str(info.value) == prefixed(
        "value", f"'{type_name}' object cannot be converted to 'GameSeedPy'")


@pytest.mark.parametrize(
    ("value", "type_name"),
    [(b"random", "bytes"), (None, "NoneType"), (5, "int"), (["random"], "list")],
)
@pytest.mark.parametrize("method", ["bot_moves_raw", "generate_bot_episode"])
def test_bot_type_must_be_a_str(method, value, type_name):
    args = (value,) if method == "bot_moves_raw" else (value, 1)
    with pytest.raises(TypeError) as info:
        getattr(STATE, method)(*args)
    assert type(info.value) is TypeError
    assert str(info.value) == prefixed(
        "bot_type", f"'{type_name}' object cannot be converted to 'PyString'")


@pytest.mark.parametrize("name", ["nobot", "Random", "random ", "", "random\0", "wordpréss"])
def test_unknown_bot_names(name):
    with pytest.raises(ValueError, match=r"^bot name not found\.$"):
        STATE.bot_moves_raw(name)
    with pytest.raises(ValueError, match=r"^bot name not found\.$"):
        STATE.generate_bot_episode(name, 5)


def test_bot_type_accepts_str_subclasses_and_index_lengths():
    assert len(STATE.bot_moves_raw(StrSub("random"))) >= 1
    assert len(STATE.generate_bot_episode(StrSub("wordpress"), Index(2))) == 2


BYTE_METHODS = [("state_from_bytes", "bytes"), ("load_replay_from_bytes", "data")]


def byte_call(method, value):
    return getattr(GameStatePy, method)(value)


def byte_errors(name):
    seq = f"'{{}}' object cannot be converted to 'Sequence'"
    return [
        ("abc", TypeError, prefixed(name, "Can't extract `str` to `Vec`")),
        ("", TypeError, prefixed(name, "Can't extract `str` to `Vec`")),
        (StrSub("x"), TypeError, prefixed(name, "Can't extract `str` to `Vec`")),
        (5, TypeError, prefixed(name, seq.format("int"))),
        (None, TypeError, prefixed(name, seq.format("NoneType"))),
        ({1: 2}, TypeError, prefixed(name, seq.format("dict"))),
        ({1, 2}, TypeError, prefixed(name, seq.format("set"))),
        (iter([1]), TypeError, prefixed(name, seq.format("list_iterator"))),
        ((x for x in [1]), TypeError, prefixed(name, seq.format("generator"))),
        ([256], OverflowError, OUT_OF_RANGE),
        ([-1], OverflowError, OUT_OF_RANGE),
        ((0, 2**80), OverflowError, OUT_OF_RANGE),
        ([Index(256)], OverflowError, OUT_OF_RANGE),
        (Seq([1, 2, 300]), OverflowError, OUT_OF_RANGE),
        (["a"], TypeError, prefixed(name, NOT_INT.format("str"))),
        ([b"\x00"], TypeError, prefixed(name, NOT_INT.format("bytes"))),
        ([0.0], TypeError, prefixed(name, NOT_INT.format("float"))),
        ([256, "a"], OverflowError, OUT_OF_RANGE),
        (["a", 256], TypeError, prefixed(name, NOT_INT.format("str"))),
        ([RaisingIndex(ValueError("v"))], ValueError, "v"),
        ([RaisingIndex(TypeError("t"))], TypeError, prefixed(name, "t")),
        ([RaisingIndex(MyTypeError("m"))], MyTypeError, "m"),
        (IterFails([1, 2], RuntimeError("r")), RuntimeError, "r"),
        (IterFails([1, 2], TypeError("t")), TypeError, prefixed(name, "t")),
        # Items are all checked before anything is decoded.
        (STATE.to_bytes() + [256], OverflowError, OUT_OF_RANGE),
        (STATE.to_bytes() + ["x"], TypeError, prefixed(name, NOT_INT.format("str"))),
    ]


@pytest.mark.parametrize(("method", "name"), BYTE_METHODS)
def test_byte_sequence_conversion_errors(method, name):
    for value, exc, message in byte_errors(name):
        with pytest.raises(BaseException) as info:
            byte_call(method, value)
        assert type(info.value) is exc, (value, info.value)
        assert str(info.value) == message, value


def state_outcome(value):
    try:
        return ("ok", GameStatePy.state_from_bytes(value).to_bytes())
    except (ValueError, TypeError, OverflowError) as e:
        return (type(e).__name__, str(e))


def byte_forms(items):
    return [
        list(items),
        tuple(items),
        bytes(items),
        bytearray(items),
        array.array("B", items),
        memoryview(bytes(items)),
        ListSub(items),
        Seq(items),
        Seq(items, length=0),
        Seq(items, length=10**12),
        Seq(items, length=TypeError("len")),
        [Index(b) for b in items],
        [bool(b) if b < 2 else b for b in items],
    ]


@pytest.mark.parametrize("cut", [0, 1, 100, 365, 413, 414, 500])
def test_every_byte_form_decodes_alike(cut):
    items = (STATE.to_bytes() + [7] * 86)[:cut]
    outcomes = {repr(state_outcome(v)) for v in byte_forms(items)}
    assert len(outcomes) == 1, outcomes


@given(st.lists(st.integers(0, 255), max_size=440), st.integers(0, 414))
def test_byte_forms_agree_on_arbitrary_input(noise, keep):
    items = STATE.to_bytes()[:keep] + noise
    outcomes = {repr(state_outcome(v)) for v in byte_forms(items)}
    assert len(outcomes) == 1, outcomes


def test_byte_sequence_length_is_only_a_hint():
    good = STATE.to_bytes()
    for value in (Seq(good, length=0), Seq(good, length=3), Seq(good, length=10**12),
                  Seq(good, length=ValueError("len")), Seq(good, length=-1)):
        assert GameStatePy.state_from_bytes(value).to_bytes() == good


def test_list_items_are_read_as_the_list_iterator_reads_them():
    good = STATE.to_bytes()

    class Truncating:
        """An item whose __index__ shortens the list being converted."""

        def __init__(self, target, keep):
            self.target, self.keep = target, keep

        def __index__(self):
            del self.target[self.keep:]
            return 0

    for make in (list, ListSub):
        items = make(good)
        items[0] = Truncating(items, 10)
        with pytest.raises(ValueError, match=r"^io error: unexpected end of file$"):
            GameStatePy.state_from_bytes(items)
        items = make(good)
        items[0] = Truncating(items, len(good))
        assert GameStatePy.state_from_bytes(items).score == 0
        # Past a run of plain ints too: the list ends where the item left it.
        items = make(good)
        items[200] = Truncating(items, 150)
        with pytest.raises(ValueError, match=r"^io error: unexpected end of file$"):
            GameStatePy.state_from_bytes(items)
        items = make(good) + [0] * 600
        items[700] = Truncating(items, len(good))
        assert GameStatePy.state_from_bytes(items).to_bytes() == good


def test_replay_input_accepts_the_same_forms():
    stream = helpers.encode_stream([helpers.Init(), helpers.Update(idx=0, action=0),
                                    helpers.Update(idx=1, action=2)])
    expected = None
    for value in (stream, bytearray(stream), list(stream), tuple(stream), Seq(list(stream))):
        first, pairs = GameStatePy.load_replay_from_bytes(value)
        got = (first.to_bytes(), [(n, s.to_bytes()) for n, s in pairs])
        expected = expected or got
        assert got == expected
    assert [n for n, _ in expected[1]] == ["HardDrop", "MoveLeft"]


# --------------------------------------------------------------------------------------------
# Errors the binding raises for engine failures
# --------------------------------------------------------------------------------------------


def test_preview_past_the_queue_is_a_value_error():
    s = helpers.make_state(None, next_pcs_idx=10)
    for name in ("next_pcs", "matrix_txt", "html"):
        with pytest.raises(ValueError, match=r"^next_pcs_idx out of range: 10$"):
            getattr(s, name)
    assert helpers.make_state(None, next_pcs_idx=9).next_pcs == list("TIJOL")


def test_episode_ends_when_an_iteration_plays_nothing():
    # No falling piece while running: every chain fails, the bots answer [SoftDrop], and
    # SoftDrop is refused, so asking again would never progress.
    s = helpers.make_state(None)
    assert not s.game_over
    for bot in ("wordpress", "random"):
        assert s.bot_moves_raw(bot) == ["SoftDrop"]
        assert s.generate_bot_episode(bot, 10) == []
        assert s.generate_bot_episode(bot, U64_MAX) == []


def test_decode_errors_keep_their_text():
    with pytest.raises(ValueError, match=r"^io error: unexpected end of file$"):
        GameStatePy.state_from_bytes([])
    with pytest.raises(ValueError, match=r"^bad data: io error: unexpected end of file$"):
        GameStatePy.load_replay_from_bytes(b"")


# --------------------------------------------------------------------------------------------
# Diagnostics: CORVELLE_VIM_LOG
# --------------------------------------------------------------------------------------------

CAPTURE = """
    import json, logging, sys
    records = []

    class Capture(logging.Handler):
        def emit(self, record):
            records.append([record.name, record.levelname, record.getMessage()])

    logger = logging.getLogger("game::tet")
    logger.addHandler(Capture())
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    import corvelle_vim, helpers
    from corvelle_vim import GameStatePy, generate_seed
"""

PLAY = CAPTURE + """
    s = GameStatePy(generate_seed(0, bytes(32)))
    s = dict(s.next_actions_and_states)["HardDrop"]
    # A replay whose recorded seeds differ from the replayed ones: a warning per slice.
    helpers.play_replay(bytes(32), 0, [("HardDrop", 0), ("MoveLeft", 0)])
    # A second Init segment: an error record, then the refusal.
    try:
        GameStatePy.load_replay_from_bytes(helpers.encode_stream(
            [helpers.Init(), helpers.Init(), helpers.Update()]))
    except ValueError as e:
        assert str(e) == "not enough gamestates in savefile.", e
    print(json.dumps(records))
"""


def records_of(proc):
    assert proc.returncode == 0, proc.stderr
    return [tuple(r) for r in json.loads(proc.stdout.strip().splitlines()[-1])]


def test_log_records_reach_python_logging_when_asked():
    records = records_of(run_python(PLAY, CORVELLE_VIM_LOG="1"))
    assert records
    assert {name for name, _, _ in records} == {"game::tet"}
    levels = {level for _, level, _ in records}
    assert {"INFO", "WARNING", "ERROR"} <= levels
    assert ("game::tet", "ERROR", "got two init segments") in records


@pytest.mark.parametrize("value", [None, "", "0"])
def test_no_log_records_unless_asked(value):
    env = {} if value is None else {"CORVELLE_VIM_LOG": value}
    assert records_of(run_python(PLAY, **env)) == []


def test_a_failing_logging_call_changes_no_result():
    code = CAPTURE + """
    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)

    def broken(record):
        raise ZeroDivisionError("filter")

    logger.addFilter(broken)
    s = GameStatePy(generate_seed(0, bytes(32)))
    out = [(n, t.to_bytes()) for n, t in s.next_actions_and_states]
    episode = [n for n, _ in s.generate_bot_episode("random", 3)]
    print(json.dumps([out, len(episode), sorted(set(unraisable)), records]))
    """
    proc = run_python(code, CORVELLE_VIM_LOG="yes")
    assert proc.returncode == 0, proc.stderr
    out, episode_len, unraisable, records = json.loads(proc.stdout.strip().splitlines()[-1])
    expected = [[n, t.to_bytes()] for n, t in fresh().next_actions_and_states]
    assert out == expected
    assert episode_len == 3
    assert unraisable == ["ZeroDivisionError"]
    assert records == []


def test_a_replay_warns_once_for_each_slice_whose_record_differs():
    # A recorded game, then the same stream with one slice's applied-garbage count changed
    # and a later slice's seed: playback warns about exactly those two slices,
    # and every state is the one the unchanged stream gives.
    code = CAPTURE + """
    import dataclasses
    s = GameStatePy(generate_seed(7, bytes(range(32))))
    rec = helpers.Recorder(s)
    for _, t in s.generate_bot_episode("random", 120):
        rec.add(t)
    segs = helpers.decode_stream(rec.stream())
    before = len(records)
    clean = GameStatePy.load_replay_from_bytes(helpers.encode_stream(segs))
    quiet = [m for _, level, m in records[before:] if level == "WARNING"]
    before = len(records)
    segs[20] = dataclasses.replace(segs[20], garbage_applied=segs[20].garbage_applied + 1)
    seed = bytearray(segs[60].new_seed)
    seed[5] ^= 1
    segs[60] = dataclasses.replace(segs[60], new_seed=bytes(seed))
    changed = GameStatePy.load_replay_from_bytes(helpers.encode_stream(segs))
    same = [a.to_bytes() for _, a in clean[1]] == [b.to_bytes() for _, b in changed[1]]
    warned = [m for _, level, m in records[before:] if level == "WARNING"]
    print(json.dumps([len(segs), quiet, same, warned]))
    """
    proc = run_python(code, CORVELLE_VIM_LOG="1")
    n, quiet, same, warned = records_of_json(proc)
    assert n > 100
    assert quiet == []
    assert same
    assert len(warned) == 2, warned
    assert "idx: 19," in warned[0] and "idx: 59," in warned[1], warned


def records_of_json(proc):
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])

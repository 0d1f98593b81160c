"""Two-player matches: the Match API and its refusals, garbage reaching the opponent's replay,
match files and their checks, the versus environments, the CLI and the two-board viewer."""

from __future__ import annotations

import json
import os
import struct
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvelle_vim
from corvelle_vim import GameStatePy

from corvelle import cli, viewer
from corvelle.versus import (
    MATCH_MAGIC,
    Match,
    load_match,
    match_seeds,
    play_bot_match,
    wilson_interval,
)

SEEDS = match_seeds(bytes(32), 0)


@pytest.fixture(scope="module")
def guideline_match() -> Match:
    """A decided bot match in which garbage was exchanged."""
    for i in range(20):
        m = play_bot_match("wordpress", "random", *match_seeds(bytes(32), i), attack="guideline")
        if m.metrics()["players"][1]["lines_received"] > 0:
            return m
    pytest.fail("no match of twenty sent garbage")


def board_and_counters(m: Match, p: int) -> bytes:
    return m.state_bytes(p)


class TestMatchApi:
    def test_a_step_plays_both_turns_and_records_them(self) -> None:
        m = Match(*SEEDS)
        m.step("MoveLeft", ["RotateRight", "HardDrop"])
        m.step(3, "Nothing")
        assert m.winner is None and m.steps == 2
        _, a_steps = GameStatePy.load_replay_from_bytes(m.replay_bytes(0))
        _, b_steps = GameStatePy.load_replay_from_bytes(m.replay_bytes(1))
        assert [a for a, _ in a_steps] == ["MoveLeft", "MoveRight"]
        assert [a for a, _ in b_steps] == ["RotateRight", "HardDrop", "Nothing"]
        assert m.metrics()["players"][1]["pieces"] == 1

    def test_a_refused_action_names_the_player_and_changes_nothing(self) -> None:
        m = Match(*SEEDS)
        m.step("HardDrop", "HardDrop")
        before = [m.state_bytes(p) + m.replay_bytes(p) for p in (0, 1)]
        with pytest.raises(ValueError, match=r"player 1: MoveLeft \(action \d of the turn\) refused: given position out"):
            m.step("HardDrop", ["MoveLeft"] * 6)
        with pytest.raises(ValueError, match="player 0: unknown action 'Jump'"):
            m.step("Jump", "HardDrop")
        with pytest.raises(TypeError, match="player 1"):
            m.step("HardDrop", 1.5)
        with pytest.raises(ValueError, match="player 0: a turn has 1 to 7217 actions"):
            m.step([], "HardDrop")
        assert [m.state_bytes(p) + m.replay_bytes(p) for p in (0, 1)] == before
        assert m.steps == 1

    def test_a_step_after_the_end_is_refused(self) -> None:
        m = Match(*SEEDS, max_steps=2)
        m.step("Nothing", "Nothing")
        m.step("Nothing", "Nothing")
        assert m.winner == "draw"
        with pytest.raises(RuntimeError, match="the match is over"):
            m.step("Nothing", "Nothing")
        with pytest.raises(RuntimeError, match="the match is over"):
            m.step_chains(0, 0)

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"attack": "tetrio"}, "attack must be"),
            ({"delay": 61}, "delay must be in 0..60"),
            ({"step_us": 0}, "step_us must be at least 1"),
        ],
    )
    def test_bad_settings(self, kwargs, message) -> None:
        with pytest.raises(ValueError, match=message):
            Match(*SEEDS, **kwargs)

    def test_seeds_take_three_forms(self) -> None:
        seed = corvelle_vim.generate_seed(0, SEEDS[0])
        a = Match(seed, SEEDS[1] + bytes(8))
        b = Match(SEEDS[0], SEEDS[1])
        assert a.state_bytes(0) == b.state_bytes(0) and a.state_bytes(1) == b.state_bytes(1)
        with pytest.raises(ValueError, match="seed_b must be 32 seed bytes"):
            Match(SEEDS[0], b"short")


class TestGarbage:
    def test_bot_matches_repeat(self) -> None:
        one = play_bot_match("wordpress", "random", *SEEDS, attack="guideline", delay=2)
        two = play_bot_match("wordpress", "random", *SEEDS, attack="guideline", delay=2)
        assert one.to_bytes() == two.to_bytes()

    def test_received_garbage_is_in_the_receivers_own_replay(self, guideline_match) -> None:
        m = guideline_match
        for p in (0, 1):
            received = m.metrics()["players"][p]["lines_received"]
            initial, steps = GameStatePy.load_replay_from_bytes(m.replay_bytes(p))
            assert bytes(steps[-1][1].to_bytes()) == m.state_bytes(p)
            assert max(s.garbage_recv for _, s in steps) == received
        assert m.metrics()["players"][1]["lines_received"] > 0

    def test_metrics_add_up(self, guideline_match) -> None:
        metrics = guideline_match.metrics()
        a, b = metrics["players"]
        for me, other in ((a, b), (b, a)):
            assert me["attack"] == me["lines_sent"] + me["lines_cancelled"]
            # Sent lines are delivered, cancelled by the receiver, or still queued.
            assert me["lines_sent"] >= other["lines_received"] + other["lines_cancelled"]
            assert me["app"] == pytest.approx(me["attack"] / me["pieces"])
        assert metrics["winner"] in (0, 1)


def header_and_streams(data: bytes):
    (n,) = struct.unpack_from("<I", data, 8)
    header = json.loads(data[12 : 12 + n])
    pos = 12 + n
    streams = []
    for _ in range(2):
        (k,) = struct.unpack_from("<Q", data, pos)
        streams.append(data[pos + 8 : pos + 8 + k])
        pos += 8 + k
    return header, streams


def match_file(header, streams) -> bytes:
    h = json.dumps(header).encode()
    out = MATCH_MAGIC + struct.pack("<I", len(h)) + h
    for s in streams:
        out += struct.pack("<Q", len(s)) + s
    return out


class TestMatchFiles:
    def test_a_match_file_plays_back_to_both_states(self, guideline_match) -> None:
        played = load_match(guideline_match.to_bytes())
        for p in (0, 1):
            assert played.match.state_bytes(p) == guideline_match.state_bytes(p)
        assert played.settings["winner"] == guideline_match.winner
        assert len(played.frames) == guideline_match.steps + 1

    @pytest.mark.parametrize(
        "change, message",
        [
            (lambda h, s: (dict(h, winner=1 - h["winner"]), s), "the header says"),
            (lambda h, s: (dict(h, attack="engine"), s), ""),
            (lambda h, s: (dict(h, delay=h["delay"] + 3), s), ""),
            (lambda h, s: (dict(h, steps=h["steps"] + 1), s), "steps"),
            (lambda h, s: (dict(h, step_us=h["step_us"] * 2), s), "not on step"),
            (lambda h, s: (h, [s[1], s[0]]), ""),
            (lambda h, s: (h, [s[0], s[1][:-30]]), "player 1's stream"),
            (lambda h, s: ({"attack": "engine"}, s), "exactly"),
        ],
    )
    def test_streams_that_disagree_with_the_settings_are_refused(
        self, guideline_match, change, message
    ) -> None:
        header, streams = header_and_streams(guideline_match.to_bytes())
        bad = match_file(*change(header, streams))
        with pytest.raises(ValueError, match="match file: .*" + message):
            load_match(bad)

    def test_a_changed_action_is_refused(self, guideline_match) -> None:
        header, streams = header_and_streams(guideline_match.to_bytes())
        data = bytearray(streams[0])
        # The action of the first Update: after the count, the Init and the Update's index
        # and its fields up to the action.
        at = 8 + 44 + 4 + 46
        data[at] = 7 if data[at] != 7 else 0
        with pytest.raises(ValueError, match="match file: "):
            load_match(match_file(header, [bytes(data), streams[1]]))

    def test_not_a_match_file(self) -> None:
        with pytest.raises(ValueError, match="match file mark"):
            load_match(b"not a match")
        with pytest.raises(ValueError, match="ends inside"):
            load_match(MATCH_MAGIC + b"\x05")


def test_wilson_interval() -> None:
    low, high = wilson_interval(10, 10)
    assert high == 1.0 and 0.69 < low < 0.73
    assert wilson_interval(0, 0) == (0.0, 1.0)
    low, high = wilson_interval(5, 10)
    assert low == pytest.approx(1 - high)


class TestCli:
    def test_versus_counts_and_replays(self, tmp_path: Path, capsys) -> None:
        rc = cli.main(
            ["versus", "--a", "wordpress", "--b", "random", "--matches", "3", "--attack",
             "guideline", "--seed", "00" * 32, "--replay", str(tmp_path / "m"), "--no-progress"]
        )
        out = capsys.readouterr().out
        assert rc == 0
        counts = {line.split()[0] + line.split()[1]: line.split()[2] for line in out.splitlines()
                  if line.startswith(("a wins", "b wins"))}
        assert int(counts["awins"]) + int(counts["bwins"]) <= 3
        assert "95 % interval" in out and "app" in out
        files = sorted(os.listdir(tmp_path / "m"))
        assert files == ["match_00000.cvm", "match_00001.cvm", "match_00002.cvm"]
        rc = cli.main(["replay", str(tmp_path / "m" / files[1])])
        assert rc == 0
        assert "both streams replay bit for bit" in capsys.readouterr().out

    def test_a_tampered_match_file_exits_2(self, tmp_path: Path, guideline_match, capsys) -> None:
        header, streams = header_and_streams(guideline_match.to_bytes())
        path = tmp_path / "bad.cvm"
        path.write_bytes(match_file(dict(header, winner="draw"), streams))
        assert cli.main(["replay", str(path)]) == 2
        assert "match file:" in capsys.readouterr().err


class TestViewer:
    def test_match_page_embeds_every_step(self, guideline_match) -> None:
        played = load_match(guideline_match.to_bytes())
        page = viewer.render_match(played.frames, "a <match>")
        assert "a &lt;match&gt;" in page and "<script src" not in page
        data = json.loads(page.split('id="frames">')[1].split("</script>")[0])
        assert len(data["frames"]) == guideline_match.steps + 1
        last = data["frames"][-1]
        assert last[3] + last[7] >= 1  # someone topped out
        assert last[8:] == [played.frames[-1].incoming[0], played.frames[-1].incoming[1]]

    def test_match_page_in_chromium(self, tmp_path: Path, guideline_match) -> None:
        sync_api = pytest.importorskip("playwright.sync_api")
        if not os.access("/usr/bin/chromium", os.X_OK):
            pytest.skip("/usr/bin/chromium is missing")
        played = load_match(guideline_match.to_bytes())
        path = tmp_path / "match.html"
        viewer.write_match(path, played.frames)
        errors = []
        with sync_api.sync_playwright() as p:
            browser = p.chromium.launch(executable_path="/usr/bin/chromium", headless=True)
            page = browser.new_page()
            page.on("pageerror", lambda e: errors.append(str(e)))
            page.goto(path.as_uri())
            last = len(played.frames) - 1
            page.eval_on_selector(
                "#slider",
                "(el, k) => { el.value = String(k); el.dispatchEvent(new Event('input')); }",
                last,
            )
            assert page.inner_text("#step") == str(last)
            for q in (0, 1):
                assert page.inner_text(f"#incoming{q}") == str(played.frames[-1].incoming[q])
            page.keyboard.press("ArrowLeft")
            assert page.inner_text("#step") == str(last - 1)
            browser.close()
        assert errors == []


# ---- Random chain play ----------------------------------------------------------------------


@settings(max_examples=25, deadline=None)
@given(
    st.sampled_from(["engine", "guideline"]),
    st.integers(0, 3),
    st.lists(st.tuples(st.integers(0, 95), st.integers(0, 95)), min_size=2, max_size=60),
)
def test_any_chain_play_replays_from_its_match_file(attack, delay, chains) -> None:
    """Whatever chains are played (a refused one skipped), the match file plays back to the
    same states and each stream alone plays back to its player's state."""
    m = Match(*SEEDS, attack=attack, delay=delay)
    for a, b in chains:
        if m.winner is not None:
            break
        if not (m.placement_mask(0)[a] and m.placement_mask(1)[b]):
            before = m.to_bytes()
            with pytest.raises(ValueError, match="player [01]: "):
                m.step_chains(a, b)
            assert m.to_bytes() == before
            continue
        m.step_chains(a, b)
    if m.steps < 2:
        return
    played = load_match(m.to_bytes())
    for p in (0, 1):
        assert played.match.state_bytes(p) == m.state_bytes(p)

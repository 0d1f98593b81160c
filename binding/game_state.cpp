// GameStatePy: one game state held by value, its read-only attributes, the text report, and
// the methods that play, ask the bots, and move states in and out of the byte form.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "bot/bot.hpp"
#include "bot/random_choice_bot.hpp"
#include "convert.h"
#include "module.h"
#include "pyref.h"
#include "rot.hpp"
#include "slab.h"
#include "tet/codec.hpp"
#include "tet/movegen.hpp"
#include "tet/replay.hpp"

namespace binding {

using game::bot::MoveChain;
using game::tet::CurrentPcsInfo;
using game::tet::GameSeed;
using game::tet::GameState;
using game::tet::HoldPcsInfo;
using game::tet::Tet;
using game::tet::TetAction;

namespace {

// Actions applied from Python carry time 0.
constexpr std::int64_t ACTION_TIME = 0;

struct GameStateObject {
    PyObject_HEAD
    GameState state;
};
static_assert(std::is_trivially_destructible_v<GameState>);
static_assert(std::is_trivially_copyable_v<GameState>);
static_assert(sizeof(GameStateObject) <= slab::SLOT_BYTES && alignof(GameStateObject) <= 16);

// ---- Entry-point helpers -----------------------------------------------------------------

// Runs a getter or method body on the state held by `self`.
template <class Body>
PyObject* with_state(PyObject* self, Body&& body) {
    const GameState* s = nullptr;
    if (!convert_game_state(self, &s)) return nullptr;
    const ModuleState* st = state_of_type(Py_TYPE(self));
    return guarded<PyObject*>(st, [&] { return body(*st, *s); });
}

// Runs a static method body. Static methods receive neither their class nor the module, so
// the module is found as the single-phase module of this interpreter.
template <class Body>
PyObject* with_module(Body&& body) {
    const ModuleState* st = find_module_state();
    if (!st) {
        PyErr_SetString(PyExc_SystemError, "corvelle_vim is not initialised in this interpreter");
        return nullptr;
    }
    return guarded<PyObject*>(st, [&] { return body(*st); });
}

// ---- Engine helpers ----------------------------------------------------------------------

// The named bot's move for `s`; false with ValueError set when the name is unknown
// (the registry's message) or the bot fails ("bad bot move: {}").
bool bot_move(std::string_view name, const GameState& s, MoveChain& out) {
    auto bot = game::bot::get_bot(name);
    if (bot.failed()) {
        raise_engine_error(bot.error);
        return false;
    }
    auto move = bot.value->choose_move(s);
    if (move.failed()) {
        raise_value_error("bad bot move: " + move.error.message());
        return false;
    }
    out = std::move(move.value);
    return true;
}

int height_of(const GameState& s) {
    return game::tet::get_height(s.board_without_falling_piece()) + 1;
}

// ---- Text forms --------------------------------------------------------------------------

void append_int(std::string& out, long v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_quoted(std::string& out, std::string_view s) {
    out += '"';
    out += s;
    out += '"';
}

void append_bool(std::string& out, bool b) { out += b ? "true" : "false"; }

// The kind's letter: "I", "L", "J", "T", "S", "Z" or "O".
std::string_view letter_text(Tet t) {
    static constexpr char LETTERS[] = "ILJTSZO";
    return {&LETTERS[game::tet::index(t)], 1};
}

// ("T", 1, (20, 4)), or ("", -666, (-127, -127)) without a falling piece.
void append_pcs_triple(std::string& out, const std::optional<CurrentPcsInfo>& p) {
    out += '(';
    append_quoted(out, p ? letter_text(p->tet) : "");
    out += ", ";
    append_int(out, p ? game::rot::index(p->rs) : -666);
    out += ", (";
    append_int(out, p ? p->pos.y : -127);
    out += ", ";
    append_int(out, p ? p->pos.x : -127);
    out += "))";
}

// Some(CurrentPcsInfo { pos: (20, 4), tet: T, rs: R1, id: 7 }), or None.
std::string debug_text(const std::optional<CurrentPcsInfo>& p) {
    if (!p) return "None";
    std::string out = "Some(CurrentPcsInfo { pos: (";
    append_int(out, p->pos.y);
    out += ", ";
    append_int(out, p->pos.x);
    out += "), tet: ";
    out += game::tet::letter(p->tet);
    out += ", rs: ";
    out += game::rot::name(p->rs);
    out += ", id: ";
    append_int(out, p->id);
    out += " })";
    return out;
}

// ["HardDrop", "MoveLeft"]
void append_action_list(std::string& out, const MoveChain& chain) {
    out += '[';
    for (std::size_t i = 0; i < chain.size(); ++i) {
        if (i) out += ", ";
        append_quoted(out, game::tet::name(chain[i]));
    }
    out += ']';
}

// The board's lower 20 rows drawn beside 18 facts about the state: 22 lines between a
// leading and a trailing newline. False with a Python exception set when a fact fails.
bool matrix_text(const GameState& s, std::string& out) {
    static constexpr const char* BORDER = "-------------";
    static constexpr int SHOWN_ROWS = 20;
    static constexpr int FACTS = 18;

    // Step 1. The facts read straight from the state.
    const auto next = s.get_next_pcs();
    if (next.failed()) {
        raise_engine_error(next.error);
        return false;
    }

    out = "\n";
    out += BORDER;
    for (int i = 0; i < SHOWN_ROWS; ++i) {
        // Step 2. The row's cells.
        const int y = SHOWN_ROWS - 1 - i;
        out += "\n | ";
        for (int x = 0; x < game::tet::BoardMatrix::COLS; ++x)
            out += s.main_board.solid(y, x) ? 'x' : ' ';
        out += " | ";

        // Step 3. The fact of this line, in line order (the bots run here).
        const int k = i - 1;
        if (k < 0 || k >= FACTS) continue;
        switch (k) {
            case 0:
                out += "current_pcs = ";
                append_pcs_triple(out, s.current_pcs);
                break;
            case 1:
                out += "game_over            = ";
                append_bool(out, s.is_over());
                break;
            case 2:
                out += "hold                 = ";
                if (s.hold_pcs) {
                    out += "Some(";
                    append_quoted(out, letter_text(s.hold_pcs->tet));
                    out += ')';
                } else {
                    out += "None";
                }
                break;
            case 3:
                out += "next_pcs             = [";
                for (std::size_t j = 0; j < next.value.size(); ++j) {
                    if (j) out += ", ";
                    append_quoted(out, letter_text(next.value[j]));
                }
                out += ']';
                break;
            case 4:
                out += "total_lines          = ";
                append_int(out, s.total_lines);
                break;
            case 5:
                out += "is_t_spin            = ";
                append_bool(out, s.is_t_spin);
                break;
            case 6:
                out += "is_t_mini_spin       = ";
                append_bool(out, s.is_t_mini_spin);
                break;
            case 7:
                out += "is_b2b               = ";
                append_bool(out, s.is_b2b);
                break;
            case 8:
                out += "combo_counter        = ";
                append_int(out, s.combo_counter);
                break;
            case 9:
                out += "total_garbage_sent  = ";
                append_int(out, s.total_garbage_sent);
                break;
            case 10:
                out += "garbage_recv        = ";
                append_int(out, s.garbage_recv);
                break;
            case 11:
                out += "total_move_count    = ";
                append_int(out, s.total_moves);
                break;
            case 12:
                out += "bumpi               = ";
                append_int(out, game::tet::board_bumpi(s.board_without_falling_piece()));
                break;
            case 13:
                out += "holes               = ";
                append_int(out, game::tet::board_holes(s.board_without_falling_piece()));
                break;
            case 14:
                out += "height               = ";
                append_int(out, height_of(s));
                break;
            case 15:
            case 16: {
                const char* bot = k == 15 ? "wordpress" : "random";
                MoveChain chain;
                if (!bot_move(bot, s, chain)) return false;
                out += "bot_moves_raw('";
                out += bot;
                out += "') = ";
                append_action_list(out, chain);
                break;
            }
            case 17: {
                const auto& chains = game::bot::random_choice_bot::all_move_chains();
                long valid = 0;
                for (const bool v : game::tet::valid_chains(s)) valid += v;
                out += "get_valid_move_chains().len() = ";
                append_int(out, static_cast<long>(valid));
                out += " / ";
                append_int(out, static_cast<long>(chains.size()));
                break;
            }
        }
    }
    out += '\n';
    out += BORDER;
    out += '\n';
    return true;
}

// ---- Lifetime ----------------------------------------------------------------------------

// GameStatePy(value): a new game from a GameSeedPy's seed bytes and start time.
PyObject* game_state_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(state_of_type(tp), [&]() -> PyObject* {
        GameSeed seed;
        if (!bind_args("GameStatePy", {{"value", convert_game_seed, &seed}}, args, kwargs))
            return nullptr;
        return new_game_state_object(tp, GameState::new_game(seed.seed, seed.ts));
    });
}

// Frees the object and drops the reference every heap-type instance holds to its type.
void game_state_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    slab::release(self);
    Py_DECREF(tp);
}

// The generic allocation protocol, for anything that asks the type for a blank instance; the
// module itself goes through new_game_state_object.
PyObject* game_state_alloc(PyTypeObject* tp, Py_ssize_t) {
    void* p = slab::allocate();
    if (!p) return PyErr_NoMemory();
    std::memset(p, 0, sizeof(GameStateObject));
    return PyObject_Init(static_cast<PyObject*>(p), tp);
}

void game_state_free(void* p) { slab::release(p); }

// ---- Getters -----------------------------------------------------------------------------

using St = const ModuleState&;
using Gs = const GameState&;

PyObject* get_main_board(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return board_to_py(s.main_board); });
}

PyObject* get_next_pcs(PyObject* self, void*) {
    return with_state(self, [](St st, Gs s) -> PyObject* {
        const auto next = s.get_next_pcs();
        return next.ok() ? kinds_to_py(st, next.value) : raise_engine_error(next.error);
    });
}

PyObject* get_total_lines(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return int_to_py(s.total_lines); });
}

PyObject* get_is_t_spin(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return bool_to_py(s.is_t_spin); });
}

PyObject* get_is_t_mini_spin(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return bool_to_py(s.is_t_mini_spin); });
}

PyObject* get_is_b2b(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return bool_to_py(s.is_b2b); });
}

PyObject* get_combo_counter(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return int_to_py(s.combo_counter); });
}

PyObject* get_total_garbage_sent(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return int_to_py(s.total_garbage_sent); });
}

PyObject* get_garbage_recv(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return int_to_py(s.garbage_recv); });
}

PyObject* get_bumpi(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) {
        return int_to_py(game::tet::board_bumpi(s.board_without_falling_piece()));
    });
}

PyObject* get_holes(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) {
        return int_to_py(game::tet::board_holes(s.board_without_falling_piece()));
    });
}

PyObject* get_height(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return int_to_py(height_of(s)); });
}

PyObject* get_matrix_txt(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) -> PyObject* {
        std::string text;
        return matrix_text(s, text) ? str_to_py(text) : nullptr;
    });
}

PyObject* get_html(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) -> PyObject* {
        std::string text;
        if (!matrix_text(s, text)) return nullptr;
        return str_to_py("<code><pre>" + text + "</pre></code>");
    });
}

PyObject* get_total_move_count(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return int_to_py(s.total_moves); });
}

PyObject* get_hold(PyObject* self, void*) {
    return with_state(self, [](St st, Gs s) { return hold_to_py(st, s.hold_pcs); });
}

PyObject* get_game_over(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return bool_to_py(s.is_over()); });
}

PyObject* get_score(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return int_to_py(s.score); });
}

PyObject* get_debug_current_pcs_info(PyObject* self, void*) {
    return with_state(self, [](St, Gs s) { return str_to_py(debug_text(s.current_pcs)); });
}

PyObject* get_current_pcs(PyObject* self, void*) {
    return with_state(self, [](St st, Gs s) { return current_pcs_to_py(st, s.current_pcs); });
}

// (action name, state) for every single action the engine accepts, in action order.
PyObject* get_next_actions_and_states(PyObject* self, void*) {
    return with_state(self, [](St st, Gs s) -> PyObject* {
        // Each action is tried in the payload of its own new object, the accepted ones' seeds
        // computed side by side; refused ones are dropped.
        const auto& actions = game::tet::all_actions();
        constexpr std::size_t N = std::tuple_size_v<std::decay_t<decltype(actions)>>;
        PyRef objects[N];
        GameState* out[N];
        game::Error errors[N];
        for (std::size_t i = 0; i < N; ++i) {
            objects[i] = PyRef::steal(new_unbuilt_game_state_object(st.game_state_type));
            if (!objects[i]) return nullptr;
            out[i] = ::new (&game_state_payload_mut(objects[i].get())) GameState;
        }
        s.try_actions(actions, ACTION_TIME, out, errors);
        std::size_t n = 0;
        for (std::size_t i = 0; i < N; ++i) {
            if (errors[i].ok()) ++n;
            else objects[i] = PyRef();
        }

        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return nullptr;
        Py_ssize_t j = 0;
        for (std::size_t i = 0; i < N; ++i) {
            if (!objects[i]) continue;
            PyObject* pair = action_object_pair(st, actions[i], objects[i].release());
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), j++, pair);
        }
        return list.release();
    });
}

PyGetSetDef game_state_getset[] = {
#define CORVELLE_GETTER(attr, fn, text) \
    {.name = attr, .get = fn, .set = nullptr, .doc = text, .closure = nullptr}
    CORVELLE_GETTER("main_board", get_main_board,
                    "Board rows 19 down to 0 as 20 lists of 10 bools, True for a solid cell (the\n"
                    "falling piece shows)."),
    CORVELLE_GETTER("next_pcs", get_next_pcs,
                    "The next five piece kinds, as letters ('I', 'L', 'J', 'T', 'S', 'Z', 'O')."),
    CORVELLE_GETTER("total_lines", get_total_lines,
                    "Lines cleared since the game began."),
    CORVELLE_GETTER("is_t_spin", get_is_t_spin,
                    "Whether the last lock was a T-spin."),
    CORVELLE_GETTER("is_t_mini_spin", get_is_t_mini_spin,
                    "Whether the last lock was a mini T-spin."),
    CORVELLE_GETTER("is_b2b", get_is_b2b,
                    "Whether the back-to-back bonus is active."),
    CORVELLE_GETTER("combo_counter", get_combo_counter,
                    "The combo counter: -1 after a lock that cleared nothing, then 0, 1, ... for each\n"
                    "clearing lock in a row."),
    CORVELLE_GETTER("total_garbage_sent", get_total_garbage_sent,
                    "Garbage rows sent since the game began."),
    CORVELLE_GETTER("garbage_recv", get_garbage_recv,
                    "Garbage rows received since the game began (counted up to 65535, then wrapping)."),
    CORVELLE_GETTER("bumpi", get_bumpi,
                    "Bumpiness of the board without the falling piece: the largest height difference\n"
                    "between neighbouring columns."),
    CORVELLE_GETTER("holes", get_holes,
                    "Holes in the board without the falling piece: the free cells below each column's\n"
                    "height, summed over the columns."),
    CORVELLE_GETTER("height", get_height,
                    "Height of the board without the falling piece: one more than the row index of\n"
                    "its highest solid cell (1 for an empty board too)."),
    CORVELLE_GETTER("matrix_txt", get_matrix_txt,
                    "A text report: the lower 20 board rows beside facts about the state (runs both\n"
                    "bots)."),
    CORVELLE_GETTER("html", get_html,
                    "matrix_txt inside <code><pre>."),
    CORVELLE_GETTER("total_move_count", get_total_move_count,
                    "Actions applied since the game began."),
    CORVELLE_GETTER("hold", get_hold,
                    "The held piece's kind, or None."),
    CORVELLE_GETTER("game_over", get_game_over,
                    "Whether the game is over."),
    CORVELLE_GETTER("score", get_score,
                    "The score."),
    CORVELLE_GETTER("debug_current_pcs_info", get_debug_current_pcs_info,
                    "The falling piece as a debug text (position, kind, rotation, id), or 'None'."),
    CORVELLE_GETTER("current_pcs_rotation", get_current_pcs,
                    "Same as current_pcs."),
    CORVELLE_GETTER("current_pcs", get_current_pcs,
                    "The falling piece as (kind, rotation 0..3, (row, column)), or ('', -666, (-127,\n"
                    "-127)) without one."),
    CORVELLE_GETTER("next_actions_and_states", get_next_actions_and_states,
                    "[(action name, state after it)] for every single action the engine accepts now,\n"
                    "in action order."),
    {.name = nullptr, .get = nullptr, .set = nullptr, .doc = nullptr, .closure = nullptr},
#undef CORVELLE_GETTER
};

// ---- Methods -----------------------------------------------------------------------------

// bot_moves_raw(bot_type): the actions the named bot would play now, not applied.
PyObject* bot_moves_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return with_state(self, [&](St st, Gs s) -> PyObject* {
        std::string_view name;
        if (!bind_args("GameStatePy.bot_moves_raw", {{"bot_type", convert_str, &name}}, args,
                       nargs, kwnames))
            return nullptr;
        MoveChain chain;
        if (!bot_move(name, s, chain)) return nullptr;
        return actions_to_py(st, chain);
    });
}

// generate_bot_episode(bot_type, max_episode_len): the named bot plays from this state;
// every action it plays is recorded as (name, state after it), at most max_episode_len.
PyObject* generate_bot_episode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return with_state(self, [&](St st, Gs s) -> PyObject* {
        std::string_view name;
        std::uint64_t max_len = 0;
        if (!bind_args("GameStatePy.generate_bot_episode",
                       {{"bot_type", convert_str, &name},
                        {"max_episode_len", convert_u64, &max_len}},
                       args, nargs, kwnames))
            return nullptr;

        // Step 1. The bot, and an empty episode for a zero length or a finished game.
        auto bot = game::bot::get_bot(name);
        if (bot.failed()) return raise_engine_error(bot.error);
        PyRef episode = PyRef::steal(PyList_New(0));
        if (!episode) return nullptr;
        GameState work = s;
        if (max_len == 0 || work.is_over()) return episode.release();

        // Step 2. Ask, apply the chain up to its first refused action or the limit, repeat.
        // A failing bot, an empty chain or a chain whose first action is refused ends the
        // episode (asking again from the same state would get the same answer forever).
        std::uint64_t steps = 0;
        for (;;) {
            if (PyErr_CheckSignals() < 0) return nullptr;
            auto move = bot.value->choose_move(work);
            if (move.failed() || move.value.empty()) break;
            std::uint64_t applied = 0;
            for (TetAction a : move.value) {
                if (work.apply_action_if_works(a, ACTION_TIME).failed()) break;
                ++applied;
                PyRef pair = PyRef::steal(action_state_pair(st, a, work));
                if (!pair || PyList_Append(episode.get(), pair.get()) < 0) return nullptr;
                if (steps + applied == max_len) break;
            }
            steps += applied;
            if (applied == 0 || steps >= max_len || work.is_over()) break;
        }
        return episode.release();
    });
}

// get_all_move_chains(): a fresh copy of the 96 move chains as lists of action names.
PyObject* get_all_move_chains(PyObject*, PyObject*) {
    return with_module([](St st) -> PyObject* {
        constexpr int n = game::bot::random_choice_bot::CHAIN_NB;
        PyRef list = PyRef::steal(PyList_New(n));
        if (!list) return nullptr;
        for (int c = 0; c < n; ++c) {
            PyObject* names = chain_names_to_py(st, c);
            if (!names) return nullptr;
            PyList_SET_ITEM(list.get(), c, names);
        }
        return list.release();
    });
}

// get_valid_move_chains(): (chain, final state) for every chain all of whose actions are
// accepted, in chain-list order.
PyObject* get_valid_move_chains(PyObject* self, PyObject*) {
    return with_state(self, [](St st, Gs s) -> PyObject* {
        // Each distinct chain's final state is built in a new object, which the first chain
        // ending there takes (identical chains after it get copies); the objects of refused
        // chains are dropped with `leaves`. The pairs are made as the chains come and the list
        // once at its final size.
        using game::tet::ChainTree;
        std::array<PyRef, ChainTree::LEAF_NB> leaves;
        std::array<PyRef, game::bot::random_choice_bot::CHAIN_NB> pairs;
        std::size_t n = 0;
        bool failed = false;
        game::tet::for_each_valid_chain(
            s,
            [&](int k) -> void* {
                if (failed) return nullptr;
                PyObject* o = new_unbuilt_game_state_object(st.game_state_type);
                if (!o) {
                    failed = true;
                    return nullptr;
                }
                leaves[static_cast<std::size_t>(k)] = PyRef::steal(o);
                return &game_state_payload_mut(o);
            },
            [&](int c, int k, const GameState& end) {
                if (failed) return;
                PyRef& leaf = leaves[static_cast<std::size_t>(k)];
                PyObject* state = leaf ? leaf.release() : state_to_py(st, end);
                pairs[n] = PyRef::steal(chain_object_pair(st, c, state));
                failed = !pairs[n++];
            });
        if (failed) return nullptr;
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pairs[i].release());
        return list;
    });
}

// The state's byte form written into `buf`; its length, or 0 with the internal error set.
using StateBuf = std::array<std::uint8_t, game::tet::STATE_MAX_SIZE>;
std::size_t encode_state(const ModuleState& st, const GameState& s, StateBuf& buf) {
    const std::size_t n = game::tet::encoded_size(s);
    if (n > buf.size()) {
        raise_internal_error(&st, "encoded state larger than its maximum size");
        return 0;
    }
    game::tet::encode_game_state_into(s, buf.data());
    return n;
}

// to_bytes(): the state's byte form as a list of ints.
PyObject* to_bytes(PyObject* self, PyObject*) {
    return with_state(self, [](St st, Gs s) -> PyObject* {
        StateBuf buf;
        const std::size_t n = encode_state(st, s, buf);
        return n ? bytes_to_py(st, {buf.data(), n}) : nullptr;
    });
}

// __bytes__(): the byte form as a bytes object.
PyObject* state_bytes(PyObject* self, PyObject*) {
    return with_state(self, [](St st, Gs s) -> PyObject* {
        StateBuf buf;
        const std::size_t n = encode_state(st, s, buf);
        if (!n) return nullptr;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf.data()),
                                         static_cast<Py_ssize_t>(n));
    });
}

// __reduce__(): rebuilt by the class's state_from_bytes from the byte form, so pickling and
// copy.copy / copy.deepcopy all go through the byte form.
PyObject* state_reduce(PyObject* self, PyObject*) {
    PyRef data = PyRef::steal(state_bytes(self, nullptr));
    if (!data) return nullptr;
    PyRef rebuild = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "state_from_bytes"));
    if (!rebuild) return nullptr;
    return Py_BuildValue("(O(O))", rebuild.get(), data.get());
}

// == and != by byte form; other comparisons and other types are not implemented.
PyObject* state_richcompare(PyObject* self, PyObject* other, int op) {
    const ModuleState* st = state_of_type(Py_TYPE(self));
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != st->game_state_type)
        Py_RETURN_NOTIMPLEMENTED;
    return guarded<PyObject*>(st, [&]() -> PyObject* {
        StateBuf a, b;
        const std::size_t na = encode_state(*st, game_state_payload(self), a);
        const std::size_t nb = encode_state(*st, game_state_payload(other), b);
        if (!na || !nb) return nullptr;
        const bool equal = na == nb && std::memcmp(a.data(), b.data(), na) == 0;
        return bool_to_py(equal == (op == Py_EQ));
    });
}

// hash(state) == hash(bytes(state)), consistent with ==.
Py_hash_t state_hash(PyObject* self) {
    PyRef data = PyRef::steal(state_bytes(self, nullptr));
    return data ? PyObject_Hash(data.get()) : -1;
}

// GameStatePy(piece='T', score=120, lines=3, moves=45, game_over=False); piece is None
// without a falling piece.
PyObject* state_repr(PyObject* self) {
    return with_state(self, [](St, Gs s) -> PyObject* {
        std::string out = "GameStatePy(piece=";
        if (s.current_pcs) {
            out += '\'';
            out += letter_text(s.current_pcs->tet);
            out += '\'';
        } else {
            out += "None";
        }
        out += ", score=";
        append_int(out, static_cast<long>(s.score));
        out += ", lines=";
        append_int(out, static_cast<long>(s.total_lines));
        out += ", moves=";
        append_int(out, static_cast<long>(s.total_moves));
        out += ", game_over=";
        out += s.is_over() ? "True" : "False";
        out += ')';
        return str_to_py(out);
    });
}

// state_from_bytes(bytes): the state decoded from the start of a byte sequence.
PyObject* state_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return with_module([&](St st) -> PyObject* {
        ByteSeq bytes(&st);
        if (!bind_args("GameStatePy.state_from_bytes", {{"bytes", convert_byte_seq, &bytes}},
                       args, nargs, kwnames))
            return nullptr;
        const auto decoded = game::tet::decode_game_state(bytes.bytes());
        if (!decoded.ok()) return raise_decode_error(decoded.error);
        return state_to_py(st, decoded.value);
    });
}

// load_replay_from_bytes(data): plays a replay stream back; returns (state 0, [(action name,
// state after it) for every Update segment]).
PyObject* load_replay_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return with_module([&](St st) -> PyObject* {
        ByteSeq data(&st);
        if (!bind_args("GameStatePy.load_replay_from_bytes",
                       {{"data", convert_byte_seq, &data}}, args, nargs, kwnames))
            return nullptr;

        // Step 1. Decode.
        const auto segments = game::tet::decode_replay_segments(data.bytes());
        if (!segments.ok()) return raise_decode_error(segments.error, "bad data: ");
        if (segments.value.size() < 3) return raise_value_error("not enough segments in savefile.");

        // Step 2. Play back, wrapping state 0 and the state after each Update segment as it is
        // reached. Playback is all or nothing: on a rejected segment everything built is dropped.
        PyRef first;
        Py_ssize_t updates = 0;
        for (const auto& seg : segments.value)
            updates += std::holds_alternative<game::tet::GameReplaySlice>(seg);
        PyRef pairs = PyRef::steal(PyList_New(updates));
        if (!pairs) return nullptr;
        Py_ssize_t filled = 0;
        bool python_failed = false;
        const bool played = game::tet::play_segments(
            segments.value, [&](std::size_t i, const GameState& state) {
                if (i == 0) {
                    first = PyRef::steal(state_to_py(st, state));
                    python_failed = !first;
                    return !python_failed;
                }
                const auto* slice = std::get_if<game::tet::GameReplaySlice>(&segments.value[i]);
                if (!slice) return true;
                PyObject* pair = action_state_pair(st, slice->event.action, state);
                python_failed = !pair;
                if (pair) PyList_SET_ITEM(pairs.get(), filled++, pair);  // slots not filled stay NULL
                return !python_failed;
            });
        if (python_failed) return nullptr;
        // A played stream has one state per segment, so at least three.
        if (!played) return raise_value_error("not enough gamestates in savefile.");
        if (filled != updates) {
            raise_internal_error(&st, "replay playback skipped an update");
            return nullptr;
        }
        return steal_pair(first.release(), pairs.release());
    });
}

PyMethodDef game_state_methods[] = {
    {.ml_name = "bot_moves_raw",
     .ml_meth = CORVELLE_CFUNC(bot_moves_raw),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = "bot_moves_raw($self, bot_type)\n--\n\n"
             "The actions the bot named `bot_type` ('wordpress' or 'random') would play now,\n"
             "not applied. The engine's bots break ties at random."},
    {.ml_name = "generate_bot_episode",
     .ml_meth = CORVELLE_CFUNC(generate_bot_episode),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = "generate_bot_episode($self, bot_type, max_episode_len)\n--\n\n"
             "The bot named `bot_type` plays from this state: [(action name, state after it)]\n"
             "for up to `max_episode_len` actions, ending early when the game ends."},
    {.ml_name = "get_all_move_chains",
     .ml_meth = CORVELLE_CFUNC(get_all_move_chains),
     .ml_flags = METH_NOARGS | METH_STATIC,
     .ml_doc = "get_all_move_chains()\n--\n\n"
             "The 96 move chains (hold, rotations, shifts, hard drop) as lists of action\n"
             "names, in their fixed order."},
    {.ml_name = "get_valid_move_chains",
     .ml_meth = CORVELLE_CFUNC(get_valid_move_chains),
     .ml_flags = METH_NOARGS,
     .ml_doc = "get_valid_move_chains($self)\n--\n\n"
             "[(chain, final state)] for every move chain all of whose actions the engine\n"
             "accepts from this state, in chain order."},
    {.ml_name = "to_bytes",
     .ml_meth = CORVELLE_CFUNC(to_bytes),
     .ml_flags = METH_NOARGS,
     .ml_doc = "to_bytes($self)\n--\n\n"
             "The state's byte form as a list of ints 0..255 (bytes(state) gives it as bytes)."},
    {.ml_name = "state_from_bytes",
     .ml_meth = CORVELLE_CFUNC(state_from_bytes),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     .ml_doc = "state_from_bytes(bytes)\n--\n\n"
             "The state decoded from the start of a byte form (bytes, bytearray or a sequence\n"
             "of ints 0..255); ValueError when it does not decode."},
    {.ml_name = "load_replay_from_bytes",
     .ml_meth = CORVELLE_CFUNC(load_replay_from_bytes),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     .ml_doc = "load_replay_from_bytes(data)\n--\n\n"
             "Plays a replay stream back: (initial state, [(action name, state after it)] for\n"
             "every Update segment). ValueError for a stream that does not decode or play\n"
             "back."},
    {.ml_name = "__bytes__",
     .ml_meth = CORVELLE_CFUNC(state_bytes),
     .ml_flags = METH_NOARGS,
     .ml_doc = "__bytes__($self)\n--\n\nThe state's byte form as a bytes object."},
    {.ml_name = "__reduce__",
     .ml_meth = CORVELLE_CFUNC(state_reduce),
     .ml_flags = METH_NOARGS,
     .ml_doc = "__reduce__($self)\n--\n\nPickles and copies through the byte form."},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

// The constructor's text signature, then what the class is.
constexpr char GAME_STATE_DOC[] =
    "GameStatePy(value)\n--\n\n"
    "One game state, immutable: every attribute is read-only and every method that\n"
    "plays returns new states. Built from a GameSeedPy (a new game) or from a byte\n"
    "form (GameStatePy.state_from_bytes). States compare, hash and pickle by their\n"
    "byte form; bytes(state) is that byte form.";

PyType_Slot game_state_slots[] = {
    {Py_tp_doc, const_cast<char*>(GAME_STATE_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(game_state_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_state_dealloc)},
    {Py_tp_alloc, reinterpret_cast<void*>(game_state_alloc)},
    {Py_tp_free, reinterpret_cast<void*>(game_state_free)},
    {Py_tp_methods, game_state_methods},
    {Py_tp_getset, game_state_getset},
    {Py_tp_richcompare, reinterpret_cast<void*>(state_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(state_hash)},
    {Py_tp_repr, reinterpret_cast<void*>(state_repr)},
    {0, nullptr},
};

}  // namespace

PyType_Spec game_state_spec = {
    .name = "corvelle_vim.GameStatePy",
    .basicsize = static_cast<int>(sizeof(GameStateObject)),
    .itemsize = 0,
    .flags = CORVELLE_TYPE_FLAGS,
    .slots = game_state_slots,
};

// The object is not tracked by the collector and its payload is written whole, so it is
// allocated without the zero fill of the generic allocator.
PyObject* new_game_state_object(PyTypeObject* tp, const GameState& s) {
    PyObject* o = new_unbuilt_game_state_object(tp);
    if (o) new (&reinterpret_cast<GameStateObject*>(o)->state) GameState(s);
    return o;
}

PyObject* new_unbuilt_game_state_object(PyTypeObject* tp) {
    void* p = slab::allocate();
    if (!p) return PyErr_NoMemory();
    return PyObject_Init(static_cast<PyObject*>(p), tp);
}

const GameState& game_state_payload(PyObject* o) {
    return reinterpret_cast<const GameStateObject*>(o)->state;
}

GameState& game_state_payload_mut(PyObject* o) {
    return reinterpret_cast<GameStateObject*>(o)->state;
}

}  // namespace binding

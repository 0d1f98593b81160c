// corvelle._batch: the Batch type, N games stepped in one call with the interpreter lock
// released, whose outputs live in one arena exported through the buffer protocol; and what the
// package reads from the engine one state at a time: the placement mask of a state, every
// placement of a state with its key path and the state a key path leads to, the chains tied
// for a bot's choice, and the piece shapes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "bot/bot.hpp"
#include "games.hpp"
#include "native_common.h"
#include "pyref.h"
#include "tet/codec.hpp"
#include "tet/movegen.hpp"
#include "tet/piece.hpp"

namespace batch {

namespace {

using binding::PyRef;

// Largest number of games and threads one Batch takes.
constexpr Py_ssize_t MAX_ENVS = 1 << 20;
constexpr int MAX_THREADS = 64;

struct ModuleState {
    PyTypeObject* batch_type;
};

struct BatchObject {
    PyObject_HEAD
    Games* games;
    // Actions of the running step, converted while the interpreter lock is held.
    std::vector<std::int32_t>* actions;
    // Set while a call runs without the interpreter lock, so no second call meets it.
    bool busy;
};

Games& games_of(PyObject* self) { return *reinterpret_cast<BatchObject*>(self)->games; }

// Runs an entry point's body (see binding::guarded_with); a C++ failure other than a failed
// allocation raises RuntimeError("internal error: ...").
template <class R, class Body>
R guarded(Body&& body) noexcept {
    return binding::guarded_with<R>(
        [](const char* message) {
            PyErr_Format(PyExc_RuntimeError, "internal error: %s", message);
        },
        std::forward<Body>(body));
}

// Runs `work` on the games without the interpreter lock; false with RuntimeError set when
// another thread is inside a call on the same object.
template <class Work>
bool run_unlocked(PyObject* self, Work&& work) {
    auto* b = reinterpret_cast<BatchObject*>(self);
    if (b->busy) {
        PyErr_SetString(PyExc_RuntimeError, "Batch is in use by another thread");
        return false;
    }
    b->busy = true;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    b->busy = false;
    if (failure) std::rethrow_exception(failure);
    return true;
}

// ---- Argument conversion -------------------------------------------------------------------

// One element of an integer buffer, by its struct-module format. Returns false for a format
// that is not a native-order integer.
bool read_int(const char* format, Py_ssize_t itemsize, const char* p, long long& out) {
    if (!format) format = "B";
    if (*format == '@' || *format == '=') ++format;
#if PY_BIG_ENDIAN
    else if (*format == '>' || *format == '!') ++format;
#else
    else if (*format == '<') ++format;
#endif
    if (format[0] == '\0' || format[1] != '\0') return false;
    const char c = format[0];
    if (!std::strchr("bBhHiIlLqQnN", c)) return false;
    const bool is_signed = c == 'b' || c == 'h' || c == 'i' || c == 'l' || c == 'q' || c == 'n';
    switch (itemsize) {
        case 1: {
            std::uint8_t v;
            std::memcpy(&v, p, 1);
            out = is_signed ? static_cast<std::int8_t>(v) : v;
            return true;
        }
        case 2: {
            std::uint16_t v;
            std::memcpy(&v, p, 2);
            out = is_signed ? static_cast<std::int16_t>(v) : v;
            return true;
        }
        case 4: {
            std::uint32_t v;
            std::memcpy(&v, p, 4);
            out = is_signed ? static_cast<long long>(static_cast<std::int32_t>(v)) : v;
            return true;
        }
        case 8: {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            if (!is_signed && v > static_cast<std::uint64_t>(INT64_MAX)) {
                out = INT64_MAX;
            } else {
                out = static_cast<long long>(v);
            }
            return true;
        }
    }
    return false;
}

// Reads `actions` (a 1-D C-contiguous buffer of num_envs integers) into `out`, each checked to
// lie in 0..action_nb-1. Returns false with an exception set.
bool convert_actions(PyObject* actions, const Games& g, std::vector<std::int32_t>& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(actions, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};

    const Py_ssize_t n = view.itemsize > 0 ? view.len / view.itemsize : 0;
    if (view.ndim != 1 || n != g.num_envs()) {
        PyErr_Format(PyExc_ValueError, "actions must be a 1-D buffer of %d integers", g.num_envs());
        return false;
    }
    out.resize(static_cast<std::size_t>(n));
    const char* p = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < n; ++i) {
        long long a;
        if (!read_int(view.format, view.itemsize, p + i * view.itemsize, a)) {
            PyErr_Format(PyExc_TypeError, "actions must hold integers (buffer format '%s')",
                         view.format ? view.format : "B");
            return false;
        }
        if (a < 0 || a >= g.action_nb()) {
            PyErr_Format(PyExc_ValueError, "actions[%zd] = %lld is out of range 0..%d", i, a,
                         g.action_nb() - 1);
            return false;
        }
        out[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(a);
    }
    return true;
}

bool parse_mode(const char* s, Mode& out) {
    if (std::strcmp(s, "placement") == 0) {
        out = Mode::Placement;
    } else if (std::strcmp(s, "keys") == 0) {
        out = Mode::Keys;
    } else if (std::strcmp(s, "all_placements") == 0) {
        out = Mode::AllPlacements;
    } else {
        PyErr_Format(PyExc_ValueError,
                     "mode must be 'placement', 'keys' or 'all_placements', not '%s'", s);
        return false;
    }
    return true;
}

bool parse_reward(const char* s, RewardKind& out) {
    if (std::strcmp(s, "score") == 0) {
        out = RewardKind::Score;
    } else if (std::strcmp(s, "lines") == 0) {
        out = RewardKind::Lines;
    } else {
        PyErr_Format(PyExc_ValueError, "reward must be 'score' or 'lines', not '%s'", s);
        return false;
    }
    return true;
}

// ---- Lifetime ------------------------------------------------------------------------------

// Batch(num_envs, mode='placement', reward='score', max_episode_steps=0, autoreset=True,
//       num_threads=1)
PyObject* batch_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"num_envs",  "mode",        "reward", "max_episode_steps",
                                       "autoreset", "num_threads", nullptr};
        Py_ssize_t num_envs;
        const char* mode_text = "placement";
        const char* reward_text = "score";
        Py_ssize_t max_steps = 0;
        int autoreset = 1;
        int threads = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n|ssnpi:Batch",
                                         const_cast<char**>(kwlist), &num_envs, &mode_text,
                                         &reward_text, &max_steps, &autoreset, &threads))
            return nullptr;

        Games::Options o;
        if (num_envs < 1 || num_envs > MAX_ENVS) {
            PyErr_Format(PyExc_ValueError, "num_envs must be in 1..%zd, not %zd", MAX_ENVS,
                         num_envs);
            return nullptr;
        }
        if (max_steps < 0 || max_steps > static_cast<Py_ssize_t>(UINT32_MAX)) {
            PyErr_Format(PyExc_ValueError, "max_episode_steps must be in 0..%u, not %zd",
                         UINT32_MAX, max_steps);
            return nullptr;
        }
        if (threads < 1 || threads > MAX_THREADS) {
            PyErr_Format(PyExc_ValueError, "num_threads must be in 1..%d, not %d", MAX_THREADS,
                         threads);
            return nullptr;
        }
        if (!parse_mode(mode_text, o.mode) || !parse_reward(reward_text, o.reward))
            return nullptr;
        o.num_envs = static_cast<int>(num_envs);
        o.max_episode_steps = static_cast<std::uint32_t>(max_steps);
        o.autoreset = autoreset != 0;
        o.num_threads = threads;

        PyRef self = PyRef::steal(tp->tp_alloc(tp, 0));
        if (!self) return nullptr;
        auto* b = reinterpret_cast<BatchObject*>(self.get());
        b->games = new Games(o);
        b->actions = new std::vector<std::int32_t>(static_cast<std::size_t>(num_envs));
        b->busy = false;
        return self.release();
    });
}

// Frees the games and the object, then drops the reference a heap-type instance holds.
void batch_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<BatchObject*>(self);
    delete b->games;
    delete b->actions;
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

// Exports the arena: one writable block of bytes, alive as long as the object.
int batch_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    Games& g = games_of(self);
    return PyBuffer_FillInfo(view, self, g.arena(), static_cast<Py_ssize_t>(g.arena_size()), 0,
                             flags);
}

// ---- Methods -------------------------------------------------------------------------------

// reset($self, which=None): every game, or those whose entry in `which` (a buffer of
// num_envs bytes, such as a numpy bool array) is non-zero, starts its next game.
PyObject* batch_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"which", nullptr};
        PyObject* which_obj = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:reset", const_cast<char**>(kwlist),
                                         &which_obj))
            return nullptr;
        Games& g = games_of(self);
        if (which_obj == Py_None) {
            if (!run_unlocked(self, [&] { g.reset(nullptr); })) return nullptr;
            Py_RETURN_NONE;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(which_obj, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
        struct Release {
            Py_buffer* v;
            ~Release() { PyBuffer_Release(v); }
        } release{&view};
        if (view.len != g.num_envs()) {
            PyErr_Format(PyExc_ValueError, "which must be a buffer of %d bytes, not %zd",
                         g.num_envs(), view.len);
            return nullptr;
        }
        const auto* first = static_cast<const std::uint8_t*>(view.buf);
        const std::vector<std::uint8_t> which(first, first + view.len);
        if (!run_unlocked(self, [&] { g.reset(which.data()); })) return nullptr;
        Py_RETURN_NONE;
    });
}

// step($self, actions): one step of every game; returns how many episodes ended.
PyObject* batch_step(PyObject* self, PyObject* actions) {
    return guarded<PyObject*>([&]() -> PyObject* {
        auto* b = reinterpret_cast<BatchObject*>(self);
        Games& g = *b->games;
        if (b->busy) {
            PyErr_SetString(PyExc_RuntimeError, "Batch is in use by another thread");
            return nullptr;
        }
        if (!convert_actions(actions, g, *b->actions)) return nullptr;
        int ended = 0;
        if (!run_unlocked(self, [&] { ended = g.step(b->actions->data()); })) return nullptr;
        return PyLong_FromLong(ended);
    });
}

// state_bytes($self, index): the byte form of game `index`'s state.
PyObject* batch_state_bytes(PyObject* self, PyObject* arg) {
    return guarded<PyObject*>([&]() -> PyObject* {
        Games& g = games_of(self);
        const Py_ssize_t i = PyNumber_AsSsize_t(arg, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0 || i >= g.num_envs()) {
            PyErr_Format(PyExc_IndexError, "game index %zd out of range 0..%d", i,
                         g.num_envs() - 1);
            return nullptr;
        }
        const std::vector<std::uint8_t> bytes =
            game::tet::encode_game_state(g.state(static_cast<int>(i)));
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

// ---- Getters -------------------------------------------------------------------------------

PyObject* get_num_envs(PyObject* self, void*) { return PyLong_FromLong(games_of(self).num_envs()); }

PyObject* get_action_nb(PyObject* self, void*) {
    return PyLong_FromLong(games_of(self).action_nb());
}

PyObject* get_num_threads(PyObject* self, void*) {
    return PyLong_FromLong(games_of(self).num_threads());
}

// {name: (offset, format, shape)} for every field of the arena.
PyObject* get_layout(PyObject* self, void*) {
    return guarded<PyObject*>([&]() -> PyObject* {
        const Games& g = games_of(self);
        PyRef out = PyRef::steal(PyDict_New());
        if (!out) return nullptr;
        for (int f = 0; f < FIELD_NB; ++f) {
            const FieldSpec s = g.spec(static_cast<Field>(f));
            const FieldPlace p = g.place(static_cast<Field>(f));
            PyRef shape = PyRef::steal(PyTuple_New(1 + s.rank));
            if (!shape) return nullptr;
            PyTuple_SET_ITEM(shape.get(), 0, PyLong_FromLong(g.num_envs()));
            for (int d = 0; d < s.rank; ++d)
                PyTuple_SET_ITEM(shape.get(), 1 + d, PyLong_FromLong(s.dims[d]));
            for (int d = 0; d <= s.rank; ++d)
                if (!PyTuple_GET_ITEM(shape.get(), d)) return nullptr;
            const char format[2] = {s.format, '\0'};
            PyRef entry = PyRef::steal(Py_BuildValue("(nsO)", static_cast<Py_ssize_t>(p.offset),
                                                     format, shape.get()));
            if (!entry || PyDict_SetItemString(out.get(), s.name, entry.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

PyMethodDef batch_methods[] = {
    {"reset", CORVELLE_CFUNC(batch_reset), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("reset($self, which=None)\n--\n\nStarts the next game of every game (or of "
               "those flagged in `which`): its 'seeds' record where 'use_seed' is set, else "
               "drawn from its 'streams' generator.")},
    {"step", CORVELLE_CFUNC(batch_step), METH_O,
     PyDoc_STR("step($self, actions)\n--\n\nPlays one step of every game and returns how many "
               "episodes ended.")},
    {"state_bytes", CORVELLE_CFUNC(batch_state_bytes), METH_O,
     PyDoc_STR("state_bytes($self, index)\n--\n\nThe byte form of one game's state.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"num_envs", get_num_envs, nullptr, PyDoc_STR("Number of games."), nullptr},
    {"action_nb", get_action_nb, nullptr,
     PyDoc_STR("Actions per game: 96, 8 or ALL_PLACEMENT_ACTION_NB."), nullptr},
    {"num_threads", get_num_threads, nullptr, PyDoc_STR("Threads a step runs on."), nullptr},
    {"layout", get_layout, nullptr,
     PyDoc_STR("{name: (offset, format, shape)} of every field of the exported arena."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Batch(num_envs, mode='placement', reward='score', max_episode_steps=0, "
                    "autoreset=True, num_threads=1)\n--\n\n"
                    "N games stepped together; its buffer is the arena of their outputs.")},
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(batch_getbuffer)},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    .name = "corvelle._batch.Batch",
    .basicsize = sizeof(BatchObject),
    .itemsize = 0,
    .flags = CORVELLE_TYPE_FLAGS,
    .slots = batch_slots,
};

// ---- Module functions ----------------------------------------------------------------------

// The state of a byte form held by `data`, which it releases. False with ValueError set (the
// decoder's message) when the bytes are not a state's byte form.
bool decode_state(Py_buffer& data, game::tet::GameState& out) {
    const auto decoded = game::tet::decode_game_state(
        {static_cast<const std::uint8_t*>(data.buf), static_cast<std::size_t>(data.len)});
    PyBuffer_Release(&data);
    if (!decoded.ok()) {
        PyErr_SetString(PyExc_ValueError, decoded.error.display().c_str());
        return false;
    }
    out = decoded.value;
    return true;
}

// placement_mask($module, state): the 96-entry mask of a state given in its byte form.
PyObject* module_placement_mask(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"state", nullptr};
        Py_buffer data;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*:placement_mask",
                                         const_cast<char**>(kwlist), &data))
            return nullptr;
        game::tet::GameState state;
        if (!decode_state(data, state)) return nullptr;
        std::int8_t mask[PLACEMENT_ACTION_NB];
        placement_mask(state, mask);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(mask), PLACEMENT_ACTION_NB);
    });
}

// placements($module, state, hold=True): every placement of a state given in its byte form
// (game::tet::list_placements), in the list's order: (keys, hold, kind, rotation, row,
// column, spin, lines, code) with keys a tuple of action names, kind its index (I L J T S Z
// O), spin 0..3 (none, mini, spin, full) and code its action in the all-placements space.
PyObject* module_placements(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"state", "hold", nullptr};
        Py_buffer data;
        int hold = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|p:placements",
                                         const_cast<char**>(kwlist), &data, &hold))
            return nullptr;
        game::tet::GameState state;
        if (!decode_state(data, state)) return nullptr;
        game::tet::PlacementList& list = thread_placement_list();
        game::tet::list_placements(state, hold != 0, list);
        // The action names, made once per call.
        PyRef names[game::tet::ACTION_NB];
        for (int a = 0; a < game::tet::ACTION_NB; ++a) {
            names[a] = PyRef::steal(
                PyUnicode_InternFromString(game::tet::name(game::tet::action_from_index(a))));
            if (!names[a]) return nullptr;
        }
        PyRef out = PyRef::steal(PyList_New(list.count));
        if (!out) return nullptr;
        std::vector<game::tet::TetAction> keys;
        for (int i = 0; i < list.count; ++i) {
            const game::tet::Placement& p = list.items[static_cast<std::size_t>(i)];
            keys.resize(p.key_nb);
            list.keys(i, keys.data());
            PyRef key_tuple = PyRef::steal(PyTuple_New(p.key_nb));
            if (!key_tuple) return nullptr;
            for (int k = 0; k < p.key_nb; ++k) {
                PyObject* n = names[game::tet::index(keys[static_cast<std::size_t>(k)])].get();
                Py_INCREF(n);
                PyTuple_SET_ITEM(key_tuple.get(), k, n);
            }
            PyObject* entry = Py_BuildValue(
                "(OOiiiiiii)", key_tuple.get(), p.hold ? Py_True : Py_False,
                game::tet::index(p.kind), game::rot::index(p.rs), p.row, p.col,
                static_cast<int>(p.spin), p.lines, placement_code(p));
            if (!entry) return nullptr;
            PyList_SET_ITEM(out.get(), i, entry);
        }
        return out.release();
    });
}

// play_keys($module, state, keys): the byte form of the state after playing `keys` (a sequence
// of action names) one after another with try_action at time 0 from a state given in its byte
// form; ValueError with the engine's message when one is refused.
PyObject* module_play_keys(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"state", "keys", nullptr};
        Py_buffer data;
        PyObject* keys_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*O:play_keys",
                                         const_cast<char**>(kwlist), &data, &keys_obj))
            return nullptr;
        std::vector<game::tet::TetAction> keys;
        PyRef seq = PyRef::steal(PySequence_Fast(keys_obj, "keys must be a sequence of action names"));
        if (!seq) {
            PyBuffer_Release(&data);
            return nullptr;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
            const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : nullptr;
            int found = -1;
            for (int a = 0; text && a < game::tet::ACTION_NB; ++a)
                if (std::strcmp(text, game::tet::name(game::tet::action_from_index(a))) == 0) found = a;
            if (found < 0) {
                PyBuffer_Release(&data);
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_ValueError, "keys[%zd] is not an action name", k);
                return nullptr;
            }
            keys.push_back(game::tet::action_from_index(found));
        }
        game::tet::GameState state;
        if (!decode_state(data, state)) return nullptr;
        const auto played = game::tet::play_keys(state, keys);
        if (played.failed()) {
            PyErr_SetString(PyExc_ValueError, played.error.message().c_str());
            return nullptr;
        }
        const std::vector<std::uint8_t> bytes = game::tet::encode_game_state(played.value);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

// bot_choices($module, state, bot): the chain numbers tied for the choice of the engine's bot
// named `bot` on a state given in its byte form (game::bot::best_chains): the best score, then
// the fewest actions, ascending, identical chains each listed. Empty when no chain qualifies.
PyObject* module_bot_choices(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"state", "bot", nullptr};
        Py_buffer data;
        const char* bot = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*s:bot_choices",
                                         const_cast<char**>(kwlist), &data, &bot))
            return nullptr;
        const game::bot::ScoreFn score = game::bot::bot_score(bot);
        if (!score) {
            PyBuffer_Release(&data);
            PyErr_SetString(PyExc_ValueError,
                            game::fail(game::ErrorCode::BotNameNotFound).message().c_str());
            return nullptr;
        }
        game::tet::GameState state;
        if (!decode_state(data, state)) return nullptr;
        const game::bot::TiedChains ties = game::bot::best_chains(state, score);
        PyRef out = PyRef::steal(PyList_New(ties.count));
        if (!out) return nullptr;
        for (int k = 0; k < ties.count; ++k) {
            PyObject* chain = PyLong_FromLong(ties.chain[static_cast<std::size_t>(k)]);
            if (!chain) return nullptr;
            PyList_SET_ITEM(out.get(), k, chain);
        }
        return out.release();
    });
}

// shapes($module): the engine's shape table, [rotation][kind] (kinds in the order I L J T S
// Z O) -> (grid size, the four covered cells as (row, column) of the grid, row 0 at the
// bottom, in the table's visiting order).
PyObject* module_shapes(PyObject*, PyObject*) {
    return guarded<PyObject*>([&]() -> PyObject* {
        using game::tet::ALL_SHAPES;
        const auto rot_nb = static_cast<Py_ssize_t>(ALL_SHAPES.size());
        const auto kind_nb = static_cast<Py_ssize_t>(ALL_SHAPES[0].size());
        const auto cell_nb = static_cast<Py_ssize_t>(ALL_SHAPES[0][0].cells.size());
        PyRef out = PyRef::steal(PyTuple_New(rot_nb));
        if (!out) return nullptr;
        for (Py_ssize_t r = 0; r < rot_nb; ++r) {
            PyRef kinds = PyRef::steal(PyTuple_New(kind_nb));
            if (!kinds) return nullptr;
            for (Py_ssize_t k = 0; k < kind_nb; ++k) {
                const game::tet::Shape& shape = ALL_SHAPES[r][k];
                PyRef cells = PyRef::steal(PyTuple_New(cell_nb));
                if (!cells) return nullptr;
                for (Py_ssize_t c = 0; c < cell_nb; ++c) {
                    PyObject* cell = Py_BuildValue("(ii)", shape.cells[c].i, shape.cells[c].j);
                    if (!cell) return nullptr;
                    PyTuple_SET_ITEM(cells.get(), c, cell);
                }
                PyObject* entry = Py_BuildValue("(iO)", shape.size, cells.get());
                if (!entry) return nullptr;
                PyTuple_SET_ITEM(kinds.get(), k, entry);
            }
            PyTuple_SET_ITEM(out.get(), r, kinds.release());
        }
        return out.release();
    });
}

PyMethodDef module_methods[] = {
    {"placement_mask", CORVELLE_CFUNC(module_placement_mask), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("placement_mask($module, state)\n--\n\n"
               "The 96 chain flags of a state given in its byte form, as bytes of 0 and 1.")},
    {"placements", CORVELLE_CFUNC(module_placements), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("placements($module, state, hold=True)\n--\n\n"
               "Every placement of a state given in its byte form, in order: (keys, hold, kind, "
               "rotation, row, column, spin, lines, code).")},
    {"play_keys", CORVELLE_CFUNC(module_play_keys), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("play_keys($module, state, keys)\n--\n\n"
               "The byte form of the state after playing the named actions with try_action at "
               "time 0 from a state given in its byte form.")},
    {"bot_choices", CORVELLE_CFUNC(module_bot_choices), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("bot_choices($module, state, bot)\n--\n\n"
               "The chain numbers tied for the choice of the engine's bot `bot` ('wordpress' "
               "or 'random') on a state given in its byte form: the best score, then the "
               "fewest actions, in chain order; empty when no chain qualifies.")},
    {"shapes", CORVELLE_CFUNC(module_shapes), METH_NOARGS,
     PyDoc_STR("shapes($module)\n--\n\n"
               "The engine's piece shapes: [rotation 0-3][kind 0-6, I L J T S Z O] -> (grid "
               "size, ((row, column), ...) of the four covered cells, row 0 at the bottom).")},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Module --------------------------------------------------------------------------------

ModuleState* module_state(PyObject* m) { return static_cast<ModuleState*>(PyModule_GetState(m)); }

int module_exec(PyObject* m) {
    ModuleState* st = module_state(m);
    st->batch_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(m, &batch_spec, nullptr));
    if (!st->batch_type) return -1;
    if (PyModule_AddType(m, st->batch_type) < 0) return -1;
    if (PyModule_AddIntConstant(m, "PLACEMENT_ACTION_NB", PLACEMENT_ACTION_NB) < 0) return -1;
    if (PyModule_AddIntConstant(m, "KEY_ACTION_NB", KEY_ACTION_NB) < 0) return -1;
    if (PyModule_AddIntConstant(m, "ALL_PLACEMENT_ACTION_NB", ALL_PLACEMENT_ACTION_NB) < 0)
        return -1;
    if (PyModule_AddIntConstant(m, "SEED_RECORD_SIZE", SEED_RECORD_SIZE) < 0) return -1;
    return 0;
}

int module_traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* st = module_state(m);
    Py_VISIT(st->batch_type);
    return 0;
}

int module_clear(PyObject* m) {
    ModuleState* st = module_state(m);
    Py_CLEAR(st->batch_type);
    return 0;
}

void module_free(void* m) { (void)module_clear(static_cast<PyObject*>(m)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "corvelle._batch",
    .m_doc = "Many games stepped in one call, outside the interpreter lock.",
    .m_size = sizeof(ModuleState),
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

}  // namespace

}  // namespace batch

PyMODINIT_FUNC PyInit__batch() { return PyModuleDef_Init(&batch::module_def); }

// corvelle._batch: the Batch type, N games stepped in one call with the interpreter lock
// released, whose outputs live in one arena exported through the buffer protocol; VersusBatch,
// N two-player matches stepped the same way; the Match type, a two-player match with its
// garbage exchange and both replay streams; and what the package reads from the engine one
// state at a time: the placement mask of a state, every placement of a state with its key
// path and the state a key path leads to, the chains tied for a bot's choice, the beam search
// bot's placement and games, observations of stored states, and the piece shapes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bot/beam.hpp"
#include "bot/bot.hpp"
#include "games.hpp"
#include "versus_games.hpp"
#include "native_common.h"
#include "pyref.h"
#include "tet/codec.hpp"
#include "tet/match.hpp"
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
    PyTypeObject* match_type;
    PyTypeObject* versus_batch_type;
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
template <class Object = BatchObject, class Work>
bool run_unlocked(PyObject* self, Work&& work) {
    auto* b = reinterpret_cast<Object*>(self);
    if (b->busy) {
        PyErr_Format(PyExc_RuntimeError, "%s is in use by another thread", Py_TYPE(self)->tp_name);
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

// False with ValueError("<name> must be in lo..hi<unit>, not <value>") when `value` is
// outside lo..hi.
bool check_range(long long value, long long lo, long long hi, const char* name,
                 const char* unit = "") {
    if (value >= lo && value <= hi) return true;
    PyErr_Format(PyExc_ValueError, "%s must be in %lld..%lld%s, not %lld", name, lo, hi, unit,
                 value);
    return false;
}

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

// Reads `actions` (a C-contiguous buffer of `count` integers, 1-D unless `rows` is given:
// then of shape (rows, count / rows)) into `out`, each checked to lie in 0..action_nb-1.
// Returns false with an exception set.
bool convert_actions(PyObject* actions, int count, int action_nb, std::vector<std::int32_t>& out,
                     int rows = 0) {
    Py_buffer view;
    if (PyObject_GetBuffer(actions, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};

    const Py_ssize_t n = view.itemsize > 0 ? view.len / view.itemsize : 0;
    if (rows == 0 && (view.ndim != 1 || n != count)) {
        PyErr_Format(PyExc_ValueError, "actions must be a 1-D buffer of %d integers", count);
        return false;
    }
    if (rows != 0 && (view.ndim != 2 || view.shape[0] != rows || n != count)) {
        PyErr_Format(PyExc_ValueError, "actions must have shape (%d, %d)", rows, count / rows);
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
        if (a < 0 || a >= action_nb) {
            if (rows != 0)
                PyErr_Format(PyExc_ValueError, "actions[%zd, %zd] = %lld is out of range 0..%d",
                             i / (count / rows), i % (count / rows), a, action_nb - 1);
            else
                PyErr_Format(PyExc_ValueError, "actions[%zd] = %lld is out of range 0..%d", i, a,
                             action_nb - 1);
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

// Whether `rows` hidden rows can be shown; ValueError otherwise.
bool check_hidden_rows(int rows) {
    return check_range(rows, 0, MAX_HIDDEN_ROWS, "hidden_rows");
}

bool parse_reward(const char* s, RewardKind& out) {
    if (std::strcmp(s, "score") == 0) {
        out = RewardKind::Score;
    } else if (std::strcmp(s, "lines") == 0) {
        out = RewardKind::Lines;
    } else if (std::strcmp(s, "shaped") == 0) {
        out = RewardKind::Shaped;
    } else {
        PyErr_Format(PyExc_ValueError, "reward must be 'score', 'lines' or 'shaped', not '%s'",
                     s);
        return false;
    }
    return true;
}

// ---- What Batch and VersusBatch share ---------------------------------------------------------

// Frees an object's games and actions, then the object, then drops the reference a heap-type
// instance holds.
template <class Object>
void free_games_object(PyObject* self) {
    auto* b = reinterpret_cast<Object*>(self);
    delete b->games;
    delete b->actions;
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

// Exports the arena: one writable block of bytes, alive as long as the object.
template <class Object>
int export_arena(PyObject* self, Py_buffer* view, int flags) {
    auto& g = *reinterpret_cast<Object*>(self)->games;
    return PyBuffer_FillInfo(view, self, g.arena(), static_cast<Py_ssize_t>(g.arena_size()), 0,
                             flags);
}

// reset($self, which=None): every one of the `count` games, or those whose entry in `which` (a
// buffer of `count` bytes, such as a numpy bool array) is non-zero, starts its next game.
template <class Object>
PyObject* reset_games(PyObject* self, PyObject* args, PyObject* kwargs, int count) {
    static const char* kwlist[] = {"which", nullptr};
    PyObject* which_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:reset", const_cast<char**>(kwlist),
                                     &which_obj))
        return nullptr;
    auto& g = *reinterpret_cast<Object*>(self)->games;
    if (which_obj == Py_None) {
        if (!run_unlocked<Object>(self, [&] { g.reset(nullptr); })) return nullptr;
        Py_RETURN_NONE;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(which_obj, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (view.len != count) {
        PyErr_Format(PyExc_ValueError, "which must be a buffer of %d bytes, not %zd", count,
                     view.len);
        return nullptr;
    }
    const auto* first = static_cast<const std::uint8_t*>(view.buf);
    const std::vector<std::uint8_t> which(first, first + view.len);
    if (!run_unlocked<Object>(self, [&] { g.reset(which.data()); })) return nullptr;
    Py_RETURN_NONE;
}

// ---- Lifetime ------------------------------------------------------------------------------

// Batch(num_envs, mode='placement', reward='score', max_episode_steps=0, autoreset=True,
//       num_threads=1, hidden_rows=0)
PyObject* batch_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"num_envs",  "mode",        "reward",      "max_episode_steps",
                                       "autoreset", "num_threads", "hidden_rows", nullptr};
        Py_ssize_t num_envs;
        const char* mode_text = "placement";
        const char* reward_text = "score";
        Py_ssize_t max_steps = 0;
        int autoreset = 1;
        int threads = 1;
        int hidden_rows = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n|ssnpii:Batch",
                                         const_cast<char**>(kwlist), &num_envs, &mode_text,
                                         &reward_text, &max_steps, &autoreset, &threads,
                                         &hidden_rows))
            return nullptr;
        if (!check_hidden_rows(hidden_rows)) return nullptr;

        Games::Options o;
        if (!check_range(num_envs, 1, MAX_ENVS, "num_envs")) return nullptr;
        if (!check_range(max_steps, 0, UINT32_MAX, "max_episode_steps")) return nullptr;
        if (!check_range(threads, 1, MAX_THREADS, "num_threads")) return nullptr;
        if (!parse_mode(mode_text, o.mode) || !parse_reward(reward_text, o.reward))
            return nullptr;
        o.num_envs = static_cast<int>(num_envs);
        o.max_episode_steps = static_cast<std::uint32_t>(max_steps);
        o.autoreset = autoreset != 0;
        o.num_threads = threads;
        o.hidden_rows = hidden_rows;

        PyRef self = PyRef::steal(tp->tp_alloc(tp, 0));
        if (!self) return nullptr;
        auto* b = reinterpret_cast<BatchObject*>(self.get());
        b->games = new Games(o);
        b->actions = new std::vector<std::int32_t>(static_cast<std::size_t>(num_envs));
        b->busy = false;
        return self.release();
    });
}

void batch_dealloc(PyObject* self) { free_games_object<BatchObject>(self); }

int batch_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return export_arena<BatchObject>(self, view, flags);
}

// ---- Methods -------------------------------------------------------------------------------

// reset($self, which=None): see reset_games.
PyObject* batch_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        return reset_games<BatchObject>(self, args, kwargs, games_of(self).num_envs());
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
        if (!convert_actions(actions, g.num_envs(), g.action_nb(), *b->actions)) return nullptr;
        int ended = 0;
        if (!run_unlocked(self, [&] { ended = g.step(b->actions->data()); })) return nullptr;
        return PyLong_FromLong(ended);
    });
}

// afterstates($self): every game's write_afterstates as a bytearray of float32, game after
// game.
PyObject* batch_afterstates(PyObject* self, PyObject*) {
    return guarded<PyObject*>([&]() -> PyObject* {
        Games& g = games_of(self);
        if (g.options().mode == Mode::Keys) {
            PyErr_SetString(PyExc_ValueError, "afterstates needs a placement batch, not 'keys'");
            return nullptr;
        }
        const Py_ssize_t size = static_cast<Py_ssize_t>(g.num_envs()) * g.action_nb() *
                                AFTERSTATE_FEATURE_NB * static_cast<Py_ssize_t>(sizeof(float));
        // A bytearray, so that arrays over it are writable as the other observations are.
        PyRef out = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, size));
        if (!out) return nullptr;
        auto* rows = reinterpret_cast<float*>(PyByteArray_AS_STRING(out.get()));
        if (!run_unlocked(self, [&] { g.write_afterstates(rows); })) return nullptr;
        return out.release();
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

// The state of a byte form held by `data`, which it releases. False with ValueError set (the
// decoder's message) when the bytes are not a state's byte form.
bool decode_state(Py_buffer& data, game::tet::GameState& out);

// set_state($self, index, state): game `index` continues from a state given in its byte form.
PyObject* batch_set_state(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"index", "state", nullptr};
        Py_ssize_t i;
        Py_buffer data;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ny*:set_state",
                                         const_cast<char**>(kwlist), &i, &data))
            return nullptr;
        Games& g = games_of(self);
        if (i < 0 || i >= g.num_envs()) {
            PyBuffer_Release(&data);
            PyErr_Format(PyExc_IndexError, "game index %zd out of range 0..%d", i,
                         g.num_envs() - 1);
            return nullptr;
        }
        game::tet::GameState state;
        if (!decode_state(data, state)) return nullptr;
        if (reinterpret_cast<BatchObject*>(self)->busy) {
            PyErr_SetString(PyExc_RuntimeError, "Batch is in use by another thread");
            return nullptr;
        }
        g.set_state(static_cast<int>(i), state);
        Py_RETURN_NONE;
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

// copy($self): a new Batch in the same games at the same point, stepped apart from this one.
PyObject* batch_copy(PyObject* self, PyObject*) {
    return guarded<PyObject*>([&]() -> PyObject* {
        auto* b = reinterpret_cast<BatchObject*>(self);
        if (b->busy) {
            PyErr_SetString(PyExc_RuntimeError, "Batch is in use by another thread");
            return nullptr;
        }
        PyTypeObject* tp = Py_TYPE(self);
        PyRef twin = PyRef::steal(tp->tp_alloc(tp, 0));
        if (!twin) return nullptr;
        auto* t = reinterpret_cast<BatchObject*>(twin.get());
        t->games = b->games->clone().release();
        t->actions = new std::vector<std::int32_t>(b->actions->size());
        t->busy = false;
        return twin.release();
    });
}

PyMethodDef batch_methods[] = {
    {"copy", CORVELLE_CFUNC(batch_copy), METH_NOARGS,
     PyDoc_STR("copy($self)\n--\n\n"
               "A new Batch in the same games at the same point (states, arena, streams), "
               "stepped apart from this one.")},
    {"reset", CORVELLE_CFUNC(batch_reset), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("reset($self, which=None)\n--\n\nStarts the next game of every game (or of "
               "those flagged in `which`): its 'seeds' record where 'use_seed' is set, else "
               "drawn from its 'streams' generator.")},
    {"step", CORVELLE_CFUNC(batch_step), METH_O,
     PyDoc_STR("step($self, actions)\n--\n\nPlays one step of every game and returns how many "
               "episodes ended.")},
    {"state_bytes", CORVELLE_CFUNC(batch_state_bytes), METH_O,
     PyDoc_STR("state_bytes($self, index)\n--\n\nThe byte form of one game's state.")},
    {"afterstates", CORVELLE_CFUNC(batch_afterstates), METH_NOARGS,
     PyDoc_STR("afterstates($self)\n--\n\nWhat each action leaves in every game (see the "
               "module's afterstates): a bytearray of float32, num_envs blocks of action_nb rows of "
               "8. Placement batches only.")},
    {"set_state", CORVELLE_CFUNC(batch_set_state), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("set_state($self, index, state)\n--\n\nGame `index` continues from a state "
               "given in its byte form, as after a reset: its observation and mask are "
               "written, its reward, flags and step count cleared.")},
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
                    "autoreset=True, num_threads=1, hidden_rows=0)\n--\n\n"
                    "N games stepped together; its buffer is the arena of their outputs\n"
                    "(observations, rewards, flags and masks).")},
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

// ---- VersusBatch ---------------------------------------------------------------------------

struct VersusBatchObject {
    PyObject_HEAD
    VersusGames* games;
    std::vector<std::int32_t>* actions;
    bool busy;
};

VersusGames& versus_of(PyObject* self) { return *reinterpret_cast<VersusBatchObject*>(self)->games; }

bool parse_versus_reward(const char* s, VersusReward& out) {
    if (std::strcmp(s, "win") == 0) {
        out = VersusReward::Win;
    } else if (std::strcmp(s, "attack") == 0) {
        out = VersusReward::Attack;
    } else {
        PyErr_Format(PyExc_ValueError, "reward must be 'win' or 'attack', not '%s'", s);
        return false;
    }
    return true;
}

bool parse_attack(const char* s, game::tet::AttackTable& out);

// VersusBatch(num_matches, mode='placement', attack='engine', delay=0, max_steps=0,
//             reward='win', autoreset=True, num_threads=1)
PyObject* versus_batch_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"num_matches", "mode",      "attack",      "delay",
                                       "max_steps",   "reward",    "autoreset",   "num_threads",
                                       nullptr};
        Py_ssize_t num = 0, delay = 0, max_steps = 0;
        const char* mode_text = "placement";
        const char* attack_text = "engine";
        const char* reward_text = "win";
        int autoreset = 1, threads = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n|ssnnspi:VersusBatch",
                                         const_cast<char**>(kwlist), &num, &mode_text,
                                         &attack_text, &delay, &max_steps, &reward_text,
                                         &autoreset, &threads))
            return nullptr;
        VersusGames::Options o;
        if (!check_range(num, 1, MAX_ENVS / 2, "num_matches")) return nullptr;
        if (!check_range(delay, 0, game::tet::MAX_GARBAGE_DELAY, "delay", " pieces"))
            return nullptr;
        if (!check_range(max_steps, 0, UINT32_MAX, "max_steps")) return nullptr;
        if (!check_range(threads, 1, MAX_THREADS, "num_threads")) return nullptr;
        if (!parse_mode(mode_text, o.mode) || !parse_attack(attack_text, o.match.attack) ||
            !parse_versus_reward(reward_text, o.reward))
            return nullptr;
        o.num_matches = static_cast<int>(num);
        o.match.delay = static_cast<std::uint8_t>(delay);
        o.match.max_steps = static_cast<std::uint32_t>(max_steps);
        o.autoreset = autoreset != 0;
        o.num_threads = threads;

        PyRef self = PyRef::steal(tp->tp_alloc(tp, 0));
        if (!self) return nullptr;
        auto* b = reinterpret_cast<VersusBatchObject*>(self.get());
        b->games = new VersusGames(o);
        b->actions = new std::vector<std::int32_t>(static_cast<std::size_t>(2 * num));
        b->busy = false;
        return self.release();
    });
}

void versus_batch_dealloc(PyObject* self) { free_games_object<VersusBatchObject>(self); }

int versus_batch_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return export_arena<VersusBatchObject>(self, view, flags);
}

// reset($self, which=None): every match, or those flagged in `which` (num_matches bytes).
PyObject* versus_batch_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        return reset_games<VersusBatchObject>(self, args, kwargs, versus_of(self).num_matches());
    });
}

// step($self, actions): actions of shape (num_matches, 2); returns how many matches ended.
PyObject* versus_batch_step(PyObject* self, PyObject* actions) {
    return guarded<PyObject*>([&]() -> PyObject* {
        auto* b = reinterpret_cast<VersusBatchObject*>(self);
        VersusGames& g = *b->games;
        if (b->busy) {
            PyErr_SetString(PyExc_RuntimeError, "VersusBatch is in use by another thread");
            return nullptr;
        }
        if (!convert_actions(actions, 2 * g.num_matches(), g.action_nb(), *b->actions,
                             g.num_matches()))
            return nullptr;
        int ended = 0;
        if (!run_unlocked<VersusBatchObject>(self, [&] { ended = g.step(b->actions->data()); }))
            return nullptr;
        return PyLong_FromLong(ended);
    });
}

// state_bytes($self, match, player): the byte form of one player's state.
PyObject* versus_batch_state_bytes(PyObject* self, PyObject* args) {
    return guarded<PyObject*>([&]() -> PyObject* {
        Py_ssize_t i;
        int p;
        if (!PyArg_ParseTuple(args, "ni:state_bytes", &i, &p)) return nullptr;
        VersusGames& g = versus_of(self);
        if (i < 0 || i >= g.num_matches() || (p != 0 && p != 1)) {
            PyErr_Format(PyExc_IndexError, "no player %d in match %zd of 0..%d", p, i,
                         g.num_matches() - 1);
            return nullptr;
        }
        const std::vector<std::uint8_t> bytes =
            game::tet::encode_game_state(g.match(static_cast<int>(i)).states[p]);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* match_info_dict(const game::tet::Match& m);

// match_info($self, match): the figures of one match, as Match.info() gives them.
PyObject* versus_batch_match_info(PyObject* self, PyObject* arg) {
    return guarded<PyObject*>([&]() -> PyObject* {
        const Py_ssize_t i = PyNumber_AsSsize_t(arg, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        VersusGames& g = versus_of(self);
        if (i < 0 || i >= g.num_matches()) {
            PyErr_Format(PyExc_IndexError, "no match %zd in 0..%d", i, g.num_matches() - 1);
            return nullptr;
        }
        return match_info_dict(g.match(static_cast<int>(i)));
    });
}

PyObject* versus_get_num_matches(PyObject* self, void*) {
    return PyLong_FromLong(versus_of(self).num_matches());
}
PyObject* versus_get_action_nb(PyObject* self, void*) {
    return PyLong_FromLong(versus_of(self).action_nb());
}
PyObject* versus_get_num_threads(PyObject* self, void*) {
    return PyLong_FromLong(versus_of(self).num_threads());
}
PyObject* versus_get_step_us(PyObject* self, void*) {
    return PyLong_FromLongLong(versus_of(self).options().match.step_us);
}

// {name: (offset, format, shape)} for every field of the arena.
PyObject* versus_get_layout(PyObject* self, void*) {
    return guarded<PyObject*>([&]() -> PyObject* {
        VersusGames& g = versus_of(self);
        PyRef out = PyRef::steal(PyDict_New());
        if (!out) return nullptr;
        for (int f = 0; f < VERSUS_FIELD_NB; ++f) {
            const VersusFieldSpec vs = g.spec(static_cast<VersusField>(f));
            const FieldSpec& s = vs.spec;
            const FieldPlace p = g.place(static_cast<VersusField>(f));
            PyRef shape = PyRef::steal(PyTuple_New(1 + s.rank));
            if (!shape) return nullptr;
            PyTuple_SET_ITEM(shape.get(), 0, PyLong_FromLong(g.num_matches() * vs.per_match));
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

PyMethodDef versus_batch_methods[] = {
    {"reset", CORVELLE_CFUNC(versus_batch_reset), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("reset($self, which=None)\n--\n\nStarts the next match of every match (or of "
               "those flagged in `which`).")},
    {"step", CORVELLE_CFUNC(versus_batch_step), METH_O,
     PyDoc_STR("step($self, actions)\n--\n\nOne lock-step turn of every match, actions of "
               "shape (num_matches, 2); returns how many matches ended.")},
    {"state_bytes", CORVELLE_CFUNC(versus_batch_state_bytes), METH_VARARGS,
     PyDoc_STR("state_bytes($self, match, player)\n--\n\nThe byte form of one player's state.")},
    {"match_info", CORVELLE_CFUNC(versus_batch_match_info), METH_O,
     PyDoc_STR("match_info($self, match)\n--\n\nSteps, step time, result and per-player "
               "garbage counts of one match, as Match.info() gives them.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef versus_batch_getset[] = {
    {"num_matches", versus_get_num_matches, nullptr, PyDoc_STR("Number of matches."), nullptr},
    {"action_nb", versus_get_action_nb, nullptr,
     PyDoc_STR("Actions per agent: 96, 8 or ALL_PLACEMENT_ACTION_NB."), nullptr},
    {"num_threads", versus_get_num_threads, nullptr, PyDoc_STR("Threads a step runs on."),
     nullptr},
    {"step_us", versus_get_step_us, nullptr,
     PyDoc_STR("Game time of one step in microseconds."), nullptr},
    {"layout", versus_get_layout, nullptr,
     PyDoc_STR("{name: (offset, format, shape)} of every field of the exported arena."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot versus_batch_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "VersusBatch(num_matches, mode='placement', attack='engine', delay=0, "
                    "max_steps=0, reward='win', autoreset=True, num_threads=1)\n--\n\n"
                    "N two-player matches stepped together; its buffer is the arena of their "
                    "outputs.")},
    {Py_tp_new, reinterpret_cast<void*>(versus_batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(versus_batch_dealloc)},
    {Py_tp_methods, versus_batch_methods},
    {Py_tp_getset, versus_batch_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(versus_batch_getbuffer)},
    {0, nullptr},
};

PyType_Spec versus_batch_spec = {
    .name = "corvelle._batch.VersusBatch",
    .basicsize = sizeof(VersusBatchObject),
    .itemsize = 0,
    .flags = CORVELLE_TYPE_FLAGS,
    .slots = versus_batch_slots,
};

// ---- Match ---------------------------------------------------------------------------------

using game::tet::MatchErrorKind;
using game::tet::TetAction;

struct MatchObject {
    PyObject_HEAD
    game::tet::Match* match;
    game::tet::MatchLog* log;
};

game::tet::Match& match_of(PyObject* self) { return *reinterpret_cast<MatchObject*>(self)->match; }

// A game seed record (SEED_RECORD_SIZE bytes: 32 seed bytes, then the start time as i64
// little-endian). False with ValueError set for another length.
bool convert_seed_record(const Py_buffer& data, const char* which, game::tet::GameSeed& out) {
    if (data.len != SEED_RECORD_SIZE) {
        PyErr_Format(PyExc_ValueError, "%s must be a %d-byte seed record, not %zd bytes", which,
                     SEED_RECORD_SIZE, data.len);
        return false;
    }
    const auto* b = static_cast<const std::uint8_t*>(data.buf);
    std::memcpy(out.seed.data(), b, out.seed.size());
    std::uint64_t ts = 0;
    for (int k = 7; k >= 0; --k) ts = ts << 8 | b[32 + k];
    out.ts = static_cast<std::int64_t>(ts);
    return true;
}

bool parse_attack(const char* s, game::tet::AttackTable& out) {
    if (std::strcmp(s, "engine") == 0) {
        out = game::tet::AttackTable::Engine;
    } else if (std::strcmp(s, "guideline") == 0) {
        out = game::tet::AttackTable::Guideline;
    } else {
        PyErr_Format(PyExc_ValueError, "attack must be 'engine' or 'guideline', not '%s'", s);
        return false;
    }
    return true;
}

// A turn: one action index (0..7) or a sequence of 1 to MAX_TURN_ACTIONS of them. False with
// an exception set naming the player.
bool convert_turn(PyObject* obj, int player, std::vector<TetAction>& out) {
    out.clear();
    const auto one = [&](PyObject* item) {
        const long a = PyLong_AsLong(item);
        if (a == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "player %d: a turn is an action index or a sequence of them, not %s",
                         player, Py_TYPE(item)->tp_name);
            return false;
        }
        if (a < 0 || a >= game::tet::ACTION_NB) {
            PyErr_Format(PyExc_ValueError, "player %d: action index %ld is out of range 0..%d",
                         player, a, game::tet::ACTION_NB - 1);
            return false;
        }
        out.push_back(game::tet::action_from_index(static_cast<int>(a)));
        return true;
    };
    if (PyLong_Check(obj)) return one(obj);
    PyRef seq = PyRef::steal(PySequence_Fast(obj, ""));
    if (!seq) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "player %d: a turn is an action index or a sequence of them, not %s", player,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n < 1 || n > game::tet::MAX_TURN_ACTIONS) {
        PyErr_Format(PyExc_ValueError, "player %d: a turn has 1 to %d actions, not %zd", player,
                     game::tet::MAX_TURN_ACTIONS, n);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!one(PySequence_Fast_GET_ITEM(seq.get(), i))) return false;
    return true;
}

// Raises the exception of a refused step: RuntimeError once the match is over, ValueError
// naming the player, the action and the engine's reason otherwise.
void raise_match_error(const game::tet::MatchError& e, const std::vector<TetAction>* turns) {
    switch (e.kind) {
        case MatchErrorKind::MatchOver:
            PyErr_SetString(PyExc_RuntimeError, "the match is over");
            return;
        case MatchErrorKind::BadTurn:
            PyErr_Format(PyExc_ValueError, "player %d: a turn has 1 to %d actions", e.player,
                         game::tet::MAX_TURN_ACTIONS);
            return;
        default: {
            const TetAction a = turns[e.player][static_cast<std::size_t>(e.action_index)];
            PyErr_Format(PyExc_ValueError, "player %d: %s (action %d of the turn) refused: %s",
                         e.player, game::tet::name(a), e.action_index + 1,
                         e.error.message().c_str());
            return;
        }
    }
}

// Match(seed_a, seed_b, attack='engine', delay=0, max_steps=0, step_us=16667)
PyObject* match_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"seed_a", "seed_b", "attack", "delay", "max_steps",
                                       "step_us", nullptr};
        Py_buffer a, b;
        const char* attack = "engine";
        Py_ssize_t delay = 0, max_steps = 0;
        long long step_us = game::tet::MatchOptions{}.step_us;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*y*|snnL:Match",
                                         const_cast<char**>(kwlist), &a, &b, &attack, &delay,
                                         &max_steps, &step_us))
            return nullptr;
        struct Release {
            Py_buffer *a, *b;
            ~Release() {
                PyBuffer_Release(a);
                PyBuffer_Release(b);
            }
        } release{&a, &b};
        game::tet::GameSeed seed_a, seed_b;
        game::tet::MatchOptions o;
        if (!convert_seed_record(a, "seed_a", seed_a) ||
            !convert_seed_record(b, "seed_b", seed_b) || !parse_attack(attack, o.attack))
            return nullptr;
        if (!check_range(delay, 0, game::tet::MAX_GARBAGE_DELAY, "delay", " pieces"))
            return nullptr;
        if (!check_range(max_steps, 0, UINT32_MAX, "max_steps")) return nullptr;
        constexpr long long MAX_STEP_US = 60LL * 60 * 1000 * 1000;  // an hour
        if (!check_range(step_us, 0, MAX_STEP_US, "step_us")) return nullptr;
        o.delay = static_cast<std::uint8_t>(delay);
        o.max_steps = static_cast<std::uint32_t>(max_steps);
        o.step_us = step_us;

        PyRef self = PyRef::steal(tp->tp_alloc(tp, 0));
        if (!self) return nullptr;
        auto* m = reinterpret_cast<MatchObject*>(self.get());
        m->log = new game::tet::MatchLog();
        m->match = new game::tet::Match(game::tet::Match::start(seed_a, seed_b, o, m->log));
        return self.release();
    });
}

void match_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<MatchObject*>(self);
    delete m->match;
    delete m->log;
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

// Steps the match with the converted turns; None, or an exception for a refused step.
PyObject* step_turns(PyObject* self, const std::vector<TetAction>* turns) {
    auto* m = reinterpret_cast<MatchObject*>(self);
    const game::tet::MatchError e = m->match->step(turns[0], turns[1], m->log);
    if (!e.ok()) {
        raise_match_error(e, turns);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// step($self, turn_a, turn_b): each turn an action index or a sequence of them.
PyObject* match_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "step() takes 2 arguments (%zd given)", nargs);
            return nullptr;
        }
        if (match_of(self).over()) {
            PyErr_SetString(PyExc_RuntimeError, "the match is over");
            return nullptr;
        }
        std::vector<TetAction> turns[2];
        for (int p = 0; p < 2; ++p)
            if (!convert_turn(args[p], p, turns[p])) return nullptr;
        return step_turns(self, turns);
    });
}

// step_chains($self, chain_a, chain_b): each player plays a move chain by its index.
PyObject* match_step_chains(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "step_chains() takes 2 arguments (%zd given)", nargs);
            return nullptr;
        }
        if (match_of(self).over()) {
            PyErr_SetString(PyExc_RuntimeError, "the match is over");
            return nullptr;
        }
        std::vector<TetAction> turns[2];
        for (int p = 0; p < 2; ++p) {
            const long c = PyLong_AsLong(args[p]);
            if (c == -1 && PyErr_Occurred()) return nullptr;
            if (c < 0 || c >= PLACEMENT_ACTION_NB) {
                PyErr_Format(PyExc_ValueError, "player %d: chain %ld is out of range 0..%d", p,
                             c, PLACEMENT_ACTION_NB - 1);
                return nullptr;
            }
            const auto view = game::tet::chain_table()[static_cast<std::size_t>(c)].view();
            turns[p].assign(view.begin(), view.end());
        }
        return step_turns(self, turns);
    });
}

// The player index of `arg` (0 or 1), or -1 with IndexError/TypeError set.
int player_arg(PyObject* arg) {
    const long p = PyLong_AsLong(arg);
    if (p == -1 && PyErr_Occurred()) return -1;
    if (p != 0 && p != 1) {
        PyErr_Format(PyExc_IndexError, "player must be 0 or 1, not %ld", p);
        return -1;
    }
    return static_cast<int>(p);
}

PyObject* bytes_of(const std::vector<std::uint8_t>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size()));
}

// state_bytes($self, player): the byte form of the player's state.
PyObject* match_state_bytes(PyObject* self, PyObject* arg) {
    return guarded<PyObject*>([&]() -> PyObject* {
        const int p = player_arg(arg);
        if (p < 0) return nullptr;
        return bytes_of(game::tet::encode_game_state(match_of(self).states[p]));
    });
}

// replay_bytes($self, player): the player's replay stream so far.
PyObject* match_replay_bytes(PyObject* self, PyObject* arg) {
    return guarded<PyObject*>([&]() -> PyObject* {
        const int p = player_arg(arg);
        if (p < 0) return nullptr;
        const auto& stream = reinterpret_cast<MatchObject*>(self)->log->streams[p];
        return bytes_of(game::tet::encode_replay_segments(stream));
    });
}

// placement_mask($self, player): the 96 chain flags of the player's state.
PyObject* match_placement_mask(PyObject* self, PyObject* arg) {
    return guarded<PyObject*>([&]() -> PyObject* {
        const int p = player_arg(arg);
        if (p < 0) return nullptr;
        std::int8_t mask[PLACEMENT_ACTION_NB];
        placement_mask(match_of(self).states[p], mask);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(mask), PLACEMENT_ACTION_NB);
    });
}

// key_mask($self, player): the 8 action flags of the player's state.
PyObject* match_key_mask(PyObject* self, PyObject* arg) {
    return guarded<PyObject*>([&]() -> PyObject* {
        const int p = player_arg(arg);
        if (p < 0) return nullptr;
        std::int8_t mask[KEY_ACTION_NB];
        key_mask(match_of(self).states[p], mask);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(mask), KEY_ACTION_NB);
    });
}

PyObject* stats_dict(const game::tet::PlayerStats& s, const game::tet::Match& m, int p) {
    PyRef q = PyRef::steal(PyList_New(m.queued[p].count));
    if (!q) return nullptr;
    for (int i = 0; i < m.queued[p].count; ++i) {
        const auto& e = m.queued[p].entries[static_cast<std::size_t>(i)];
        PyObject* t = Py_BuildValue("(ii)", e.lines, e.pieces_left);
        if (!t) return nullptr;
        PyList_SET_ITEM(q.get(), i, t);
    }
    return Py_BuildValue("{sIsIsIsIsIsIsisOsO}", "pieces", s.pieces, "attack", s.attack,
                         "lines_sent", s.lines_sent, "lines_cancelled", s.lines_cancelled,
                         "lines_received", s.lines_received, "lines_cleared", s.lines_cleared,
                         "incoming", m.incoming(p), "queued", q.get(), "back_to_back",
                         m.back_to_back[static_cast<std::size_t>(p)] ? Py_True : Py_False);
}

// {'steps', 'step_us', 'result' (0 running, 1 player 0 won, 2 player 1 won, 3 draw),
// 'players': (per-player dict, per-player dict)} of a match.
PyObject* match_info_dict(const game::tet::Match& m) {
    PyRef a = PyRef::steal(stats_dict(m.stats[0], m, 0));
    if (!a) return nullptr;
    PyRef b = PyRef::steal(stats_dict(m.stats[1], m, 1));
    if (!b) return nullptr;
    return Py_BuildValue("{sIsLsis(OO)}", "steps", m.steps, "step_us",
                         static_cast<long long>(m.options.step_us), "result",
                         static_cast<int>(m.result), "players", a.get(), b.get());
}

// info($self): the match's figures (match_info_dict).
PyObject* match_info(PyObject* self, PyObject*) {
    return guarded<PyObject*>([&]() -> PyObject* { return match_info_dict(match_of(self)); });
}

PyMethodDef match_methods[] = {
    {"step", CORVELLE_CFUNC(match_step), METH_FASTCALL,
     PyDoc_STR("step($self, turn_a, turn_b)\n--\n\nOne step of both players: each turn an "
               "action index or a sequence of them (a move chain, or a placement's key "
               "path). A refused action changes nothing.")},
    {"step_chains", CORVELLE_CFUNC(match_step_chains), METH_FASTCALL,
     PyDoc_STR("step_chains($self, chain_a, chain_b)\n--\n\nOne step in which each player "
               "plays a move chain by its index.")},
    {"state_bytes", CORVELLE_CFUNC(match_state_bytes), METH_O,
     PyDoc_STR("state_bytes($self, player)\n--\n\nThe byte form of a player's state.")},
    {"replay_bytes", CORVELLE_CFUNC(match_replay_bytes), METH_O,
     PyDoc_STR("replay_bytes($self, player)\n--\n\nA player's replay stream so far.")},
    {"placement_mask", CORVELLE_CFUNC(match_placement_mask), METH_O,
     PyDoc_STR("placement_mask($self, player)\n--\n\nThe 96 chain flags of a player's state.")},
    {"key_mask", CORVELLE_CFUNC(match_key_mask), METH_O,
     PyDoc_STR("key_mask($self, player)\n--\n\nThe 8 action flags of a player's state.")},
    {"info", CORVELLE_CFUNC(match_info), METH_NOARGS,
     PyDoc_STR("info($self)\n--\n\nSteps, step time, result and per-player garbage "
               "counts.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot match_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Match(seed_a, seed_b, attack='engine', delay=0, max_steps=0, "
                    "step_us=16667)\n--\n\n"
                    "Two games stepped in lock-step with garbage sent between them.")},
    {Py_tp_new, reinterpret_cast<void*>(match_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(match_dealloc)},
    {Py_tp_methods, match_methods},
    {0, nullptr},
};

PyType_Spec match_spec = {
    .name = "corvelle._batch.Match",
    .basicsize = sizeof(MatchObject),
    .itemsize = 0,
    .flags = CORVELLE_TYPE_FLAGS,
    .slots = match_slots,
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

// The eight action names as interned strings, made once per call.
struct ActionNames {
    PyRef names[game::tet::ACTION_NB];
    bool make() {
        for (int a = 0; a < game::tet::ACTION_NB; ++a) {
            names[a] = PyRef::steal(
                PyUnicode_InternFromString(game::tet::name(game::tet::action_from_index(a))));
            if (!names[a]) return false;
        }
        return true;
    }
};

// Placement i of `list` as Python sees it: (keys, hold, kind, rotation, row, column, spin,
// lines, code), keys a tuple of action names. A new reference, or NULL with an exception set.
PyObject* placement_tuple(const game::tet::PlacementList& list, int i, const ActionNames& names) {
    const game::tet::Placement& p = list.items[static_cast<std::size_t>(i)];
    std::vector<game::tet::TetAction> keys(p.key_nb);
    list.keys(i, keys.data());
    PyRef key_tuple = PyRef::steal(PyTuple_New(p.key_nb));
    if (!key_tuple) return nullptr;
    for (int k = 0; k < p.key_nb; ++k) {
        PyObject* n = names.names[game::tet::index(keys[static_cast<std::size_t>(k)])].get();
        Py_INCREF(n);
        PyTuple_SET_ITEM(key_tuple.get(), k, n);
    }
    return Py_BuildValue("(OOiiiiiii)", key_tuple.get(), p.hold ? Py_True : Py_False,
                         game::tet::index(p.kind), game::rot::index(p.rs), p.row, p.col,
                         static_cast<int>(p.spin), p.lines, placement_code(p));
}

// afterstates($module, state, moves="chains"): what each action leaves (write_afterstates) as
// bytes of float32, one row of AFTERSTATE_FEATURE_NB per action.
PyObject* module_afterstates(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"state", "moves", nullptr};
        Py_buffer data;
        const char* moves = "chains";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|s:afterstates", const_cast<char**>(kwlist),
                                         &data, &moves))
            return nullptr;
        game::tet::GameState s;
        if (!decode_state(data, s)) return nullptr;
        const std::string_view m(moves);
        if (m != "chains" && m != "all") {
            PyErr_SetString(PyExc_ValueError, "moves must be 'chains' or 'all'");
            return nullptr;
        }
        const Mode mode = m == "all" ? Mode::AllPlacements : Mode::Placement;
        const Py_ssize_t size =
            static_cast<Py_ssize_t>(action_nb(mode)) * AFTERSTATE_FEATURE_NB * sizeof(float);
        PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, size));
        if (!out) return nullptr;
        write_afterstates(s, mode, reinterpret_cast<float*>(PyBytes_AS_STRING(out.get())));
        return out.release();
    });
}

// step_reward($module, reward, before, after): the reward of a step between two states given
// in their byte form, as a Batch of that reward kind counts it.
PyObject* module_step_reward(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"reward", "before", "after", nullptr};
        const char* reward_text = nullptr;
        Py_buffer before_data, after_data;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sy*y*:step_reward",
                                         const_cast<char**>(kwlist), &reward_text, &before_data,
                                         &after_data))
            return nullptr;
        // decode_state releases the buffer it reads, so each is decoded before any check fails.
        game::tet::GameState before, after;
        if (!decode_state(before_data, before)) {
            PyBuffer_Release(&after_data);
            return nullptr;
        }
        RewardKind kind;
        if (!decode_state(after_data, after) || !parse_reward(reward_text, kind)) return nullptr;
        return PyFloat_FromDouble(step_reward(kind, before, after));
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
        ActionNames names;
        if (!names.make()) return nullptr;
        PyRef out = PyRef::steal(PyList_New(list.count));
        if (!out) return nullptr;
        for (int i = 0; i < list.count; ++i) {
            PyObject* entry = placement_tuple(list, i, names);
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

// ---- The beam search bot ------------------------------------------------------------------

// The search of the calling thread, made on first use and kept (its buffers are large).
game::bot::BeamSearch& thread_beam() {
    thread_local std::unique_ptr<game::bot::BeamSearch> beam;
    if (!beam) beam = std::make_unique<game::bot::BeamSearch>();
    return *beam;
}

// A weight set from a name or from a dict of weights by name (those left out from the
// default set); false with ValueError or TypeError set.
bool beam_weights_of(PyObject* weights, game::bot::BeamWeights& out) {
    out = *game::bot::beam_weights("default");
    if (PyUnicode_Check(weights)) {
        const char* name = PyUnicode_AsUTF8(weights);
        if (!name) return false;
        const game::bot::BeamWeights* w = game::bot::beam_weights(name);
        if (!w) {
            std::string known;
            for (const auto n : game::bot::beam_weight_names())
                known += (known.empty() ? "" : ", ") + std::string(n);
            PyErr_Format(PyExc_ValueError, "unknown weights '%s': choose one of %s", name,
                         known.c_str());
            return false;
        }
        out = *w;
        return true;
    }
    if (!PyDict_Check(weights)) {
        PyErr_Format(PyExc_TypeError, "weights must be a name or a dict, not %s",
                     Py_TYPE(weights)->tp_name);
        return false;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(weights, &pos, &key, &value)) {
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        int found = -1;
        for (int i = 0; name && i < game::bot::BEAM_WEIGHT_NB; ++i)
            if (game::bot::BEAM_WEIGHT_NAMES[static_cast<std::size_t>(i)] == name) found = i;
        if (found < 0) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "unknown weight %R", key);
            return false;
        }
        const double v = PyFloat_AsDouble(value);
        if (v == -1.0 && PyErr_Occurred()) return false;
        game::bot::weight_at(out, found) = static_cast<float>(v);
    }
    return true;
}

// beam_weights($module, name): the weights of a named set as a dict.
PyObject* module_beam_weights(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"name", nullptr};
        PyObject* name = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:beam_weights",
                                         const_cast<char**>(kwlist), &name))
            return nullptr;
        game::bot::BeamWeights w;
        if (!beam_weights_of(name, w)) return nullptr;
        PyRef out = PyRef::steal(PyDict_New());
        if (!out) return nullptr;
        for (int i = 0; i < game::bot::BEAM_WEIGHT_NB; ++i) {
            PyRef v = PyRef::steal(PyFloat_FromDouble(game::bot::weight_at(w, i)));
            const std::string key(game::bot::BEAM_WEIGHT_NAMES[static_cast<std::size_t>(i)]);
            if (!v || PyDict_SetItemString(out.get(), key.c_str(), v.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

// The settings of a beam search from its arguments; false with ValueError, TypeError or
// OverflowError set for one out of range.
bool beam_settings(int width, int depth, PyObject* weights, PyObject* seed, int incoming,
                   int back_to_back, int max_keys, game::bot::BeamSettings& out) {
    if (width < 1 || width > game::bot::MAX_BEAM_WIDTH) {
        PyErr_Format(PyExc_ValueError, "width must lie in 1..%d, not %d",
                     game::bot::MAX_BEAM_WIDTH, width);
        return false;
    }
    if (depth < 1 || depth > game::bot::MAX_BEAM_DEPTH) {
        PyErr_Format(PyExc_ValueError, "depth must lie in 1..%d, not %d",
                     game::bot::MAX_BEAM_DEPTH, depth);
        return false;
    }
    if (weights && !beam_weights_of(weights, out.weights)) return false;
    if (incoming < 0 || max_keys < 0) {
        PyErr_SetString(PyExc_ValueError, "incoming and max_keys must be 0 or more");
        return false;
    }
    std::uint64_t seed_value = 0;
    if (seed) {
        if (!PyLong_Check(seed)) {
            PyErr_Format(PyExc_TypeError, "seed must be an int, not %s", Py_TYPE(seed)->tp_name);
            return false;
        }
        seed_value = PyLong_AsUnsignedLongLong(seed);
        if (PyErr_Occurred()) {
            PyErr_SetString(PyExc_OverflowError, "seed must lie in 0..2**64 - 1");
            return false;
        }
    }
    out.width = width;
    out.depth = depth;
    out.seed = seed_value;
    out.incoming = incoming;
    out.back_to_back = back_to_back != 0;
    out.max_keys = max_keys;
    return true;
}

// beam_move($module, state, width=16, depth=6, weights='default', seed=0, incoming=0,
// back_to_back=False, max_keys=0): the beam search's placement for a state given in its byte
// form, as placements() gives it, or None when the state has none.
PyObject* module_beam_move(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"state",    "width",        "depth",    "weights", "seed",
                                       "incoming", "back_to_back", "max_keys", nullptr};
        Py_buffer data;
        int width = 16, depth = 6, incoming = 0, back_to_back = 0, max_keys = 0;
        PyObject* weights = nullptr;
        PyObject* seed = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|$iiOOipi:beam_move",
                                         const_cast<char**>(kwlist), &data, &width, &depth,
                                         &weights, &seed, &incoming, &back_to_back, &max_keys))
            return nullptr;
        game::bot::BeamSettings settings;
        if (!beam_settings(width, depth, weights, seed, incoming, back_to_back, max_keys, settings)) {
            PyBuffer_Release(&data);
            return nullptr;
        }
        game::tet::GameState state;
        if (!decode_state(data, state)) return nullptr;
        game::bot::BeamSearch& beam = thread_beam();
        const game::bot::BeamChoice choice = beam.choose(state, settings);
        if (choice.index < 0) Py_RETURN_NONE;
        ActionNames names;
        if (!names.make()) return nullptr;
        return placement_tuple(beam.root_placements(), choice.index, names);
    });
}

// beam_play($module, state, pieces, width=16, depth=6, weights='default', seed=0): the beam
// search playing up to `pieces` placements from a state given in its byte form, each key at
// time 0: (byte form of the last state, figures) with the figures pieces, lines, attack (the
// guideline table), t_spins (T-spin and mini T-spin clears), back_to_back (back-to-back
// clears), longest_back_to_back (the longest run of them) and max_combo.
PyObject* module_beam_play(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"state", "pieces", "width", "depth",
                                       "weights", "seed", nullptr};
        Py_buffer data;
        Py_ssize_t pieces = 0;
        int width = 16, depth = 6;
        PyObject* weights = nullptr;
        PyObject* seed = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*n|$iiOO:beam_play",
                                         const_cast<char**>(kwlist), &data, &pieces, &width,
                                         &depth, &weights, &seed))
            return nullptr;
        game::bot::BeamSettings settings;
        if (!beam_settings(width, depth, weights, seed, 0, 0, 0, settings)) {
            PyBuffer_Release(&data);
            return nullptr;
        }
        if (pieces < 0) {
            PyBuffer_Release(&data);
            PyErr_Format(PyExc_ValueError, "pieces must be 0 or more, not %zd", pieces);
            return nullptr;
        }
        game::tet::GameState state;
        if (!decode_state(data, state)) return nullptr;
        game::bot::BeamSearch& beam = thread_beam();
        long long played = 0, lines = 0, attack = 0, spins = 0, b2b = 0, run = 0, longest = 0,
                  max_combo = 0;
        bool chain = state.is_b2b;
        std::vector<game::tet::TetAction> keys;
        while (played < pieces && !state.is_over()) {
            if (PyErr_CheckSignals() < 0) return nullptr;  // Ctrl-C ends a long run
            const game::bot::BeamChoice choice = beam.choose(state, settings);
            if (choice.index < 0) break;
            const game::tet::PlacementList& list = beam.root_placements();
            keys.resize(list.items[static_cast<std::size_t>(choice.index)].key_nb);
            list.keys(choice.index, keys.data());
            for (const game::tet::TetAction a : keys) {
                auto next = state.try_action(a, 0);
                if (next.failed()) {
                    PyErr_Format(PyExc_RuntimeError, "the engine refused %s of the beam's keys: %s",
                                 game::tet::name(a), next.error.message().c_str());
                    return nullptr;
                }
                game::tet::LockOutcome o;
                if (game::tet::lock_outcome(state, a, next.value, chain, o)) {
                    ++played;
                    lines += o.lines;
                    attack += game::tet::attack_of(game::tet::AttackTable::Guideline, o);
                    spins += o.lines > 0 && o.kind == game::tet::Tet::T && (o.t_spin || o.t_mini_spin);
                    if (o.lines > 0) run = o.back_to_back ? run + 1 : 0;
                    b2b += o.back_to_back;
                    longest = std::max(longest, run);
                    max_combo = std::max<long long>(max_combo, o.combo);
                }
                state = next.value;
            }
        }
        const std::vector<std::uint8_t> bytes = game::tet::encode_game_state(state);
        return Py_BuildValue("(y#{sLsLsLsLsLsLsL})", reinterpret_cast<const char*>(bytes.data()),
                             static_cast<Py_ssize_t>(bytes.size()), "pieces", played, "lines",
                             lines, "attack", attack, "t_spins", spins, "back_to_back", b2b,
                             "longest_back_to_back", longest, "max_combo", max_combo);
    });
}

// A writable C-contiguous buffer of exactly `bytes` bytes, released on scope exit.
struct OutBuffer {
    Py_buffer view{};
    bool held = false;
    ~OutBuffer() {
        if (held) PyBuffer_Release(&view);
    }
    bool get(PyObject* o, const char* name, std::size_t bytes) {
        if (PyObject_GetBuffer(o, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return false;
        held = true;
        if (static_cast<std::size_t>(view.len) != bytes) {
            PyErr_Format(PyExc_ValueError, "%s must be a writable buffer of %zu bytes, not %zd",
                         name, bytes, view.len);
            return false;
        }
        return true;
    }
    template <class T>
    T* at(std::size_t k, std::size_t per_state) const {
        return static_cast<T*>(view.buf) + k * per_state;
    }
};

// observations($module, states, board, piece, next, hold, counters, hidden_rows=0): decodes
// every state of `states` (a sequence of byte forms) and writes its observation, as a batch
// game shows it, into row k of the five C-contiguous output buffers.
PyObject* module_observations(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>([&]() -> PyObject* {
        static const char* kwlist[] = {"states", "board", "piece", "next", "hold", "counters",
                                       "hidden_rows", nullptr};
        PyObject *states_obj, *board_obj, *piece_obj, *next_obj, *hold_obj, *counters_obj;
        int hidden_rows = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|i:observations",
                                         const_cast<char**>(kwlist), &states_obj, &board_obj,
                                         &piece_obj, &next_obj, &hold_obj, &counters_obj,
                                         &hidden_rows))
            return nullptr;
        if (!check_hidden_rows(hidden_rows)) return nullptr;
        const int board_rows = VISIBLE_ROWS + hidden_rows;
        PyRef states = PyRef::steal(PySequence_Fast(states_obj, "states must be a sequence"));
        if (!states) return nullptr;
        const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(states.get()));
        const std::size_t BOARD = static_cast<std::size_t>(board_rows) * COLS;
        constexpr std::size_t PIECE = 4, NEXT = 5, HOLD = 2, COUNTERS = 4;
        OutBuffer board, piece, next, hold, counters;
        if (!board.get(board_obj, "board", n * BOARD) || !piece.get(piece_obj, "piece", n * PIECE) ||
            !next.get(next_obj, "next", n * NEXT) || !hold.get(hold_obj, "hold", n * HOLD) ||
            !counters.get(counters_obj, "counters", n * COUNTERS * sizeof(std::int32_t)))
            return nullptr;
        PyObject** items = PySequence_Fast_ITEMS(states.get());
        game::tet::GameState state;
        for (std::size_t k = 0; k < n; ++k) {
            PyObject* item = items[k];
            std::span<const std::uint8_t> bytes;
            Py_buffer view;
            bool viewed = false;
            if (PyBytes_Check(item)) {
                bytes = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item)),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(item))};
            } else {
                if (PyObject_GetBuffer(item, &view, PyBUF_C_CONTIGUOUS) < 0) {
                    PyErr_Clear();
                    PyErr_Format(PyExc_TypeError,
                                 "states[%zu] must be a bytes-like byte form, not %.100s", k,
                                 Py_TYPE(item)->tp_name);
                    return nullptr;
                }
                viewed = true;
                bytes = {static_cast<const std::uint8_t*>(view.buf),
                         static_cast<std::size_t>(view.len)};
            }
            const auto decoded = game::tet::decode_game_state(bytes);
            if (viewed) PyBuffer_Release(&view);
            if (!decoded.ok()) {
                PyErr_Format(PyExc_ValueError, "states[%zu]: %s", k,
                             decoded.error.display().c_str());
                return nullptr;
            }
            write_observation(decoded.value,
                              {board.at<std::int8_t>(k, BOARD), piece.at<std::int8_t>(k, PIECE),
                               next.at<std::int8_t>(k, NEXT), hold.at<std::int8_t>(k, HOLD),
                               counters.at<std::int32_t>(k, COUNTERS), board_rows});
        }
        Py_RETURN_NONE;
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
    {"afterstates", CORVELLE_CFUNC(module_afterstates), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("afterstates($module, state, moves='chains')\n--\n\n"
               "What each action leaves on the state of byte form `state`: bytes of float32, one "
               "row of 8 per action (96 chains, or every placement code with moves='all'): lines "
               "cleared, holes, height, aggregate height, bumpiness, well depth, row transitions, "
               "topped out. Rows of actions the state does not take are zero.")},
    {"step_reward", CORVELLE_CFUNC(module_step_reward), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("step_reward($module, reward, before, after)\n--\n\n"
               "The reward of a step between two states given in their byte form, as a Batch "
               "of reward kind `reward` ('score', 'lines' or 'shaped') counts it.")},
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
    {"beam_move", CORVELLE_CFUNC(module_beam_move), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("beam_move($module, state, *, width=16, depth=6, weights='default', seed=0, "
               "incoming=0, back_to_back=False, max_keys=0)\n--\n\n"
               "The beam search's placement for a state given in its byte form, as "
               "placements() lists it: (keys, hold, kind, rotation, row, column, spin, lines, "
               "code); None when the state has none. width: positions kept per level; depth: "
               "placements looked ahead; weights: a named weight set, or a dict of weights by name "
               "(those left out from 'default'); seed: draws among "
               "placements of equal value; incoming: garbage queued against the player outside "
               "the state; back_to_back: the player's last clear was difficult; max_keys: the "
               "longest key path of any placement searched (0: any).")},
    {"beam_weights", CORVELLE_CFUNC(module_beam_weights), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("beam_weights($module, name)\n--\n\n"
               "The weights of the beam search's named weight set `name`, as a dict by weight "
               "name.")},
    {"beam_play", CORVELLE_CFUNC(module_beam_play), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("beam_play($module, state, pieces, *, width=16, depth=6, weights='default', "
               "seed=0)\n--\n\n"
               "The beam search playing up to `pieces` placements from a state given in its "
               "byte form, each key at time 0: (byte form of the last state, figures), the "
               "figures a dict of pieces, lines, attack (guideline table), t_spins, "
               "back_to_back, longest_back_to_back and max_combo.")},
    {"observations", CORVELLE_CFUNC(module_observations), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("observations($module, states, board, piece, next, hold, counters, "
               "hidden_rows=0)\n--\n\n"
               "Writes the observation of every state of `states` (byte forms) into row k of "
               "the five writable C-contiguous buffers: board int8 [n, 20 + hidden_rows, 10], "
               "piece int8 [n, 4], next int8 [n, 5], hold int8 [n, 2], counters int32 [n, 4].")},
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
    st->match_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(m, &match_spec, nullptr));
    if (!st->match_type) return -1;
    if (PyModule_AddType(m, st->match_type) < 0) return -1;
    st->versus_batch_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(m, &versus_batch_spec, nullptr));
    if (!st->versus_batch_type) return -1;
    if (PyModule_AddType(m, st->versus_batch_type) < 0) return -1;
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
    Py_VISIT(st->match_type);
    Py_VISIT(st->versus_batch_type);
    return 0;
}

int module_clear(PyObject* m) {
    ModuleState* st = module_state(m);
    Py_CLEAR(st->batch_type);
    Py_CLEAR(st->match_type);
    Py_CLEAR(st->versus_batch_type);
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
    .m_doc = "Many games stepped in one call, outside the interpreter lock; two-player matches, one\n"
             "at a time or many at once; and what the package reads from the engine one state at a\n"
             "time: a state's placement mask, every placement with its key path, the state a key\n"
             "path leads to, the chains tied for a bot's choice, the beam search bot's placement and\n"
             "games, observations of stored states, and the piece shapes.",
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

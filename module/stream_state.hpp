// The streaming classes of quorvane_stream: one template over a traits type
// per indicator, which names the core states, the periods and the arrays.
//
// An object holds either a single-series state or a universe (`width=N`).
// Its storage is read only under the object's own lock, and a call takes
// that lock only after its arguments are converted: conversion may run
// Python code (__float__, __len__, __index__) that uses the object again,
// even replaces its state through __setstate__, and another thread may
// replace it meanwhile. So a call reads the kind and width first, from an
// atomic word and without the lock, only to know how to read its arguments,
// and under the lock checks that the state is still of that kind and width,
// refusing the call when it is not. No Python code runs under the lock (a collection started
// there could run a finaliser that waits for the same lock): results and
// errors are made after it is given back. Errors are values until the method
// raises.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "call_error.hpp"
#include "described.hpp"
#include "frame.hpp"
#include "numpy_arrays.hpp"
#include "owned_ref.hpp"
#include "quorvane/stream.hpp"
#include "text.hpp"

namespace quorvane::module::stream {

// A section that holds an object's lock with the interpreter lock released
// (long work, or a wait for the lock). A fork waits until none is left, so
// that no object's lock is held by a thread the child will not have.
void enter_unlocked_section() noexcept;
void leave_unlocked_section() noexcept;
// Makes forks wait for those sections; once per process, at import.
Status wait_for_sections_at_fork() noexcept;

// Runs `work`, which touches no Python object, holding `lock`. Short work
// (`release` false) keeps the interpreter lock when `lock` is free at once;
// long work, and any wait for `lock`, run with it released. `lock` is given
// back before the interpreter lock is taken again: a fork holds the
// interpreter lock while it waits for the section to end.
template <class Work>
void under_lock(std::mutex& lock, bool release, Work&& work) noexcept {
    if (!release && lock.try_lock()) {
        work();
        lock.unlock();
        return;
    }
    enter_unlocked_section();
    PyThreadState* const thread = PyEval_SaveThread();
    lock.lock();
    work();
    lock.unlock();
    leave_unlocked_section();
    PyEval_RestoreThread(thread);
}

// How a call's section ended.
enum class Outcome : unsigned char {
    done,
    no_memory,
    now_universe,  // the arguments were read for a single series
    now_single,    // the arguments were read for a universe
    other_width,   // the arrays were checked against another width
};

// The error of an outcome other than `done`, for `method`.
CallError refusal(Outcome outcome, const char* method) noexcept;

// The floats of update(x) or update(high, low, close), positional only.
Status parse_floats(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<double> values, std::span<const char* const> names) noexcept;

// The constructor's periods and width (none: a single series). The last
// parameters may be numbers, each at least its value in `reals` (see
// descriptor.hpp), kept in `periods` as the words of their bits.
struct Construction {
    std::array<Period, 3> periods{};
    bool universe = false;
    std::size_t width = 0;
};
Result<Construction> parse_construction(const char* type_name, std::span<const char* const> names,
                                        std::span<const double> reals, PyObject* args,
                                        PyObject* kwds) noexcept;

// A universe's arrays: contiguous, `width` elements each, outputs writeable.
Status check_universe_arrays(const Arguments& arguments, std::size_t inputs, std::size_t outputs,
                             std::size_t width) noexcept;

// update_many on a universe.
CallError universe_has_no_update_many() noexcept;

// The lanes of reset(lanes) on a universe `width` wide, converted: indices
// into `into` (std::malloc'ed, taken over by the caller), their count.
Result<std::size_t> parse_lanes(PyObject* lanes, std::size_t width, std::uint64_t*& into) noexcept;
CallError single_has_no_lanes() noexcept;

// A new float64 array of each row of `rows` values: one array, or a tuple.
PyObject* arrays_of(const double* values, std::size_t rows, std::size_t count) noexcept;

PyObject* to_python(double value) noexcept;
PyObject* to_python(const MacdValues& values) noexcept;
// A tuple of floats.
PyObject* to_python(std::span<const double> values) noexcept;
template <std::size_t N>
PyObject* to_python(const std::array<double, N>& values) noexcept {
    return to_python(std::span<const double>(values));
}
CallError no_memory() noexcept;
CallError bad_state() noexcept;

// The result of a method made under its call guard: raised, or returned.
PyObject* finish(Result<OwnedRef> result) noexcept;

// (type(self), periods, bytes), taking over `bytes` (std::malloc'ed).
PyObject* reduce_value(PyObject* self, std::span<const Period> periods, std::size_t reals,
                       unsigned char* bytes, std::size_t size) noexcept;

// "Name(period=..., seen=...)", with the width of a universe.
PyObject* describe(const char* name, std::span<const char* const> period_names, std::size_t reals,
                   const std::array<Period, 3>& periods, bool universe, std::size_t width,
                   Position seen) noexcept;

// A number parameter's value, as a float.
PyObject* number_of(Period word) noexcept;

// Runs `body` (returning Result<OwnedRef>) inside the call guard, which turns
// a call back in beyond the limit into RecursionError, and raises its error,
// if any, after leaving it.
template <class Body>
PyObject* guarded(const char* where, Body&& body) noexcept {
    std::optional<Result<OwnedRef>> result;
    {
        const EnteredCall call(where);
        if (!call.entered()) {
            return nullptr;
        }
        result.emplace(body());
    }
    return finish(std::move(*result));
}

inline constexpr const char* updating = " while updating a stream";

// The NUL-terminated names of a descriptor's list, for messages.
template <std::size_t N>
constexpr std::array<const char*, N> c_names(const std::array<std::string_view, N>& names) {
    std::array<const char*, N> pointers{};
    for (std::size_t k = 0; k < N; ++k) {
        pointers[k] = names[k].data();
    }
    return pointers;
}

// What a streaming class is made of, derived from the indicator's descriptor.
template <class D>
struct StreamTraits {
    using Single = typename D::Single;
    using Universe = typename D::Universe;
    static constexpr std::size_t inputs = D::inputs.size();
    static constexpr std::size_t outputs = D::outputs.size();
    using Periods = std::array<Period, descriptor::max_periods>;
    static constexpr auto period_count = std::make_index_sequence<D::periods.size()>();

    // What Single::update returns.
    template <std::size_t... I>
    static auto peeked(std::index_sequence<I...>)
        -> decltype(std::declval<const Single&>().peek((static_cast<void>(I), 0.0)...));
    using Value = decltype(peeked(std::make_index_sequence<inputs>()));

    static constexpr const char* name = D::class_name.data();
    static constexpr auto period_names = c_names(D::periods);
    static constexpr auto value_names = c_names(D::values);
    static constexpr bool releases_lock = D::stream_unlocked;
    // The least value of each number parameter (the last ones).
    static constexpr auto reals = [] {
        if constexpr (descriptor::real_count<D>() == 0) {
            return std::array<double, 0>{};
        } else {
            return D::reals;
        }
    }();

    static constexpr auto qualified_name = text<[](TextWriter& out) {
        out << "quorvane_stream." << D::class_name;
    }>;
    static constexpr auto doc = text<[](TextWriter& out) {
        out << D::class_name << "(";
        out.list(D::periods) << (D::periods.empty() ? "" : ", ") << "*, width=None)\n--\n\n"
                             << D::summary;
    }>;

    // One bar of a universe: its inputs ("values" when there is one), then
    // the outputs.
    static constexpr auto bar_inputs = [] {
        auto names = D::inputs;
        if (names.size() == 1) {
            names[0] = "values";
        }
        return names;
    }();
    static constexpr auto many_declaration =
        declare<inputs + outputs>("update_many", {}, D::inputs, D::outputs);
    static constexpr auto bar_declaration =
        declare<inputs + outputs>("update", {}, bar_inputs, D::outputs);
    static inline const FunctionSpec update_many_spec{{"update_many", nullptr, 0, nullptr},
                                                      many_declaration.parameters};
    static inline const FunctionSpec universe_update_spec{{"update", nullptr, 0, nullptr},
                                                          bar_declaration.parameters};
    static inline const FunctionSpec universe_peek_spec{{"peek", nullptr, 0, nullptr},
                                                        bar_declaration.parameters};

    // "float", or the outputs' names without "_output", as a tuple.
    static constexpr void write_value(TextWriter& out) {
        if (outputs == 1) {
            out << "float";
            return;
        }
        constexpr std::string_view suffix = "_output";
        out << "(";
        for (std::size_t k = 0; k < outputs; ++k) {
            std::string_view stem = D::outputs[k];
            if (stem.ends_with(suffix)) {
                stem.remove_suffix(suffix.size());
            }
            out << (k > 0 ? ", " : "") << stem;
        }
        out << ")";
    }
    static constexpr auto update_doc = text<[](TextWriter& out) {
        out << "update($self, /, *args)\n--\n\nupdate(";
        out.list(D::values) << ") -> ";
        write_value(out);
        out << " at the next position.\nWith width=N: update(";
        out.list(bar_inputs) << ", ";
        out.list(D::outputs) << ") -> None, one bar of N series.";
    }>;
    static constexpr const char* reset_doc =
        "reset($self, /, lanes=None)\n--\n\n"
        "Back to the start: the whole state, as a fresh one of the same periods (and width),\n"
        "or with lanes, an iterable of lane indices, those lanes of a universe alone.";
    static constexpr const char* peek_doc =
        "peek($self, /, *args)\n--\n\n"
        "What update would return (or write), leaving the state as it is.";
    static constexpr auto update_many_doc = text<[](TextWriter& out) {
        out << "update_many($self, /, ";
        out.list(D::inputs) << ", ";
        out.list(D::outputs) << ")\n--\n\nupdate(";
        out.list(D::values) << ") for every position of the inputs, the values written into "
                               "the outputs.";
    }>;

    // A state made from a step keeps its periods as the constructor takes
    // them; the others say through their descriptor.
    template <class State>
    static auto own_periods(const State& state) noexcept {
        if constexpr (requires {
                          {
                              state.periods()
                              } -> std::convertible_to<std::array<Period, D::periods.size()>>;
                      }) {
            return state.periods();
        } else {
            return D::periods_of(state);
        }
    }

    static Status check_periods(const Periods& p) noexcept {
        std::array<Period, D::periods.size()> own{};
        std::copy_n(p.begin(), own.size(), own.begin());
        const char* const refused = D::period_error(own);
        return refused == nullptr ? Status(success) : Status(value_error(refused));
    }
    // The batch function's checks, in its order and with its messages.
    static Status check_many(const Arguments& arguments) noexcept {
        IndicatorViews<inputs, outputs> views;
        return check_arrays<D>(arguments, 0, views);
    }

    template <std::size_t... P>
    static std::unique_ptr<Single> single(const Periods& p, std::index_sequence<P...>) noexcept {
        return std::unique_ptr<Single>(new (std::nothrow) Single(p[P]...));
    }
    static std::unique_ptr<Single> single(const Periods& p) noexcept {
        return single(p, period_count);
    }
    template <std::size_t... P>
    static std::unique_ptr<Universe> universe(const Periods& p, std::size_t width,
                                              std::index_sequence<P...>) noexcept {
        return std::unique_ptr<Universe>(new (std::nothrow) Universe(p[P]..., width));
    }
    static std::unique_ptr<Universe> universe(const Periods& p, std::size_t width) noexcept {
        return universe(p, width, period_count);
    }
    template <class State>
    static Periods periods_of(const State& state) noexcept {
        Periods periods{};
        const auto own = own_periods(state);
        std::copy(own.begin(), own.end(), periods.begin());
        return periods;
    }
};

template <class Traits>
struct StateObject {
    using Single = typename Traits::Single;
    using Universe = typename Traits::Universe;
    static constexpr std::size_t inputs = Traits::inputs;
    static constexpr std::size_t outputs = Traits::outputs;
    using Value = typename Traits::Value;  // what Single::update returns

    PyObject_HEAD std::mutex lock;
    // Exactly one of the two is set; both only under `lock`. Constructed
    // with the object and destroyed with it.
    std::unique_ptr<Single> single;
    std::unique_ptr<Universe> universe;
    // 0 for a single series, else the universe's width plus one: written
    // with the two above, under `lock`; read without it.
    std::atomic<std::size_t> shape_word;

    static StateObject* of(PyObject* self) noexcept { return reinterpret_cast<StateObject*>(self); }

    // The kind and width, read without the lock, so also while another
    // thread holds it: what the arguments are converted for. Only a hint,
    // checked again under the lock once they are, so a relaxed read will do.
    struct Shape {
        bool universe = false;
        std::size_t width = 0;
    };
    Shape shape() const noexcept {
        const std::size_t word = shape_word.load(std::memory_order_relaxed);
        return {word != 0, word != 0 ? word - 1 : 0};
    }
    static std::size_t word_of(const std::unique_ptr<Universe>& universe) noexcept {
        return universe != nullptr ? universe->width() + 1 : 0;
    }

    // Calls `call` with the given Series and OutputSeries.
    template <class Call, std::size_t... I, std::size_t... O>
    static void apply(Call&& call, const KernelInputs& in,
                      const std::array<ArrayView, outputs>& out, std::index_sequence<I...>,
                      std::index_sequence<O...>) noexcept {
        call(in[I]..., as_output(out[O])...);
    }

    // The views of converted arrays, and the Series the kernel reads.
    struct Views {
        std::array<ArrayView, outputs> out{};
        KernelInputs series;
        std::size_t count = 0;
    };
    static Status take_views(const Arguments& arguments, Views& views) noexcept {
        std::array<ArrayView, inputs> in{};
        for (std::size_t k = 0; k < inputs; ++k) {
            in[k] = array_view(arguments.array(k));
        }
        for (std::size_t k = 0; k < outputs; ++k) {
            views.out[k] = array_view(arguments.array(inputs + k));
        }
        views.count = in[0].count;
        return views.series.take(in, views.out);
    }

    static PyObject* make(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
        // Periods and width are converted by __index__, which may call back in.
        return guarded(" while making a stream", [&]() -> Result<OwnedRef> {
            Result<Construction> parsed =
                parse_construction(Traits::name, Traits::period_names, Traits::reals, args, kwds);
            if (!parsed.ok()) {
                return std::move(parsed).error();
            }
            const Construction& c = parsed.value();
            if (Status valid = Traits::check_periods(c.periods); !valid.ok()) {
                return std::move(valid).error();
            }
            OwnedRef object(type->tp_alloc(type, 0));
            if (!object) {
                return fetch_error();
            }
            StateObject* const self = of(object.get());
            new (&self->lock) std::mutex();
            new (&self->single) std::unique_ptr<Single>();
            new (&self->universe) std::unique_ptr<Universe>();
            new (&self->shape_word) std::atomic<std::size_t>(0);
            if (c.universe) {
                self->universe = Traits::universe(c.periods, c.width);
                if (self->universe == nullptr || !self->universe->allocate()) {
                    return no_memory();
                }
                self->shape_word.store(word_of(self->universe), std::memory_order_relaxed);
            } else {
                self->single = Traits::single(c.periods);
                if (self->single == nullptr) {
                    return no_memory();
                }
            }
            return object;
        });
    }

    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* const type = Py_TYPE(self);
        of(self)->single.~unique_ptr();
        of(self)->universe.~unique_ptr();
        of(self)->lock.~mutex();
        type->tp_free(self);
        Py_DECREF(type);
    }

    static PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
        return guarded(updating, [&] { return step(of(self), args, nargs, kwnames, false); });
    }

    static PyObject* peek(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
        return guarded(updating, [&] { return step(of(self), args, nargs, kwnames, true); });
    }

    // update(x...) or peek(x...) of a single series; a universe's otherwise.
    static Result<OwnedRef> step(StateObject* object, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, bool trial) noexcept {
        const char* const method = trial ? "peek" : "update";
        const Shape shape = object->shape();
        if (shape.universe) {
            if (Status done = universe_step(object, shape.width, args, nargs, kwnames, trial);
                !done.ok()) {
                return std::move(done).error();
            }
            return OwnedRef::borrow(Py_None);
        }
        std::array<double, inputs> x{};
        if (Status parsed = parse_floats(method, args, nargs, kwnames, x, Traits::value_names);
            !parsed.ok()) {
            return std::move(parsed).error();
        }
        Value value{};
        Outcome outcome = Outcome::done;
        under_lock(object->lock, false, [&] {
            Single* const single = object->single.get();
            if (single == nullptr) {
                outcome = Outcome::now_universe;
            } else if (trial) {
                value = std::apply([&](auto... v) { return single->peek(v...); }, x);
            } else if (!single->prepare(1)) {
                outcome = Outcome::no_memory;
            } else {
                value = std::apply([&](auto... v) { return single->update(v...); }, x);
            }
        });
        if (outcome != Outcome::done) {
            return refusal(outcome, method);
        }
        OwnedRef made(to_python(value));
        if (!made) {
            return fetch_error();
        }
        return made;
    }

    // update(values..., outputs...) of a universe `width` wide, or peek(...),
    // which runs a copy of it.
    static Status universe_step(StateObject* object, std::size_t width, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, bool trial) noexcept {
        const FunctionSpec& spec =
            trial ? Traits::universe_peek_spec : Traits::universe_update_spec;
        Arguments arguments;
        if (Status converted = convert_arguments(spec, args, nargs, kwnames, arguments);
            !converted.ok()) {
            return converted;
        }
        if (Status checked = check_universe_arrays(arguments, inputs, outputs, width);
            !checked.ok()) {
            return checked;
        }
        Views views;
        if (Status taken = take_views(arguments, views); !taken.ok()) {
            return taken;
        }
        Outcome outcome = Outcome::done;
        under_lock(object->lock, Traits::releases_lock, [&] {
            Universe* const universe = object->universe.get();
            if (universe == nullptr) {
                outcome = Outcome::now_single;
                return;
            }
            if (universe->width() != width) {
                outcome = Outcome::other_width;
                return;
            }
            Universe* target = universe;
            std::unique_ptr<Universe> copy;
            if (trial) {
                copy = Traits::universe(Traits::periods_of(*universe), width);
                if (copy == nullptr || !copy->assign(*universe)) {
                    outcome = Outcome::no_memory;
                    return;
                }
                target = copy.get();
            }
            if (!target->prepare(1)) {
                outcome = Outcome::no_memory;
            } else {
                apply([&](auto... series) { target->update(series...); }, views.series, views.out,
                      std::make_index_sequence<inputs>(), std::make_index_sequence<outputs>());
            }
        });
        if (outcome != Outcome::done) {
            return refusal(outcome, spec.name());
        }
        return success;
    }

    static PyObject* update_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
        return guarded(updating, [&]() -> Result<OwnedRef> {
            if (Status done = run_many(of(self), args, nargs, kwnames); !done.ok()) {
                return std::move(done).error();
            }
            return OwnedRef::borrow(Py_None);
        });
    }

    static Status run_many(StateObject* object, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
        if (object->shape().universe) {
            return universe_has_no_update_many();
        }
        Arguments arguments;
        if (Status converted =
                convert_arguments(Traits::update_many_spec, args, nargs, kwnames, arguments);
            !converted.ok()) {
            return converted;
        }
        // The batch function's checks, in its order and with its messages.
        if (Status checked = Traits::check_many(arguments); !checked.ok()) {
            return checked;
        }
        Views views;
        if (Status taken = take_views(arguments, views); !taken.ok()) {
            return taken;
        }
        Outcome outcome = Outcome::done;
        under_lock(object->lock, Traits::releases_lock, [&] {
            Single* const single = object->single.get();
            if (single == nullptr) {
                outcome = Outcome::now_universe;
            } else if (!single->prepare(views.count)) {
                outcome = Outcome::no_memory;
            } else {
                apply([&](auto... series) { single->run(series...); }, views.series, views.out,
                      std::make_index_sequence<inputs>(), std::make_index_sequence<outputs>());
            }
        });
        if (outcome != Outcome::done) {
            return refusal(outcome, "update_many");
        }
        return success;
    }

    // reset(): a fresh state of the same periods and width in this one's
    // place, made before it is taken, so the state is whole on every path.
    // reset(lanes): those lanes of a universe back to their start.
    static PyObject* reset(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
        return guarded(updating, [&]() -> Result<OwnedRef> {
            PyObject* lanes = nullptr;
            static const char* keywords[] = {"lanes", nullptr};
            if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:reset", const_cast<char**>(keywords),
                                             &lanes)) {
                return fetch_error();
            }
            Status done = lanes == nullptr || lanes == Py_None ? reset_all(of(self))
                                                               : reset_lanes(of(self), lanes);
            if (!done.ok()) {
                return std::move(done).error();
            }
            return OwnedRef::borrow(Py_None);
        });
    }

    static Status reset_all(StateObject* object) noexcept {
        std::unique_ptr<Single> single;
        std::unique_ptr<Universe> universe;
        bool made = true;
        under_lock(object->lock, false, [&] {
            if (object->single != nullptr) {
                single = Traits::single(Traits::periods_of(*object->single));
                made = single != nullptr;
            } else {
                universe = Traits::universe(Traits::periods_of(*object->universe),
                                            object->universe->width());
                made = universe != nullptr && universe->allocate();
            }
            if (made) {
                std::swap(single, object->single);
                std::swap(universe, object->universe);
            }
        });
        // The replaced state goes here, with the lock given back.
        if (!made) {
            return no_memory();
        }
        return success;
    }

    static Status reset_lanes(StateObject* object, PyObject* lanes) noexcept {
        const Shape shape = object->shape();
        if (!shape.universe) {
            return single_has_no_lanes();
        }
        std::uint64_t* indices = nullptr;
        Result<std::size_t> parsed = parse_lanes(lanes, shape.width, indices);
        if (!parsed.ok()) {
            return std::move(parsed).error();
        }
        const std::unique_ptr<std::uint64_t, decltype(&std::free)> owned(indices, std::free);
        Outcome outcome = Outcome::done;
        under_lock(object->lock, false, [&] {
            Universe* const universe = object->universe.get();
            if (universe == nullptr) {
                outcome = Outcome::now_single;
            } else if (universe->width() != shape.width) {
                outcome = Outcome::other_width;
            } else if (!universe->restart(indices, parsed.value())) {
                outcome = Outcome::no_memory;
            }
        });
        if (outcome == Outcome::now_single) {
            return single_has_no_lanes();
        }
        if (outcome == Outcome::other_width) {
            return value_error(
                "The state changed width during reset(); pass lanes of the new width");
        }
        if (outcome != Outcome::done) {
            return no_memory();
        }
        return success;
    }

    // The properties.
    static PyObject* get_period(PyObject* self, void* index) noexcept {
        std::array<Period, 3> periods{};
        under_lock(of(self)->lock, false, [&] { periods = of(self)->periods(); });
        const auto k = reinterpret_cast<std::uintptr_t>(index);
        const Period word = periods[k];
        return k + Traits::reals.size() >= Traits::period_names.size()
                   ? number_of(word)
                   : PyLong_FromUnsignedLongLong(word);
    }
    static PyObject* get_count(PyObject* self, void*) noexcept {
        Position seen = 0;
        under_lock(of(self)->lock, false, [&] { seen = of(self)->seen(); });
        return PyLong_FromUnsignedLongLong(seen);
    }
    static PyObject* get_width(PyObject* self, void*) noexcept {
        const Shape shape = of(self)->shape();
        return shape.universe ? PyLong_FromSize_t(shape.width) : Py_NewRef(Py_None);
    }
    static PyObject* get_last(PyObject* self, void*) noexcept {
        StateObject* const object = of(self);
        Position seen = 0;
        Value value{};
        double* rows = nullptr;
        std::size_t width = 0;
        bool single = false;
        under_lock(object->lock, false, [&] {
            seen = object->seen();
            single = object->single != nullptr;
            if (single) {
                value = object->single->last();
                return;
            }
            width = object->universe->width();
            rows = static_cast<double*>(
                std::malloc(std::max<std::size_t>(1, outputs * width) * sizeof(double)));
            if (rows != nullptr) {
                object->universe->last(rows);
            }
        });
        const std::unique_ptr<double, decltype(&std::free)> owned(rows, std::free);
        if (seen == 0) {
            return Py_NewRef(Py_None);
        }
        if (rows != nullptr) {
            return arrays_of(rows, outputs, width);
        }
        return single ? to_python(value) : PyErr_NoMemory();
    }

    Position seen() const noexcept { return single != nullptr ? single->seen() : universe->seen(); }

    std::size_t save(unsigned char* into) const noexcept {
        return single != nullptr ? single->save(into) : universe->save(into);
    }
    std::array<Period, 3> periods() const noexcept {
        return single != nullptr ? Traits::periods_of(*single) : Traits::periods_of(*universe);
    }

    // (type, periods, state): the constructor makes a single series of the
    // periods, and __setstate__ puts the saved state in its place. Runs no
    // Python code before its result, so it needs no call guard.
    static PyObject* reduce(PyObject* self, PyObject*) noexcept {
        StateObject* const object = of(self);
        std::size_t size = 0;
        unsigned char* bytes = nullptr;
        std::array<Period, 3> periods{};
        under_lock(object->lock, false, [&] {
            size = object->save(nullptr);
            bytes = static_cast<unsigned char*>(std::malloc(size));
            if (bytes != nullptr) {
                object->save(bytes);
            }
            periods = object->periods();
        });
        if (bytes == nullptr) {
            return finish(no_memory());
        }
        return reduce_value(self, std::span(periods).first(Traits::period_names.size()),
                            Traits::reals.size(), bytes, size);
    }

    // Replaces the state, kind and width included. A call on this object that
    // converted its arguments before and takes the lock after finds the
    // kind or width changed and is refused (see `step`).
    static PyObject* set_state(PyObject* self, PyObject* saved) noexcept {
        if (!PyBytes_Check(saved)) {
            return finish(conversion_error(saved, "PyBytes"));
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(saved));
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(saved));
        // Placeholder periods: a load replaces everything, periods included.
        constexpr std::array<Period, 3> any{1, 2, 1};
        std::unique_ptr<Single> single = Traits::single(any);
        std::unique_ptr<Universe> universe;
        if (single == nullptr) {
            return finish(no_memory());
        }
        if (!single->load(bytes, size)) {
            single.reset();
            universe = Traits::universe(any, 0);
            if (universe == nullptr) {
                return finish(no_memory());
            }
            if (!universe->load(bytes, size)) {
                return finish(bad_state());
            }
        }
        StateObject* const object = of(self);
        const std::size_t word = word_of(universe);
        under_lock(object->lock, false, [&] {
            std::swap(single, object->single);
            std::swap(universe, object->universe);
            object->shape_word.store(word, std::memory_order_relaxed);
        });
        // The replaced state goes here, with the lock given back.
        Py_RETURN_NONE;
    }

    static PyObject* repr(PyObject* self) noexcept {
        StateObject* const object = of(self);
        std::array<Period, 3> periods{};
        Position seen = 0;
        Shape shape;
        under_lock(object->lock, false, [&] {
            periods = object->periods();
            seen = object->single != nullptr ? object->single->seen() : object->universe->seen();
            shape.universe = object->universe != nullptr;
            shape.width = shape.universe ? object->universe->width() : 0;
        });
        return describe(Traits::name, Traits::period_names, Traits::reals.size(), periods,
                        shape.universe, shape.width, seen);
    }
};

// The streaming class of an indicator: a heap type that cannot be
// subclassed.
template <class D>
PyObject* make_type() noexcept {
    using Traits = StreamTraits<D>;
    using Object = StateObject<Traits>;
    const auto fast = [](auto entry) {
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
    };
    // One read-only property per period, then count, width and last.
    static std::array<PyGetSetDef, descriptor::max_periods + 4> properties = [] {
        std::array<PyGetSetDef, descriptor::max_periods + 4> all{};
        std::size_t k = 0;
        for (; k < D::periods.size(); ++k) {
            all[k] = {Traits::period_names[k], Object::get_period, nullptr,
                      descriptor::is_real<D>(k) ? "A number, as given." : "A period, as given.",
                      reinterpret_cast<void*>(k)};
        }
        all[k++] = {"count", Object::get_count, nullptr,
                    "The values seen so far (on a universe, the bars).", nullptr};
        all[k++] = {"width", Object::get_width, nullptr,
                    "The number of series of a universe; None for a single series.", nullptr};
        all[k] = {"last", Object::get_last, nullptr,
                  "What the latest update gave at its last position, as update returns it (on a "
                  "universe, a new array per output); None before any value.",
                  nullptr};
        return all;
    }();
    static PyMethodDef methods[] = {
        {"update", fast(Object::update), METH_FASTCALL | METH_KEYWORDS, Traits::update_doc.data()},
        {"peek", fast(Object::peek), METH_FASTCALL | METH_KEYWORDS, Traits::peek_doc},
        {"update_many", fast(Object::update_many), METH_FASTCALL | METH_KEYWORDS,
         Traits::update_many_doc.data()},
        {"reset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Object::reset)),
         METH_VARARGS | METH_KEYWORDS, Traits::reset_doc},
        {"__reduce__", Object::reduce, METH_NOARGS, nullptr},
        {"__setstate__", Object::set_state, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(Object::make)},
        {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(Object::repr)},
        {Py_tp_methods, methods},
        {Py_tp_getset, properties.data()},
        {Py_tp_doc, const_cast<char*>(Traits::doc.data())},
        {0, nullptr},
    };
    static PyType_Spec spec{Traits::qualified_name.data(), static_cast<int>(sizeof(Object)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return PyType_FromSpec(&spec);
}

}  // namespace quorvane::module::stream

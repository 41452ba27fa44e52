// The streaming classes of quorvane_stream: one template over a traits type
// per indicator, which names the core states, the periods and the arrays.
//
// An object holds either a single-series state or a universe (`width=N`).
// Every use of the state is under the object's own mutex, taken after the
// arguments are converted (conversion may run Python code, which could use
// the object again) and held while update_many or a universe update runs
// with the interpreter lock released; a second thread waits for it with its
// interpreter lock released too. Errors are values until the method raises.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <new>
#include <span>
#include <tuple>
#include <utility>

#include "call_error.hpp"
#include "frame.hpp"
#include "owned_ref.hpp"
#include "quorvane/stream.hpp"

namespace quorvane::module::stream {

// Holds an object's mutex for its scope.
class Locked {
public:
    explicit Locked(PyMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { PyMutex_Unlock(&mutex_); }

private:
    PyMutex& mutex_;
};

// The floats of update(x) or update(high, low, close), positional only.
Status parse_floats(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<double> values, std::span<const char* const> names) noexcept;

// The constructor's periods and width (none: a single series).
struct Construction {
    std::array<Period, 3> periods{};
    bool universe = false;
    std::size_t width = 0;
};
Result<Construction> parse_construction(const char* type_name, std::span<const char* const> names,
                                        PyObject* args, PyObject* kwds) noexcept;

// A universe's arrays: contiguous, `width` elements each, outputs writeable.
Status check_universe_arrays(const Arguments& arguments, std::size_t inputs, std::size_t outputs,
                             std::size_t width) noexcept;

// update_many's checks for one input and one output, as indicator_sma's.
Status check_one_series(const Arguments& arguments) noexcept;

// Runs `work` with the interpreter lock released, or held when `release` is false.
template <class Work>
void run_maybe_unlocked(bool release, Work&& work) noexcept {
    if (release) {
        run_unlocked(work);
    } else {
        work();
    }
}

PyObject* to_python(double value) noexcept;
PyObject* to_python(const MacdValues& values) noexcept;
CallError no_memory() noexcept;
CallError bad_state() noexcept;

// Raises the error of a failed status and returns null; None otherwise.
PyObject* finish(Status status) noexcept;

// (type(self), periods, bytes), taking over `bytes` (raw memory).
PyObject* reduce_value(PyObject* self, std::span<const Period> periods, unsigned char* bytes,
                       std::size_t size) noexcept;

// "Name(period=..., seen=...)", with the width of a universe.
PyObject* describe(const char* name, std::span<const char* const> period_names,
                   const std::array<Period, 3>& periods, bool universe, std::size_t width,
                   Position seen) noexcept;

template <class Traits>
struct StateObject {
    using Single = typename Traits::Single;
    using Universe = typename Traits::Universe;
    static constexpr std::size_t inputs = Traits::inputs;
    static constexpr std::size_t outputs = Traits::outputs;

    PyObject_HEAD PyMutex mutex;
    Single* single;  // exactly one of the two is set
    Universe* universe;

    static StateObject* of(PyObject* self) noexcept { return reinterpret_cast<StateObject*>(self); }

    // Runs the core state's `call` with the given Series and OutputSeries.
    template <class State, class Call, std::size_t... I, std::size_t... O>
    static void apply(State& state, Call call, const KernelInputs& in,
                      const std::array<ArrayView, outputs>& out, std::index_sequence<I...>,
                      std::index_sequence<O...>) noexcept {
        (state.*call)(in[I]..., as_output(out[O])...);
    }

    static PyObject* make(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
        Result<Construction> parsed =
            parse_construction(Traits::name, Traits::period_names, args, kwds);
        if (!parsed.ok()) {
            std::move(parsed).error().raise();
            return nullptr;
        }
        const Construction& c = parsed.value();
        if (Status valid = Traits::check_periods(c.periods); !valid.ok()) {
            std::move(valid).error().raise();
            return nullptr;
        }
        OwnedRef object(type->tp_alloc(type, 0));
        if (!object) {
            return nullptr;
        }
        StateObject* const self = of(object.get());
        self->mutex = PyMutex{};
        if (c.universe) {
            self->universe = Traits::universe(c.periods, c.width);
            if (self->universe == nullptr || !self->universe->allocate()) {
                return finish(no_memory());
            }
        } else {
            self->single = Traits::single(c.periods);
            if (self->single == nullptr) {
                return finish(no_memory());
            }
        }
        return object.release();
    }

    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* const type = Py_TYPE(self);
        delete of(self)->single;
        delete of(self)->universe;
        type->tp_free(self);
        Py_DECREF(type);
    }

    static PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
        StateObject* const state = of(self);
        if (state->universe != nullptr) {
            return finish(universe_update(state, args, nargs, kwnames, false));
        }
        std::array<double, inputs> x{};
        if (Status parsed = parse_floats("update", args, nargs, kwnames, x, Traits::value_names);
            !parsed.ok()) {
            return finish(std::move(parsed));
        }
        Locked locked(state->mutex);
        if (!state->single->prepare(1)) {
            return finish(no_memory());
        }
        return to_python(std::apply([&](auto... v) { return state->single->update(v...); }, x));
    }

    static PyObject* peek(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
        StateObject* const state = of(self);
        if (state->universe != nullptr) {
            return finish(universe_update(state, args, nargs, kwnames, true));
        }
        std::array<double, inputs> x{};
        if (Status parsed = parse_floats("peek", args, nargs, kwnames, x, Traits::value_names);
            !parsed.ok()) {
            return finish(std::move(parsed));
        }
        Locked locked(state->mutex);
        return to_python(std::apply([&](auto... v) { return state->single->peek(v...); }, x));
    }

    // update(values..., outputs...) of a universe, or peek(...), which runs
    // a copy of it.
    static Status universe_update(StateObject* state, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, bool trial) noexcept {
        const FunctionSpec& spec =
            trial ? Traits::universe_peek_spec : Traits::universe_update_spec;
        Arguments arguments;
        if (Status converted = convert_arguments(spec, args, nargs, kwnames, arguments);
            !converted.ok()) {
            return converted;
        }
        Universe& universe = *state->universe;
        if (Status checked = check_universe_arrays(arguments, inputs, outputs, universe.width());
            !checked.ok()) {
            return checked;
        }
        std::array<ArrayView, inputs> in{};
        std::array<ArrayView, outputs> out{};
        for (std::size_t k = 0; k < inputs; ++k) {
            in[k] = array_view(arguments.array(k));
        }
        for (std::size_t k = 0; k < outputs; ++k) {
            out[k] = array_view(arguments.array(inputs + k));
        }
        KernelInputs series;
        if (Status taken = series.take(in, out); !taken.ok()) {
            return taken;
        }
        Locked locked(state->mutex);
        Universe* target = &universe;
        Universe* copy = nullptr;
        if (trial) {
            copy = Traits::universe(Traits::periods_of(universe), universe.width());
            if (copy == nullptr || !copy->assign(universe)) {
                delete copy;
                return no_memory();
            }
            target = copy;
        }
        if (!target->prepare(1)) {
            delete copy;
            return no_memory();
        }
        run_maybe_unlocked(Traits::releases_lock, [&] {
            apply(*target, &Universe::update, series, out, std::make_index_sequence<inputs>(),
                  std::make_index_sequence<outputs>());
        });
        delete copy;
        return success;
    }

    static PyObject* update_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
        Status status = success;
        {
            const EnteredCall call(" while updating a stream");
            if (!call.entered()) {
                return nullptr;
            }
            status = run_many(of(self), args, nargs, kwnames);
        }
        return finish(std::move(status));
    }

    static Status run_many(StateObject* state, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
        if (state->single == nullptr) {
            return CallError::fixed(PyExc_TypeError,
                                    "update_many() needs a single-series state; a universe "
                                    "takes one bar per update()");
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
        std::array<ArrayView, inputs> in{};
        std::array<ArrayView, outputs> out{};
        for (std::size_t k = 0; k < inputs; ++k) {
            in[k] = array_view(arguments.array(k));
        }
        for (std::size_t k = 0; k < outputs; ++k) {
            out[k] = array_view(arguments.array(inputs + k));
        }
        KernelInputs series;
        if (Status taken = series.take(in, out); !taken.ok()) {
            return taken;
        }
        Locked locked(state->mutex);
        Single& single = *state->single;
        if (!single.prepare(in[0].count)) {
            return no_memory();
        }
        run_maybe_unlocked(Traits::releases_lock, [&] {
            apply(single, &Single::run, series, out, std::make_index_sequence<inputs>(),
                  std::make_index_sequence<outputs>());
        });
        return success;
    }

    std::size_t save(unsigned char* into) const noexcept {
        return single != nullptr ? single->save(into) : universe->save(into);
    }
    std::array<Period, 3> periods() const noexcept {
        return single != nullptr ? Traits::periods_of(*single) : Traits::periods_of(*universe);
    }

    // (type, periods, state): the constructor makes a single series of the
    // periods, and __setstate__ puts the saved state in its place.
    static PyObject* reduce(PyObject* self, PyObject*) noexcept {
        StateObject* const state = of(self);
        std::size_t size = 0;
        unsigned char* bytes = nullptr;
        std::array<Period, 3> periods{};
        {
            // Raw memory under the mutex: a Python allocation could start a
            // collection, and with it code that uses this object.
            Locked locked(state->mutex);
            size = state->save(nullptr);
            bytes = static_cast<unsigned char*>(PyMem_RawMalloc(size));
            if (bytes != nullptr) {
                state->save(bytes);
            }
            periods = state->periods();
        }
        if (bytes == nullptr) {
            return finish(no_memory());
        }
        return reduce_value(self, std::span(periods).first(Traits::period_names.size()), bytes,
                            size);
    }

    static PyObject* set_state(PyObject* self, PyObject* saved) noexcept {
        if (!PyBytes_Check(saved)) {
            return finish(conversion_error(saved, "PyBytes"));
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(saved));
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(saved));
        // Placeholder periods: a load replaces everything, periods included.
        constexpr std::array<Period, 3> any{1, 2, 1};
        Single* single = Traits::single(any);
        Universe* universe = nullptr;
        if (single == nullptr) {
            return finish(no_memory());
        }
        if (!single->load(bytes, size)) {
            delete single;
            single = nullptr;
            universe = Traits::universe(any, 0);
            if (universe == nullptr) {
                return finish(no_memory());
            }
            if (!universe->load(bytes, size)) {
                delete universe;
                return finish(bad_state());
            }
        }
        StateObject* const state = of(self);
        {
            Locked locked(state->mutex);
            std::swap(single, state->single);
            std::swap(universe, state->universe);
        }
        delete single;
        delete universe;
        Py_RETURN_NONE;
    }

    static PyObject* repr(PyObject* self) noexcept {
        StateObject* const state = of(self);
        std::array<Period, 3> periods{};
        Position seen = 0;
        std::size_t width = 0;
        {
            Locked locked(state->mutex);
            periods = state->periods();
            seen = state->single != nullptr ? state->single->seen() : state->universe->seen();
            width = state->universe != nullptr ? state->universe->width() : 0;
        }
        return describe(Traits::name, Traits::period_names, periods, state->universe != nullptr,
                        width, seen);
    }
};

// The class of a traits type: a heap type that cannot be subclassed.
template <class Traits>
PyObject* make_type() noexcept {
    using Object = StateObject<Traits>;
    const auto fast = [](auto entry) {
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
    };
    static PyMethodDef methods[] = {
        {"update", fast(Object::update), METH_FASTCALL | METH_KEYWORDS, Traits::update_doc},
        {"peek", fast(Object::peek), METH_FASTCALL | METH_KEYWORDS, Traits::peek_doc},
        {"update_many", fast(Object::update_many), METH_FASTCALL | METH_KEYWORDS,
         Traits::update_many_doc},
        {"__reduce__", Object::reduce, METH_NOARGS, nullptr},
        {"__setstate__", Object::set_state, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(Object::make)},
        {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(Object::repr)},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char*>(Traits::doc)},
        {0, nullptr},
    };
    static PyType_Spec spec{Traits::qualified_name, static_cast<int>(sizeof(Object)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return PyType_FromSpec(&spec);
}

PyObject* make_sma_type() noexcept;
PyObject* make_ema_type() noexcept;
PyObject* make_macd_type() noexcept;
PyObject* make_atr_type() noexcept;

// The parts SMA and EMA share: one period, one value per update, one output.
template <class SingleState, class UniverseState>
struct OneSeriesTraits {
    using Single = SingleState;
    using Universe = UniverseState;
    static constexpr std::array<const char*, 1> period_names{"period"};
    static constexpr std::array<const char*, 1> value_names{"x"};
    static constexpr std::size_t inputs = 1;
    static constexpr std::size_t outputs = 1;
    static constexpr bool releases_lock = true;

    static constexpr Parameter many_parameters[] = {{"data", ParamKind::input},
                                                    {"output", ParamKind::output}};
    static constexpr Parameter universe_parameters[] = {{"values", ParamKind::input},
                                                        {"output", ParamKind::output}};
    static inline const FunctionSpec update_many_spec{{"update_many", nullptr, 0, nullptr},
                                                      many_parameters};
    static inline const FunctionSpec universe_update_spec{{"update", nullptr, 0, nullptr},
                                                          universe_parameters};
    static inline const FunctionSpec universe_peek_spec{{"peek", nullptr, 0, nullptr},
                                                        universe_parameters};

    static constexpr const char* update_doc =
        "update($self, /, *args)\n--\n\n"
        "update(x) -> float: the value at the next position.\n"
        "With width=N: update(values, output) -> None, one bar of N series.";
    static constexpr const char* peek_doc =
        "peek($self, /, *args)\n--\n\n"
        "What update would return (or write), leaving the state as it is.";
    static constexpr const char* update_many_doc =
        "update_many($self, /, data, output)\n--\n\n"
        "update(x) for every x of data, the values written into output.";

    static Status check_periods(const std::array<Period, 3>&) noexcept { return success; }
    static Status check_many(const Arguments& arguments) noexcept {
        return check_one_series(arguments);
    }
    static Single* single(const std::array<Period, 3>& periods) noexcept {
        return new (std::nothrow) Single(periods[0]);
    }
    static Universe* universe(const std::array<Period, 3>& periods, std::size_t width) noexcept {
        return new (std::nothrow) Universe(periods[0], width);
    }
    template <class State>
    static std::array<Period, 3> periods_of(const State& state) noexcept {
        return {state.period(), 0, 0};
    }
};

}  // namespace quorvane::module::stream

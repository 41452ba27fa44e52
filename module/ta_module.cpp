// The module quorvane_ta._engine: every indicator of the list over arrays
// the package quorvane_ta has already converted and allocated. A function
// per indicator takes (periods, inputs, outputs, threads): tuples of ints and
// of float64 arrays of one shape, one-dimensional and C-ordered, or
// two-dimensional in C or Fortran order (rows are bars, columns series). One
// dimension runs the batch kernel; two run the panel (quorvane/panel.hpp).
//
// The package checks arguments first and words its refusals for its users;
// this module checks again so that no call can reach a kernel with arrays it
// cannot read, and refuses in plain terms.
#include <Python.h>

#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include "call_error.hpp"
#include "frame.hpp"
#include "module_cell.hpp"
#include "numpy_arrays.hpp"
#include "owned_ref.hpp"
#include "quorvane/list.hpp"
#include "quorvane/panel.hpp"

namespace quorvane::module::ta {
namespace {

constexpr const char* arrays_refused =
    "arrays must be float64 NumPy arrays of one or two dimensions, each C- or "
    "Fortran-contiguous, all of one shape";

Result<Period> period_at(PyObject* periods, Py_ssize_t k) noexcept {
    PyObject* const item = PyTuple_GET_ITEM(periods, k);
    if (!PyLong_Check(item)) {
        return value_error("periods must be ints");
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(item);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return fetch_error();
    }
    if (value == 0) {
        return value_error("periods must be at least 1");
    }
    return Period{value};
}

// A number parameter: a float, finite and at least `least`, as the word of
// its bits.
Result<Period> number_at(PyObject* periods, Py_ssize_t k, double least) noexcept {
    PyObject* const item = PyTuple_GET_ITEM(periods, k);
    if (!PyFloat_Check(item) || !descriptor::within(PyFloat_AS_DOUBLE(item), least)) {
        return value_error("numbers must be finite floats in their range");
    }
    return descriptor::word(PyFloat_AS_DOUBLE(item));
}

// The layout of an array's block of elements, as a panel.
panel::Layout layout_of(const BlockView& view) noexcept {
    return view.c_order ? panel::Layout{view.rows, view.columns, view.columns, 1}
                        : panel::Layout{view.rows, view.columns, 1, view.rows};
}

std::size_t bytes_of(const BlockView& view) noexcept {
    return view.rows * view.columns * sizeof(double);
}

bool overlap(const BlockView& a, const BlockView& b) noexcept {
    const auto a_begin = reinterpret_cast<std::uintptr_t>(a.data);
    const auto b_begin = reinterpret_cast<std::uintptr_t>(b.data);
    return bytes_of(a) != 0 && bytes_of(b) != 0 && a_begin < b_begin + bytes_of(b) &&
           b_begin < a_begin + bytes_of(a);
}

// The inputs' private copies, for inputs that share memory with an output:
// every input is then read as it was before any output is written.
template <std::size_t N>
class Copies {
public:
    Copies() noexcept = default;
    Copies(const Copies&) = delete;
    Copies& operator=(const Copies&) = delete;
    ~Copies() {
        for (void* copy : copies_) {
            PyMem_RawFree(copy);
        }
    }

    bool take(BlockView& view, std::size_t k) noexcept {
        copies_[k] = PyMem_RawMalloc(bytes_of(view));
        if (copies_[k] == nullptr) {
            return false;
        }
        std::memcpy(copies_[k], view.data, bytes_of(view));
        view.data = copies_[k];
        return true;
    }

private:
    std::array<void*, N> copies_{};
};

template <class D>
struct Call {
    static constexpr std::size_t input_count = D::inputs.size();
    static constexpr std::size_t output_count = D::outputs.size();

    std::array<Period, D::periods.size()> periods{};
    std::array<BlockView, input_count> in{};
    std::array<BlockView, output_count> out{};
    std::size_t threads = 1;
    Copies<input_count> copies;

    Status convert(PyObject* const* args, Py_ssize_t nargs) noexcept {
        if (nargs != 4 || !PyTuple_Check(args[0]) || !PyTuple_Check(args[1]) ||
            !PyTuple_Check(args[2]) ||
            PyTuple_GET_SIZE(args[0]) != static_cast<Py_ssize_t>(periods.size()) ||
            PyTuple_GET_SIZE(args[1]) != static_cast<Py_ssize_t>(input_count) ||
            PyTuple_GET_SIZE(args[2]) != static_cast<Py_ssize_t>(output_count)) {
            return CallError::fixed(PyExc_TypeError,
                                    "expected (periods, inputs, outputs, threads) as tuples of "
                                    "the indicator's counts and an int");
        }
        for (std::size_t k = 0; k < periods.size(); ++k) {
            const auto at = static_cast<Py_ssize_t>(k);
            Result<Period> period = descriptor::is_real<D>(k)
                                        ? number_at(args[0], at, descriptor::least<D>(k))
                                        : period_at(args[0], at);
            if (!period.ok()) {
                return std::move(period).error();
            }
            periods[k] = period.value();
        }
        if (const char* refused = D::period_error(periods); refused != nullptr) {
            return value_error(refused);
        }
        const Py_ssize_t threads_given = PyLong_AsSsize_t(args[3]);
        if (threads_given == -1 && PyErr_Occurred() != nullptr) {
            return fetch_error();
        }
        if (threads_given < 1) {
            return value_error("threads must be at least 1");
        }
        threads = static_cast<std::size_t>(threads_given);
        if (Status api = obtain_numpy_api(); !api.ok()) {
            return api;
        }
        return views(args[1], args[2]);
    }

    Status views(PyObject* inputs, PyObject* outputs) noexcept {
        bool valid = true;
        for (std::size_t k = 0; k < input_count; ++k) {
            valid =
                valid && block_view(PyTuple_GET_ITEM(inputs, static_cast<Py_ssize_t>(k)), in[k]);
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            PyObject* const array = PyTuple_GET_ITEM(outputs, static_cast<Py_ssize_t>(k));
            valid = valid && block_view(array, out[k]);
            if (valid && !is_writeable(array)) {
                return value_error("outputs must be writeable");
            }
        }
        const auto same_shape = [&](const BlockView& view) {
            return view.dimensions == in[0].dimensions && view.rows == in[0].rows &&
                   view.columns == in[0].columns && (view.dimensions == 2 || view.c_order);
        };
        for (const BlockView& view : in) {
            valid = valid && same_shape(view);
        }
        for (const BlockView& view : out) {
            valid = valid && same_shape(view);
        }
        if (!valid) {
            return CallError::fixed(PyExc_TypeError, arrays_refused);
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            for (std::size_t m = k + 1; m < output_count; ++m) {
                if (overlap(out[k], out[m])) {
                    return value_error("outputs must not share memory");
                }
            }
        }
        for (std::size_t k = 0; k < input_count; ++k) {
            bool shared = false;
            for (const BlockView& view : out) {
                shared = shared || overlap(in[k], view);
            }
            if (shared && !copies.take(in[k], k)) {
                PyErr_NoMemory();
                return fetch_error();
            }
        }
        return success;
    }

    template <std::size_t... P, std::size_t... I, std::size_t... O>
    bool kernel(std::index_sequence<P...>, std::index_sequence<I...>,
                std::index_sequence<O...>) const noexcept {
        return stepped::run_kernel<D>(periods[P]..., Series(in[I].data, in[I].rows)...,
                                      OutputSeries(out[O].data, out[O].rows)...);
    }

    // Runs with the interpreter lock released; false when memory ran out
    // before anything was written.
    bool run() const noexcept {
        if (in[0].dimensions == 1) {
            return kernel(std::make_index_sequence<D::periods.size()>(),
                          std::make_index_sequence<input_count>(),
                          std::make_index_sequence<output_count>());
        }
        std::array<panel::Input, input_count> panel_in{};
        std::array<panel::Output, output_count> panel_out{};
        for (std::size_t k = 0; k < input_count; ++k) {
            panel_in[k] = {in[k].data, layout_of(in[k])};
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            panel_out[k] = {out[k].data, layout_of(out[k])};
        }
        panel::Run<D> work(periods, panel_in, panel_out);
        if (!work.prepare()) {
            return false;
        }
        work.run(threads);
        return true;
    }
};

template <class D>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Call<D> call;
    if (Status converted = call.convert(args, nargs); !converted.ok()) {
        std::move(converted).error().raise();
        return nullptr;
    }
    bool ran = false;
    Py_BEGIN_ALLOW_THREADS ran = call.run();
    Py_END_ALLOW_THREADS if (!ran) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

OwnedRef names_tuple(std::span<const std::string_view> names) noexcept {
    OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t k = 0; tuple && k < names.size(); ++k) {
        PyObject* const name =
            PyUnicode_FromStringAndSize(names[k].data(), static_cast<Py_ssize_t>(names[k].size()));
        if (name == nullptr) {
            return OwnedRef();
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), name);
    }
    return tuple;
}

template <class D>
OwnedRef record() noexcept {
    OwnedRef defaults(PyTuple_New(static_cast<Py_ssize_t>(D::defaults.size())));
    // Each parameter's least value: 1 for a period, a float for a number.
    OwnedRef least(PyTuple_New(static_cast<Py_ssize_t>(D::defaults.size())));
    for (std::size_t k = 0; defaults && least && k < D::defaults.size(); ++k) {
        const bool real = descriptor::is_real<D>(k);
        PyObject* const period = real ? PyFloat_FromDouble(descriptor::number(D::defaults[k]))
                                      : PyLong_FromUnsignedLongLong(D::defaults[k]);
        PyObject* const bound =
            real ? PyFloat_FromDouble(descriptor::least<D>(k)) : PyLong_FromLong(1);
        if (period == nullptr || bound == nullptr) {
            Py_XDECREF(period);
            Py_XDECREF(bound);
            return OwnedRef();
        }
        PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(k), period);
        PyTuple_SET_ITEM(least.get(), static_cast<Py_ssize_t>(k), bound);
    }
    OwnedRef periods = names_tuple(D::periods);
    OwnedRef inputs = names_tuple(D::inputs);
    OwnedRef outputs = names_tuple(D::outputs);
    if (!defaults || !least || !periods || !inputs || !outputs) {
        return OwnedRef();
    }
    return OwnedRef(Py_BuildValue("(s#s#s#OOOOO)", D::name.data(), D::name.size(),
                                  D::class_name.data(), D::class_name.size(), D::title.data(),
                                  D::title.size(), periods.get(), defaults.get(), inputs.get(),
                                  outputs.get(), least.get()));
}

PyObject* indicators(PyObject*, PyObject*) noexcept {
    OwnedRef records(PyList_New(0));
    bool made = static_cast<bool>(records);
    AllIndicators::for_each([&]<class D>() {
        if (made) {
            OwnedRef one = record<D>();
            made = one && PyList_Append(records.get(), one.get()) == 0;
        }
    });
    return made ? PyList_AsTuple(records.get()) : nullptr;
}

// The method table: indicators(), then one function per indicator.
template <class... Ds>
struct Methods;

template <class... Ds>
struct Methods<descriptor::List<Ds...>> {
    static inline PyMethodDef table[] = {
        {"indicators", indicators, METH_NOARGS,
         "indicators()\n--\n\nOne record per indicator: (name, class_name, title, periods, "
         "defaults, inputs, outputs, least): a parameter whose least value is a float is a "
         "number, not a period."},
        {Ds::name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Ds>)),
         METH_FASTCALL,
         "(periods, inputs, outputs, threads)\n--\n\nThe indicator over converted arrays."}...,
        {nullptr, nullptr, 0, nullptr},
    };
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "quorvane_ta._engine",
    "The indicators over arrays that quorvane_ta has converted: its engine.",
    0,
    Methods<AllIndicators>::table,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int api_version = 1013;

ModuleCell cell;

Result<OwnedRef> build_module() noexcept {
    OwnedRef module(PyModule_Create2(&definition, api_version));
    if (!module) {
        return fetch_error();
    }
    return module;
}

}  // namespace
}  // namespace quorvane::module::ta

PyMODINIT_FUNC PyInit__engine() {
    return quorvane::module::initialise(quorvane::module::ta::cell,
                                        quorvane::module::ta::build_module);
}

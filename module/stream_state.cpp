#include "stream_state.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quorvane::module::stream {
namespace {

std::atomic<unsigned> unlocked_sections{0};

// A forked child has only the thread that forked. Had another thread held an
// object's lock, the child's next call on that object would wait for ever,
// on a state left half updated; so the fork waits for every such section to
// end, as the borrow registry keeps only the forking thread's registrations.
// No section can start meanwhile: one starts with the interpreter lock held,
// and the forking thread holds it.
void before_fork() noexcept {
    for (unsigned left = unlocked_sections.load(); left != 0; left = unlocked_sections.load()) {
        unlocked_sections.wait(left);
    }
}

}  // namespace

void enter_unlocked_section() noexcept {
    unlocked_sections.fetch_add(1);
}

void leave_unlocked_section() noexcept {
    if (unlocked_sections.fetch_sub(1) == 1) {
        unlocked_sections.notify_all();
    }
}

Status wait_for_sections_at_fork() noexcept {
    if (pthread_atfork(before_fork, nullptr, nullptr) != 0) {
        return no_memory();
    }
    return success;
}

CallError refusal(Outcome outcome, const char* method) noexcept {
    switch (outcome) {
    case Outcome::now_universe:
        return error_with(
            PyExc_TypeError,
            PyUnicode_FromFormat(
                "The state became a universe during %s(); pass a universe's arrays", method));
    case Outcome::now_single:
        return error_with(
            PyExc_TypeError,
            PyUnicode_FromFormat(
                "The state became a single series during %s(); pass one bar's values", method));
    case Outcome::other_width:
        return error_with(
            PyExc_ValueError,
            PyUnicode_FromFormat(
                "The state changed width during %s(); pass arrays of the new width", method));
    case Outcome::done:
    case Outcome::no_memory:
        break;
    }
    return no_memory();
}

CallError universe_has_no_update_many() noexcept {
    return CallError::fixed(PyExc_TypeError,
                            "update_many() needs a single-series state; a universe takes one bar "
                            "per update()");
}

CallError single_has_no_lanes() noexcept {
    return CallError::fixed(PyExc_TypeError,
                            "reset() takes lanes only on a universe; a single series resets whole");
}

Result<std::size_t> parse_lanes(PyObject* lanes, std::size_t width, std::uint64_t*& into) noexcept {
    if (Py_TYPE(lanes)->tp_iter == nullptr && !PySequence_Check(lanes)) {
        return error_with(PyExc_TypeError,
                          PyUnicode_FromFormat("reset() takes an iterable of lane indices, ints in "
                                               "range(0, %zu), not %T",
                                               width, lanes));
    }
    // Iterating may raise, in its own words.
    OwnedRef items(PySequence_Fast(lanes, "lanes"));
    if (!items) {
        return fetch_error();
    }
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get()));
    into = static_cast<std::uint64_t*>(std::malloc(std::max<std::size_t>(1, n) * sizeof *into));
    if (into == nullptr) {
        return no_memory();
    }
    for (std::size_t k = 0; k < n; ++k) {
        PyObject* const item = PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(k));
        if (PyBool_Check(item) || !PyIndex_Check(item)) {
            std::free(std::exchange(into, nullptr));
            return error_with(
                PyExc_TypeError,
                PyUnicode_FromFormat("reset() lanes must be ints in range(0, %zu), not %T", width,
                                     item));
        }
        OwnedRef index(PyNumber_Index(item));
        int overflow = 0;
        const long long lane = index ? PyLong_AsLongLongAndOverflow(index.get(), &overflow) : -1;
        if (!index || (lane == -1 && PyErr_Occurred() != nullptr)) {
            std::free(std::exchange(into, nullptr));
            return fetch_error();
        }
        if (overflow != 0 || lane < 0 || static_cast<unsigned long long>(lane) >= width) {
            std::free(std::exchange(into, nullptr));
            return error_with(PyExc_ValueError,
                              PyUnicode_FromFormat("reset() lane %R is not in range(0, %zu)",
                                                   index.get(), width));
        }
        into[k] = static_cast<std::uint64_t>(lane);
    }
    return n;
}

PyObject* arrays_of(const double* values, std::size_t rows, std::size_t count) noexcept {
    if (rows == 1) {
        return new_float64_array(values, count);
    }
    OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(rows)));
    if (!tuple) {
        return nullptr;
    }
    for (std::size_t k = 0; k < rows; ++k) {
        PyObject* const row = new_float64_array(values + k * count, count);
        if (row == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), row);
    }
    return tuple.release();
}

CallError no_memory() noexcept {
    PyErr_NoMemory();
    return fetch_error();
}

CallError bad_state() noexcept {
    return value_error("State bytes were not saved by this class");
}

PyObject* finish(Result<OwnedRef> result) noexcept {
    if (!result.ok()) {
        std::move(result).error().raise();
        return nullptr;
    }
    return result.value().release();
}

PyObject* to_python(double value) noexcept {
    return PyFloat_FromDouble(value);
}

PyObject* to_python(const MacdValues& values) noexcept {
    OwnedRef macd(PyFloat_FromDouble(values.macd));
    OwnedRef signal(PyFloat_FromDouble(values.signal));
    OwnedRef hist(PyFloat_FromDouble(values.hist));
    if (!macd || !signal || !hist) {
        return nullptr;
    }
    return PyTuple_Pack(3, macd.get(), signal.get(), hist.get());
}

PyObject* to_python(std::span<const double> values) noexcept {
    OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) {
        return nullptr;
    }
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyObject* const value = PyFloat_FromDouble(values[k]);
        if (value == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), value);
    }
    return tuple.release();
}

Status parse_floats(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<double> values, std::span<const char* const> names) noexcept {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        return error_with(PyExc_TypeError,
                          PyUnicode_FromFormat("%s() takes no keyword arguments", method));
    }
    if (static_cast<std::size_t>(nargs) != values.size()) {
        return error_with(
            PyExc_TypeError,
            PyUnicode_FromFormat("%s() takes %zu positional argument%s (%zd given)", method,
                                 values.size(), values.size() == 1 ? "" : "s", nargs));
    }
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyObject* const object = args[k];
        values[k] =
            PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
        if (values[k] == -1.0 && PyErr_Occurred() != nullptr) {
            CallError error = fetch_error();
            if (error.type() != PyExc_TypeError) {
                return error;
            }
            return error_with(
                PyExc_TypeError,
                PyUnicode_FromFormat("%s() argument '%s' must be a real number, not %T", method,
                                     names[k], object));
        }
    }
    return success;
}

PyObject* number_of(Period word) noexcept {
    return PyFloat_FromDouble(descriptor::number(word));
}

namespace {

// A number parameter: a real number (an int or a float, not a bool),
// finite and at least `least`, as the word of its bits.
Result<Period> extract_number(PyObject* object, const char* name, double least) noexcept {
    const auto refuse = [&](PyObject* type) -> CallError {
        OwnedRef bound(PyFloat_FromDouble(least));
        if (!bound) {
            return fetch_error();
        }
        return CallError::with_message(
            type, OwnedRef(PyUnicode_FromFormat("%s must be a finite number of at least %R, got %R",
                                                name, bound.get(), object)));
    };
    // numbers.Real, as quorvane_ta asks: NumPy's numbers pass, a Decimal or
    // NumPy's bool does not, though both convert.
    OwnedRef numbers(PyImport_ImportModule("numbers"));
    OwnedRef real(numbers ? PyObject_GetAttrString(numbers.get(), "Real") : nullptr);
    const int is_real = real ? PyObject_IsInstance(object, real.get()) : -1;
    if (is_real < 0) {
        return fetch_error();
    }
    if (PyBool_Check(object) || is_real == 0) {
        return refuse(PyExc_TypeError);
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        const bool too_large = PyErr_ExceptionMatches(PyExc_OverflowError) != 0;
        if (!too_large) {
            return fetch_error();
        }
        PyErr_Clear();
        return refuse(PyExc_ValueError);
    }
    if (!descriptor::within(value, least)) {
        return refuse(PyExc_ValueError);
    }
    return descriptor::word(value);
}

}  // namespace

Result<Construction> parse_construction(const char* type_name, std::span<const char* const> names,
                                        std::span<const double> reals, PyObject* args,
                                        PyObject* kwds) noexcept {
    // "OOO|$O:Name": the periods, then width by keyword only.
    char format[64];
    std::snprintf(format, sizeof format, "%.*s|$O:%s", static_cast<int>(names.size()), "OOO",
                  type_name);
    std::array<char*, 5> keywords{};
    for (std::size_t k = 0; k < names.size(); ++k) {
        keywords[k] = const_cast<char*>(names[k]);
    }
    keywords[names.size()] = const_cast<char*>("width");
    std::array<PyObject*, 4> objects{};
    // Each format unit's target in order: the periods', then the width's;
    // targets past the format's units are not read.
    std::array<PyObject**, 4> targets{};
    for (std::size_t k = 0; k < targets.size(); ++k) {
        targets[k] = &objects[k < names.size() ? k : 3];
    }
    const bool parsed = PyArg_ParseTupleAndKeywords(args, kwds, format, keywords.data(), targets[0],
                                                    targets[1], targets[2], targets[3]);
    if (!parsed) {
        return fetch_error();
    }
    Construction made;
    const std::size_t first_real = names.size() - reals.size();
    for (std::size_t k = 0; k < names.size(); ++k) {
        Result<Period> period = k < first_real
                                    ? extract_period(objects[k], names[k])
                                    : extract_number(objects[k], names[k], reals[k - first_real]);
        if (!period.ok()) {
            return std::move(period).error();
        }
        made.periods[k] = period.value();
    }
    if (objects[3] != nullptr && objects[3] != Py_None) {
        Result<Period> width = extract_period(objects[3], "width");
        if (!width.ok()) {
            return std::move(width).error();
        }
        if (width.value() > static_cast<Period>(PY_SSIZE_T_MAX) / sizeof(double)) {
            return CallError::fixed(PyExc_OverflowError, "width is too large");
        }
        made.universe = true;
        made.width = static_cast<std::size_t>(width.value());
    }
    return made;
}

Status check_universe_arrays(const Arguments& arguments, std::size_t inputs, std::size_t outputs,
                             std::size_t width) noexcept {
    for (std::size_t k = 0; k < inputs + outputs; ++k) {
        if (!is_contiguous(array_view(arguments.array(k)))) {
            return value_error(k < inputs ? "Input array must be C-contiguous and float64"
                                          : "Output array must be C-contiguous and float64");
        }
    }
    for (std::size_t k = 0; k < inputs + outputs; ++k) {
        if (array_view(arguments.array(k)).count != width) {
            return value_error("Array length must match the width");
        }
    }
    for (std::size_t k = inputs; k < inputs + outputs; ++k) {
        if (!is_writeable(arguments.array(k))) {
            return value_error("Output array must be writeable");
        }
    }
    return success;
}

PyObject* reduce_value(PyObject* self, std::span<const Period> periods, std::size_t reals,
                       unsigned char* bytes, std::size_t size) noexcept {
    OwnedRef saved(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes),
                                             static_cast<Py_ssize_t>(size)));
    std::free(bytes);
    OwnedRef arguments(PyTuple_New(static_cast<Py_ssize_t>(periods.size())));
    if (!saved || !arguments) {
        return nullptr;
    }
    for (std::size_t k = 0; k < periods.size(); ++k) {
        PyObject* const period = k + reals >= periods.size()
                                     ? number_of(periods[k])
                                     : PyLong_FromUnsignedLongLong(periods[k]);
        if (period == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(arguments.get(), static_cast<Py_ssize_t>(k), period);
    }
    return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), arguments.get(),
                        saved.get());
}

PyObject* describe(const char* name, std::span<const char* const> period_names, std::size_t reals,
                   const std::array<Period, 3>& periods, bool universe, std::size_t width,
                   Position seen) noexcept {
    char text[256];
    int used = std::snprintf(text, sizeof text, "%s(", name);
    for (std::size_t k = 0; k < period_names.size(); ++k) {
        if (k + reals >= period_names.size()) {
            // repr() of the float: its shortest exact digits.
            char* const digits = PyOS_double_to_string(descriptor::number(periods[k]), 'r', 0,
                                                       Py_DTSF_ADD_DOT_0, nullptr);
            if (digits == nullptr) {
                return nullptr;
            }
            used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used),
                                  "%s=%s, ", period_names[k], digits);
            PyMem_Free(digits);
            continue;
        }
        used +=
            std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "%s=%llu, ",
                          period_names[k], static_cast<unsigned long long>(periods[k]));
    }
    if (universe) {
        used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used),
                              "width=%zu, ", width);
    }
    std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "seen=%llu)",
                  static_cast<unsigned long long>(seen));
    return PyUnicode_FromString(text);
}

}  // namespace quorvane::module::stream

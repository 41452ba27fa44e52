// The call frame: the path every entry point shares between the interpreter
// calling it and the interpreter getting its result.
//
// An entry point binds and converts its arguments with `convert_arguments`,
// driven by its FunctionSpec; derives array views and runs its own checks;
// runs its kernel (with the lock released through `run_unlocked` where it
// may); and hands the outcome to `finish_call`, which raises the error, if
// any, as the call's last act. Every step returns a Result, and every
// reference and read-only access taken on the way is given back by RAII
// before the error is raised.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "borrow_registry.hpp"
#include "call_error.hpp"
#include "numpy_arrays.hpp"
#include "owned_ref.hpp"
#include "quorvane/series.hpp"
#include "text.hpp"

namespace quorvane::module {

enum class ParamKind : unsigned char {
    period,  // integer converted to a Period
    input,   // float64 array, held with read-only access for the call
    output,  // float64 array, type-checked only
};

struct Parameter {
    std::string_view name;  // NUL-terminated: it is also used in messages
    ParamKind kind;
};

inline constexpr std::size_t max_parameters = 7;

// A function's name and parameters in declaration order: the one place they
// are written. Its text signature, its parameter indexes and the size of its
// argument slots are derived from it. Every parameter is positional-or-keyword
// and required.
template <std::size_t N>
struct Declaration {
    static_assert(N <= max_parameters, "more parameters than argument slots");

    std::string_view name;  // NUL-terminated, as the method record needs
    std::array<Parameter, N> parameters;

    // The index of the parameter called `name`; a name not declared does not
    // compile.
    consteval std::size_t operator[](std::string_view wanted) const {
        for (std::size_t i = 0; i < N; ++i) {
            if (parameters[i].name == wanted) {
                return i;
            }
        }
        not_declared();
        return N;
    }

private:
    static void not_declared();  // not constexpr: reaching it stops compilation
};

// "name(a, b)\n--\n\n": the docstring from which CPython reads a built-in
// function's text signature, made when compiling.
template <const auto& declaration>
inline constexpr auto text_signature = text<[](TextWriter& out) {
    out << declaration.name << "(";
    for (std::size_t i = 0; i < declaration.parameters.size(); ++i) {
        out << (i > 0 ? ", " : "") << declaration.parameters[i].name;
    }
    out << ")\n--\n\n";
}>;

// One function of the module: its method record (name, entry point, flags,
// text-signature docstring) and its parameters in declaration order.
struct FunctionSpec {
    PyMethodDef record;
    std::span<const Parameter> parameters;

    const char* name() const noexcept { return record.ml_name; }
};

// The FunctionSpec of a declared entry point: the vectorcall-with-keywords
// convention, and a docstring that holds only the text signature.
template <const auto& declaration>
FunctionSpec function_spec(PyCFunctionFastWithKeywords entry) noexcept {
    return {{declaration.name.data(),
             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
             METH_FASTCALL | METH_KEYWORDS, text_signature<declaration>.data()},
            declaration.parameters};
}

// Argument slots: borrowed references from the call's argument vector.
using Slots = std::array<PyObject*, max_parameters>;

// A read-only access to an array argument: its registration as a reader,
// given up when the access ends. The array itself is held by Arguments.
class ReadAccess {
public:
    ReadAccess() noexcept = default;
    ReadAccess(ReadAccess&& other) noexcept : region_(std::exchange(other.region_, {})) {}
    ReadAccess& operator=(ReadAccess&& other) noexcept {
        if (this != &other) {
            end();
            region_ = std::exchange(other.region_, {});
        }
        return *this;
    }
    ~ReadAccess() { end(); }

    void end() noexcept;

private:
    friend Result<ReadAccess> extract_readonly_array(PyObject* object, const char* name) noexcept;

    BorrowRegion region_{};  // no owner when no access is held
};

// The converted parameters of one call, by parameter index.
class Arguments {
public:
    Period period(std::size_t index) const noexcept { return periods_[index]; }
    // The array of an input or output parameter, borrowed.
    PyObject* array(std::size_t index) const noexcept { return bound_[index].get(); }

private:
    friend Status convert_arguments(const FunctionSpec& spec, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames,
                                    Arguments& arguments) noexcept;

    // A strong reference to every bound argument for the whole call: code
    // run during conversion (__index__, __len__) may drop the caller's last
    // reference to another argument.
    std::array<OwnedRef, max_parameters> bound_;
    // Filled by parameter index as the parameters are converted; an entry is
    // read only for a parameter of its kind, so none needs a value before.
    std::array<Period, max_parameters> periods_;
    std::array<ReadAccess, max_parameters> accesses_;
};

Status bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Slots& slots) noexcept;
Result<Period> extract_period(PyObject* object, const char* name) noexcept;
Result<ReadAccess> extract_readonly_array(PyObject* object, const char* name) noexcept;
Result<PyObject*> extract_array(PyObject* object, const char* name) noexcept;

// The TypeError "'{type}' object cannot be converted to '{target}'".
CallError conversion_error(PyObject* object, const char* target) noexcept;

inline CallError value_error(const char* message) noexcept {
    return CallError::fixed(PyExc_ValueError, message);
}

// The Series a kernel reads its inputs from. An input that shares a byte with
// an output is read from a private copy taken now, while the lock is held,
// so that results are as if every input were read before any output is
// written. Nothing is allocated when no input shares memory with an output.
class KernelInputs {
public:
    static constexpr std::size_t max_inputs = 3;
    static constexpr std::size_t max_outputs = 3;

    KernelInputs() noexcept = default;
    KernelInputs(const KernelInputs&) = delete;
    KernelInputs& operator=(const KernelInputs&) = delete;
    ~KernelInputs() { PyMem_RawFree(copies_); }

    // One allocation for all the copies; MemoryError when it fails.
    Status take(std::span<const ArrayView> inputs, std::span<const ArrayView> outputs) noexcept;
    Series operator[](std::size_t k) const noexcept { return series_[k]; }

private:
    std::array<Series, max_inputs> series_{};
    void* copies_ = nullptr;
};

// Runs `work` with the interpreter lock released. `work` must not touch any
// Python object.
template <class Work>
void run_unlocked(Work&& work) noexcept {
    PyThreadState* const state = PyEval_SaveThread();
    work();
    PyEval_RestoreThread(state);
}

// One call into the module, for its scope: the interpreter's recursion
// guard, entered once per call because conversion may run Python code that
// calls back in, and a check of the thread's stack, whose depth the guard's
// count does not bound (a thread may have a small stack, and each level of
// re-entry takes more of it than a level of the interpreter's own). `entered()`
// is false (RecursionError set) when the call must not go on; the guard is
// left only if it was entered.
class EnteredCall {
public:
    explicit EnteredCall(const char* where) noexcept;
    EnteredCall(const EnteredCall&) = delete;
    EnteredCall& operator=(const EnteredCall&) = delete;
    ~EnteredCall();

    bool entered() const noexcept { return entered_; }

private:
    bool entered_;
};

// An entry point's own checks and kernel run, over converted arguments.
using CheckedRun = Status (*)(const Arguments& arguments) noexcept;

// An entry point's whole call, inside the interpreter's recursion guard
// (conversion may run Python code that calls back in): converts the
// arguments, hands them to `checked_run`, and raises its error, if any, as
// the last act. `checked_run` is called through a pointer, so its frame is
// not on the stack while conversion runs such code.
PyObject* call_entry(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, CheckedRun checked_run) noexcept;

}  // namespace quorvane::module

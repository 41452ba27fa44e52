#include "frame.hpp"

#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quorvane::module {
namespace {

// The messages below follow the interpreter's own wording, and callers match
// on them: they are interface texts, not prose to improve.
CallError type_error(PyObject* message) noexcept {
    return error_with(PyExc_TypeError, message);
}

// A keyword name as str() renders it, or, when str() fails (a str subclass
// may define __str__ to raise), its own characters. Lone surrogates are
// passed through and then replaced by U+FFFD, so the text has UTF-8 bytes.
Result<OwnedRef> render_keyword(PyObject* keyword) noexcept {
    OwnedRef text(PyObject_Str(keyword));
    if (!text) {
        (void)fetch_error();
        text.reset(PyUnicode_FromObject(keyword));
        if (!text) {
            return fetch_error();
        }
    }
    if (PyUnicode_AsUTF8AndSize(text.get(), nullptr) != nullptr) {
        return text;
    }
    (void)fetch_error();
    OwnedRef bytes(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!bytes) {
        return fetch_error();
    }
    OwnedRef replaced(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                           PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!replaced) {
        return fetch_error();
    }
    return replaced;
}

// "{function}() got ... '{keyword}'", the keyword rendered as above.
CallError keyword_error(const char* format, const FunctionSpec& spec, PyObject* keyword) noexcept {
    Result<OwnedRef> rendered = render_keyword(keyword);
    if (!rendered.ok()) {
        return std::move(rendered).error();
    }
    return type_error(PyUnicode_FromFormat(format, spec.name(), rendered.value().get()));
}

// The parameter a keyword names, or -1. Names are matched by length and
// bytes, case and all; a keyword without UTF-8 text names none.
Py_ssize_t parameter_index(const FunctionSpec& spec, PyObject* keyword) noexcept {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (text == nullptr) {
        (void)fetch_error();
        return -1;
    }
    const std::string_view wanted(text, static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
        if (spec.parameters[i].name == wanted) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// "'a'", "'a' and 'b'", or "'a', 'b', and 'c'" for the empty slots.
CallError missing_arguments(const FunctionSpec& spec, Py_ssize_t nargs,
                            const Slots& slots) noexcept {
    std::size_t missing = 0;
    for (std::size_t i = static_cast<std::size_t>(nargs); i < spec.parameters.size(); ++i) {
        missing += slots[i] == nullptr;
    }
    char list[256];
    std::size_t used = 0;
    std::size_t listed = 0;
    const auto append = [&](std::string_view text) {
        const std::size_t room = sizeof list - 1 - used;
        const std::size_t length = text.size() < room ? text.size() : room;
        std::memcpy(list + used, text.data(), length);
        used += length;
    };
    for (std::size_t i = static_cast<std::size_t>(nargs); i < spec.parameters.size(); ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        if (listed > 0) {
            append(missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", "));
        }
        append("'");
        append(spec.parameters[i].name);
        append("'");
        ++listed;
    }
    list[used] = '\0';
    return type_error(PyUnicode_FromFormat("%s() missing %zu required positional %s: %s",
                                           spec.name(), missing,
                                           missing == 1 ? "argument" : "arguments", list));
}

// Conversion errors of class exactly TypeError are raised again with the
// argument's name in front; every other error passes unchanged. Making the
// new error can fail (near the recursion limit, without memory); that failure
// is then the call's error.
CallError name_argument(const char* name, CallError error) noexcept {
    if (error.type() != PyExc_TypeError) {
        return error;
    }
    CallError inner = std::move(error).instantiated();
    if (inner.type() != PyExc_TypeError) {
        return inner;
    }
    OwnedRef text(PyObject_Str(inner.instance()));
    if (!text) {
        (void)fetch_error();
        text.reset(PyUnicode_FromString("<unprintable TypeError object>"));
        if (!text) {
            return fetch_error();
        }
    }
    OwnedRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) {
        return fetch_error();
    }
    OwnedRef wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) {
        return fetch_error();
    }
    // Setting the cause, even to nothing, also suppresses the context.
    PyException_SetCause(wrapped.get(), PyException_GetCause(inner.instance()));
    return CallError::made(std::move(wrapped));
}

}  // namespace

CallError conversion_error(PyObject* object, const char* target) noexcept {
    // The name goes in as text, so that a NUL in it is kept.
    OwnedRef type_name(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name || PyUnicode_AsUTF8AndSize(type_name.get(), nullptr) == nullptr) {
        (void)fetch_error();
        type_name.reset(PyUnicode_FromString("<failed to extract type name>"));
        if (!type_name) {
            return fetch_error();
        }
    }
    return type_error(
        PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", type_name.get(), target));
}

Status bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Slots& slots) noexcept {
    const auto parameters = static_cast<Py_ssize_t>(spec.parameters.size());
    for (Py_ssize_t i = 0; i < nargs && i < parameters; ++i) {
        slots[static_cast<std::size_t>(i)] = args[i];
    }
    if (nargs > parameters) {
        return type_error(
            PyUnicode_FromFormat("%s() takes %zd positional arguments but %zd were given",
                                 spec.name(), parameters, nargs));
    }
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* const keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameter_index(spec, keyword);
        if (index < 0) {
            return keyword_error("%s() got an unexpected keyword argument '%U'", spec, keyword);
        }
        PyObject*& slot = slots[static_cast<std::size_t>(index)];
        if (slot != nullptr) {
            return keyword_error("%s() got multiple values for argument '%U'", spec, keyword);
        }
        slot = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < parameters; ++i) {
        if (slots[static_cast<std::size_t>(i)] == nullptr) {
            return missing_arguments(spec, nargs, slots);
        }
    }
    return success;
}

Result<Period> extract_period(PyObject* object, const char* name) noexcept {
    unsigned long long value;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        OwnedRef index(PyNumber_Index(object));
        if (!index) {
            return name_argument(name, fetch_error());
        }
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return name_argument(name, fetch_error());
    }
    return Period{value};
}

Result<PyObject*> extract_array(PyObject* object, const char* name) noexcept {
    if (Status obtained = obtain_numpy_api(); !obtained.ok()) {
        return std::move(obtained).error();
    }
    if (!is_float64_vector(object)) {
        return name_argument(name, conversion_error(object, "PyArray<T, D>"));
    }
    return object;
}

Result<ReadAccess> extract_readonly_array(PyObject* object, const char* name) noexcept {
    Result<PyObject*> checked = extract_array(object, name);
    if (!checked.ok()) {
        return std::move(checked).error();
    }
    const BorrowRegion region = array_region(object);
    if (borrow_registry().acquire_shared(region.owner, region.begin, region.end) !=
        array_borrow_granted) {
        return error_with(
            PyExc_BufferError,
            PyUnicode_FromFormat(
                "argument '%s': array memory is held exclusively by another extension", name));
    }
    ReadAccess access;
    access.region_ = region;
    return access;
}

void ReadAccess::end() noexcept {
    if (region_.owner != nullptr) {
        borrow_registry().release_shared(region_.owner, region_.begin, region_.end);
        region_ = {};
    }
}

// Binds the call and converts every parameter in declaration order; stops
// at the first failure.
Status convert_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Arguments& arguments) noexcept {
    Slots slots{};
    if (Status bound = bind_arguments(spec, args, nargs, kwnames, slots); !bound.ok()) {
        return bound;
    }
    for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
        arguments.bound_[i] = OwnedRef::borrow(slots[i]);
    }
    for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
        PyObject* const object = arguments.bound_[i].get();
        const char* const name = spec.parameters[i].name.data();
        switch (spec.parameters[i].kind) {
        case ParamKind::period: {
            Result<Period> period = extract_period(object, name);
            if (!period.ok()) {
                return std::move(period).error();
            }
            arguments.periods_[i] = period.value();
            break;
        }
        case ParamKind::input: {
            Result<ReadAccess> access = extract_readonly_array(object, name);
            if (!access.ok()) {
                return std::move(access).error();
            }
            arguments.accesses_[i] = std::move(access.value());
            break;
        }
        case ParamKind::output: {
            Result<PyObject*> array = extract_array(object, name);
            if (!array.ok()) {
                return std::move(array).error();
            }
            break;
        }
        }
    }
    return success;
}

Status KernelInputs::take(std::span<const ArrayView> inputs,
                          std::span<const ArrayView> outputs) noexcept {
    std::array<bool, max_inputs> shared{};
    std::size_t bytes = 0;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        for (const ArrayView& output : outputs) {
            shared[k] = shared[k] || shares_memory(inputs[k], output);
        }
        bytes += shared[k] ? inputs[k].count * sizeof(double) : 0;
        series_[k] = as_series(inputs[k]);
    }
    if (bytes == 0) {
        return success;
    }
    copies_ = PyMem_RawMalloc(bytes);
    if (copies_ == nullptr) {
        PyErr_NoMemory();
        return fetch_error();
    }
    auto* next = static_cast<unsigned char*>(copies_);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        if (shared[k]) {
            std::memcpy(next, inputs[k].data, inputs[k].count * sizeof(double));
            series_[k] = Series(next, inputs[k].count);
            next += inputs[k].count * sizeof(double);
        }
    }
    return success;
}

namespace {

// Stack kept free below the deepest entry: what runs between one entry and
// the next (a conversion's Python code and the interpreter's frames, about
// 1.4 KiB a level here) or below the last one (making an error, or NumPy's
// first import, which takes some 50 KiB) must fit in it. The sanitizers'
// frames are several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uintptr_t stack_margin = 512 << 10;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::uintptr_t stack_margin = 512 << 10;
#else
constexpr std::uintptr_t stack_margin = 128 << 10;
#endif
#else
constexpr std::uintptr_t stack_margin = 128 << 10;
#endif

// The calling thread's stack, [low, high), and the lowest address an entry
// may start from. Looked up once per thread: the lookup allocates (for the
// main thread it reads /proc/self/maps), later calls only compare.
struct ThreadStack {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    std::uintptr_t floor = 0;
    bool known = false;
};

ThreadStack look_up_stack() noexcept {
    ThreadStack stack;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return stack;
    }
    void* base = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &base, &size) == 0 && size > 0) {
        stack.low = reinterpret_cast<std::uintptr_t>(base);
        stack.high = stack.low + size;
        // A small stack keeps three quarters of itself for its own calls.
        stack.floor = stack.low + (stack_margin < size / 4 ? stack_margin : size / 4);
    }
    pthread_attr_destroy(&attributes);
    return stack;
}

// True when the calling thread has too little stack left to enter. A stack
// pointer outside the thread's own stack (a coroutine's stack) is not judged.
bool stack_exhausted() noexcept {
    thread_local ThreadStack stack;
    if (!stack.known) {
        stack = look_up_stack();
        stack.known = true;
    }
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here >= stack.low && here < stack.floor;
}

bool enter(const char* where) noexcept {
    if (stack_exhausted()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
}

}  // namespace

EnteredCall::EnteredCall(const char* where) noexcept : entered_(enter(where)) {}

EnteredCall::~EnteredCall() {
    if (entered_) {
        Py_LeaveRecursiveCall();
    }
}

namespace {

Status convert_and_run(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, CheckedRun checked_run) noexcept {
    Arguments arguments;
    if (Status converted = convert_arguments(spec, args, nargs, kwnames, arguments);
        !converted.ok()) {
        return converted;
    }
    return checked_run(arguments);
}

}  // namespace

PyObject* call_entry(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, CheckedRun checked_run) noexcept {
    Status status = success;
    {
        const EnteredCall call(" while calling an indicator");
        if (!call.entered()) {
            return nullptr;
        }
        status = convert_and_run(spec, args, nargs, kwnames, checked_run);
    }
    if (status.ok()) {
        Py_RETURN_NONE;
    }
    std::move(status).error().raise();
    return nullptr;
}

}  // namespace quorvane::module

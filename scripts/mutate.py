#!/usr/bin/env python3
"""Mutation run: puts one hand-written fault at a time into core/ or module/,
rebuilds, runs the C++ suite and then the Python suite until the first
failing test, puts the source back, and prints which test caught each fault.

    .venv/bin/python scripts/mutate.py              # every fault
    .venv/bin/python scripts/mutate.py NAME ...     # only these
    .venv/bin/python scripts/mutate.py --list       # names, and stale faults
    .venv/bin/python scripts/mutate.py --both       # run both suites each time

A development tool, not part of the test command: run it after
`bash scripts/test.sh` has made .venv and build/core-tests. A smaller suite
that still catches every fault here has lost nothing these faults stand for.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parent.parent
PYTHON = ROOT / ".venv" / "bin" / "python"
CORE_BUILD = ROOT / "build" / "core-tests"
# Originals of the files being changed, so that a run killed outright can be
# undone by the next one.
BACKUP = ROOT / "build" / "mutate-backup"
SUITE_TIMEOUT = 1800


class Fault(NamedTuple):
    name: str
    path: str
    old: str
    new: str
    also: tuple = ()  # further (path, old, new) edits that make up the same fault

    def edits(self):
        return [(self.path, self.old, self.new), *self.also]


# The per-position steps that the batch kernels and the streaming states share.
STEPS = "core/include/quorvane/internal/steps.hpp"
STREAM = "module/stream_state.hpp"
STREAM_CPP = "core/src/stream.cpp"
# The indicators' descriptors and what the bindings derive from them.
DESCRIPTOR = "core/include/quorvane/descriptor.hpp"
MACD = "core/include/quorvane/indicators/macd.hpp"
ATR = "core/include/quorvane/indicators/atr.hpp"
DESCRIBED = "module/described.cpp"
UNIVERSE = "core/src/universe.cpp"

FAULTS = [
    # SMA: operation order, sign of the seed, product against quotient, blocks.
    Fault("sma_update_in_one_expression", STEPS,
          "            sum = add_nan_first(sum, d);\n", "            sum = sum + x - oldest;\n"),
    Fault("sma_seed_from_positive_zero", STEPS,
          "    double sum = -0.0;\n\n    explicit SmaStep(",
          "    double sum = 0.0;\n\n    explicit SmaStep("),
    Fault("sma_quotient_for_product", STEPS,
          "    double slide(double x, double oldest) noexcept { return slide(sum, x, oldest, scale); }",
          "    double slide(double x, double oldest) noexcept {\n"
          "        slide(sum, x, oldest, scale);\n        return sum / divisor;\n    }",
          ((STEPS, "    double sum = -0.0;\n\n    explicit SmaStep(Period period) noexcept "
            ": scale(1.0 / static_cast<double>(period)) {}",
            "    double sum = -0.0;\n    double divisor;\n\n    explicit SmaStep(Period period) noexcept "
            ": scale(1.0 / static_cast<double>(period)), divisor(static_cast<double>(period)) {}"),)),
    Fault("sma_block_skips_a_position", STEPS,
          "for (std::size_t k = 0; k < 8; ++k)", "for (std::size_t k = 0; k < 7; ++k)"),
    Fault("window_full_length_degenerate", "core/src/window.hpp",
          "if (period - 1 >= n)", "if (period >= n)"),
    # EMA.
    Fault("ema_seed_from_positive_zero", STEPS,
          "    Position run = 0;\n    double sum = -0.0;\n",
          "    Position run = 0;\n    double sum = 0.0;\n"),
    Fault("ema_seed_by_reciprocal", STEPS,
          "    double seed(double sum) const noexcept { return sum / divisor; }\n    template <class T>\n"
          "    [[gnu::always_inline]] T next(",
          "    double seed(double sum) const noexcept { return sum * (1.0 / divisor); }\n"
          "    template <class T>\n    [[gnu::always_inline]] T next("),
    Fault("ema_recurrence_reassociated", STEPS,
          "        return keep * average + alpha * x;",
          "        return keep * (average - x) + x;"),
    Fault("ema_seed_run_takes_infinities", "core/src/ema.cpp",
          "run = is_finite_bits(data[i]) ? run + 1 : 0;",
          "run = !std::isnan(data[i]) ? run + 1 : 0;"),
    Fault("ema_gap_left_unwritten", STEPS,
          "            output.set(i, average);\n        } else {\n            output.set(i, no_value);\n"
          "        }\n",
          "            output.set(i, average);\n        }\n"),
    # MACD.
    Fault("macd_signal_starts_one_late", STEPS,
          "(i - (p.slow_period - 1) >= p.signal_period - 1)", "(i - (p.slow_period - 1) >= p.signal_period)"),
    Fault("macd_nan_window_one_too_long", STEPS,
          "return end > last + 1 - period;", "return end > last - period;"),
    Fault("macd_seed_summed_oldest_first", STEPS,
          "            sum += window(k);", "            sum += window(period - 1 - k);"),
    Fault("macd_warm_up_one_long", STEPS,
          "const Position first_value = periods.slow_period - 1;",
          "const Position first_value = periods.slow_period;"),
    # Same values, but every window with a NaN is summed again: quadratic.
    Fault("macd_nan_windows_summed", STEPS,
          "            fast_average = seen.sums_to_nan(i, p.fast_period)\n"
          "                               ? no_value\n"
          "                               : p.fast.seed(trailing_sum(window, p.fast_period));\n"
          "            slow_average = is_nan(fast_average) || seen.sums_to_nan(i, p.slow_period)\n"
          "                               ? no_value\n"
          "                               : p.slow.seed(trailing_sum(window, p.slow_period));\n",
          "            fast_average = p.fast.seed(trailing_sum(window, p.fast_period));\n"
          "            slow_average = p.slow.seed(trailing_sum(window, p.slow_period));\n"),
    Fault("macd_one_infinity_makes_nan", STEPS,
          "holds(nan_end) || (holds(positive_end) && holds(negative_end))",
          "holds(nan_end) || holds(positive_end) || holds(negative_end)"),
    # ATR and maxNum.
    Fault("atr_seed_from_negative_zero", "core/src/atr.cpp",
          "    double sum = 0.0;", "    double sum = -0.0;"),
    Fault("atr_smoothing_reassociated", STEPS,
          "        const T d = range - average;\n        const T e = k * d;\n",
          "        return (average * (divisor - 1.0) + range) * k;\n"
          "        const T d = range - average;\n        const T e = k * d;\n"),
    Fault("atr_warm_up_one_short", "core/src/atr.cpp",
          "    output.fill_no_value(0, window);", "    output.fill_no_value(0, window - 1);"),
    Fault("atr_pair_reads_its_own_close", STEPS,
          "load_pair(close.data(), i - 1)", "load_pair(close.data(), i)"),
    Fault("max_num_pair_nan_rule", STEPS,
          "const V larger = y > x_or_y ? y : x_or_y;", "const V larger = y > x ? y : x;"),
    Fault("max_num_pair_sign_rule", STEPS,
          "~std::bit_cast<Bits>(y) & (x_or_y == y)", "~std::bit_cast<Bits>(x_or_y) & (x_or_y == y)"),
    Fault("max_num_nan_rule", STEPS,
          "(x < y) | std::isnan(x)", "(x < y) | std::isnan(y)"),
    Fault("max_num_sign_rule", STEPS,
          "larger & (y_bits | ~equal)", "larger | (y_bits & equal)"),
    Fault("failure_backtrace_on_zero", "core/src/failure.cpp",
          'return setting != nullptr && std::strcmp(setting, "0") != 0;',
          "return setting != nullptr;"),
    # Check order and messages of the entry points.
    Fault("single_length_before_layout", DESCRIPTOR,
          '    {Check::contiguous, 1, "Output array must be C-contiguous and float64"},\n'
          '    {Check::same_count, 0, "Output array length must match input"},\n',
          '    {Check::same_count, 0, "Output array length must match input"},\n'
          '    {Check::contiguous, 1, "Output array must be C-contiguous and float64"},\n'),
    Fault("single_message_changed", DESCRIPTOR,
          '"Output array length must match input"', '"Output array length must match the input"'),
    Fault("single_writeable_unchecked", DESCRIPTOR,
          '{Check::writeable, 1, "Output array must be writeable"}',
          '{Check::same_count, 1, "Output array must be writeable"}'),
    Fault("macd_order_test_before_zero_test", MACD,
          '        if (p[0] == 0 || p[1] == 0 || p[2] == 0) {\n'
          '            return "Periods must be greater than 0";\n        }\n'
          '        if (p[0] >= p[1]) {\n'
          '            return "Fast period must be less than slow period";\n        }\n',
          '        if (p[0] >= p[1]) {\n'
          '            return "Fast period must be less than slow period";\n        }\n'
          '        if (p[0] == 0 || p[1] == 0 || p[2] == 0) {\n'
          '            return "Periods must be greater than 0";\n        }\n'),
    Fault("macd_lengths_by_len_only", DESCRIBED,
          "== in[0].count &&\n                         out[k].count == in[0].count;",
          "== in[0].count;"),
    Fault("macd_message_changed", MACD,
          '"Signal output array must be writeable"', '"Signal output array must be writable"'),
    Fault("atr_output_layout_before_lengths", ATR,
          '        {descriptor::Check::same_count, 0, "All arrays must have the same length"},\n'
          '        {descriptor::Check::contiguous, 3, "Output array must be C-contiguous and float64"},\n',
          '        {descriptor::Check::contiguous, 3, "Output array must be C-contiguous and float64"},\n'
          '        {descriptor::Check::same_count, 0, "All arrays must have the same length"},\n'),
    Fault("same_count_skips_the_third_array", DESCRIBED,
          "passed = passed && view(k).count == in[0].count;",
          "passed = passed && (k == 2 || view(k).count == in[0].count);"),
    Fault("contiguous_refuses_one_element", "module/numpy_arrays.hpp",
          "|| view.count < 2;", "|| view.count < 1;"),
    # Binding and conversion.
    Fault("missing_list_without_serial_comma", "module/frame.cpp",
          '", and "', '" and "'),
    Fault("wrapped_error_drops_its_cause", "module/frame.cpp",
          "PyException_SetCause(wrapped.get(), PyException_GetCause(inner.instance()));",
          "PyException_SetCause(wrapped.get(), nullptr);"),
    # References, the lock, the registry, overlap and recursion.
    Fault("index_result_not_released", "module/frame.cpp",
          "        value = PyLong_AsUnsignedLongLong(index.get());",
          "        value = PyLong_AsUnsignedLongLong(Py_NewRef(index.get()));"),
    Fault("error_text_not_released", "module/frame.cpp",
          'PyUnicode_FromFormat("argument \'%s\': %U", name, text.get())',
          'PyUnicode_FromFormat("argument \'%s\': %U", name, Py_NewRef(text.get()))'),
    Fault("bound_arguments_not_owned", "module/frame.cpp",
          "arguments.bound_[i] = OwnedRef::borrow(slots[i]);",
          "arguments.bound_[i] = OwnedRef(slots[i]);",
          (("module/frame.hpp", "class Arguments {\npublic:\n",
            "class Arguments {\npublic:\n"
            "    ~Arguments() { for (OwnedRef& b : bound_) { (void)b.release(); } }\n"),)),
    Fault("lock_not_released", "module/frame.hpp",
          "    PyThreadState* const state = PyEval_SaveThread();\n    work();\n"
          "    PyEval_RestoreThread(state);\n",
          "    work();\n"),
    Fault("read_access_not_ended", "module/frame.cpp",
          "        borrow_registry().release_shared(region_.owner, region_.begin, region_.end);\n",
          ""),
    Fault("registry_adjacent_ranges_conflict", "module/borrow_registry.cpp",
          "held.begin < end && begin < held.end", "held.begin <= end && begin <= held.end"),
    Fault("fork_keeps_other_threads_registrations", "module/borrow_registry.cpp",
          "void after_fork_in_child() noexcept {\n    registrations.keep_only_this_thread();\n}\n",
          "void after_fork_in_child() noexcept {}\n"),
    Fault("overlap_copy_skipped", "module/frame.cpp",
          "    if (bytes == 0) {\n        return success;\n    }\n", "    return success;\n"),
    Fault("overlap_only_when_starts_match", "module/numpy_arrays.hpp",
          "a_begin < b_begin + b.count * sizeof(double) &&\n"
          "           b_begin < a_begin + a.count * sizeof(double)",
          "a_begin == b_begin"),
    Fault("recursion_guard_removed", "module/frame.cpp",
          "    return Py_EnterRecursiveCall(where) == 0;\n",
          "    return true;\n",
          (("module/frame.cpp", "        Py_LeaveRecursiveCall();\n", ""),)),
    # quorvane_stream: the object's lock, states replaced during a call, forks.
    Fault("stream_lock_held_during_conversion", STREAM,
          "        std::array<double, inputs> x{};\n"
          "        if (Status parsed = parse_floats(method, args, nargs, kwnames, x, Traits::value_names);\n"
          "            !parsed.ok()) {\n",
          "        std::array<double, inputs> x{};\n        object->lock.lock();\n"
          "        Status parsed =\n"
          "            parse_floats(method, args, nargs, kwnames, x, Traits::value_names);\n"
          "        object->lock.unlock();\n        if (!parsed.ok()) {\n"),
    Fault("stream_kind_read_before_conversion", STREAM,
          "        std::array<double, inputs> x{};\n",
          "        Single* const early = object->single.get();\n        std::array<double, inputs> x{};\n",
          ((STREAM, "            Single* const single = object->single.get();\n"
            "            if (single == nullptr) {\n                outcome = Outcome::now_universe;\n"
            "            } else if (trial) {",
            "            Single* const single = early;\n            if (false) {\n"
            "            } else if (trial) {"),)),
    Fault("stream_many_kind_not_checked_again", STREAM,
          "            if (single == nullptr) {\n                outcome = Outcome::now_universe;\n"
          "            } else if (!single->prepare(views.count)) {",
          "            if (!single->prepare(views.count)) {"),
    Fault("stream_width_not_checked_again", STREAM,
          "if (universe->width() != width) {", "if (false) {"),
    Fault("stream_lock_kept_on_refusal", STREAM,
          "        if (outcome != Outcome::done) {\n            return refusal(outcome, method);\n",
          "        if (outcome != Outcome::done) {\n            object->lock.lock();\n"
          "            return refusal(outcome, method);\n"),
    Fault("stream_update_many_unlocked", STREAM,
          "        under_lock(object->lock, Traits::releases_lock, [&] {\n"
          "            Single* const single = object->single.get();",
          "        run_unlocked([&] {\n            Single* const single = object->single.get();"),
    Fault("stream_lock_given_back_after_the_interpreter_lock", STREAM,
          "    lock.unlock();\n    leave_unlocked_section();\n    PyEval_RestoreThread(thread);\n",
          "    leave_unlocked_section();\n    PyEval_RestoreThread(thread);\n    lock.unlock();\n"),
    Fault("stream_fork_does_not_wait", "module/stream_state.cpp",
          "        unlocked_sections.wait(left);\n", "        break;\n"),
    # quorvane_stream: a universe call's kind and width, read without the lock
    # and checked again under it, while __setstate__ replaces the state.
    Fault("stream_universe_kind_not_checked_again", STREAM,
          "            if (universe == nullptr) {\n                outcome = Outcome::now_single;\n"
          "                return;\n            }\n", ""),
    Fault("stream_shape_read_under_the_lock", STREAM,
          "    Shape shape() const noexcept {\n"
          "        const std::size_t word = shape_word.load(std::memory_order_relaxed);\n",
          "    Shape shape() noexcept {\n        std::size_t word = 0;\n"
          "        under_lock(lock, false, [&] { word = shape_word.load(std::memory_order_relaxed); });\n"),
    Fault("stream_shape_word_not_replaced", STREAM,
          "            object->shape_word.store(word, std::memory_order_relaxed);\n", ""),
    # The module and internal failures.
    Fault("same_interpreter_refused_again", "module/module_cell.cpp",
          "compare_exchange_strong(recorded, interpreter) &&\n        recorded != interpreter)",
          "compare_exchange_strong(recorded, interpreter))"),
    Fault("panic_subclass_resumed", "module/internal_failure.cpp",
          "if (reinterpret_cast<PyObject*>(Py_TYPE(raised)) == internal_failure_type()) {",
          "if (PyObject_IsInstance(raised, internal_failure_type()) == 1) {"),

    # ---- Shared by both extensions: the stack check, the one internal
    # failure type, the wrapped error's context, and the batch module's
    # restored behaviours.
    Fault("stack_check_removed", "module/frame.cpp",
          "    if (stack_exhausted()) {\n", "    if (false) {\n"),
    Fault("stack_margin_zero", "module/frame.cpp",
          "stack.floor = stack.low + (stack_margin < size / 4 ? stack_margin : size / 4);",
          "stack.floor = stack.low;"),
    Fault("internal_failure_type_per_extension", "module/internal_failure.cpp",
          "    PyObject* const capsule = PySys_GetObject(sys_attribute);\n",
          "    PyObject* const capsule = nullptr;\n"),
    Fault("published_type_base_unchecked", "module/internal_failure.cpp",
          "        type->tp_base != reinterpret_cast<PyTypeObject*>(PyExc_BaseException) ||\n", ""),
    Fault("wrapped_error_context_not_linked", "module/call_error.cpp",
          "    if (instance_ && made_) {\n", "    if (false) {\n"),
    Fault("wrapped_error_cause_leaked", "module/frame.cpp",
          "PyException_SetCause(wrapped.get(), PyException_GetCause(inner.instance()));",
          "PyException_SetCause(wrapped.get(), Py_XNewRef(PyException_GetCause(inner.instance())));"),
    Fault("writer_granted_over_readers", "module/borrow_registry.cpp",
          "    if (registrations.conflicts(begin, end, true)) {\n",
          "    if (registrations.conflicts(begin, end, false)) {\n"),
    Fault("broken_registry_message_changed", "module/borrow_registry.cpp",
          '"Interal borrow checking API error"', '"Internal borrow checking API error"'),
    Fault("float64_by_identity_only", "module/numpy_arrays.cpp",
          "return descr == float64 || PyArray_EquivTypes(descr, float64);",
          "return descr == float64;"),
    Fault("shared_input_not_copied", "module/frame.cpp",
          "shared[k] = shared[k] || shares_memory(inputs[k], output);", "shared[k] = false;"),
    # ---- One initialisation for both extensions: its order of steps and its
    # one refusal text.
    Fault("init_module_handed_out_before_interpreter_check", "module/module_cell.cpp",
          "    std::int64_t recorded = -1;\n",
          "    if (cell.built != nullptr) {\n        return Py_NewRef(cell.built);\n    }\n"
          "    std::int64_t recorded = -1;\n"),
    Fault("init_other_interpreter_admitted", "module/module_cell.cpp",
          "        recorded != interpreter) {", "        false) {"),
    Fault("init_refusal_text_changed", "module/module_cell.cpp",
          '"PyO3 modules do not yet support subinterpreters, see "',
          '"PyO3 modules do not support subinterpreters, see "'),
    Fault("init_interpreter_recorded_per_call", "module/module_cell.cpp",
          "    std::int64_t recorded = -1;\n",
          "    cell.first_interpreter.store(-1);\n    std::int64_t recorded = -1;\n"),
    # ---- Saved states, the count's top, window growth and NaN payloads ----
    # Loading: a width-0 ring counted slot by slot, and rules of the states.
    Fault("width0_ring_saved_slot_by_slot", STREAM_CPP,
          "ring.width_ == 0 ? 0 : ring.held()", "ring.held()"),
    Fault("sma_filling_sum_unchecked", STREAM_CPP,
          "if (period == 0 || seen >= period) {", "if (period == 0 || seen != 0) {"),
    Fault("ema_unseeded_run_may_reach_the_period", STREAM_CPP,
          "return (run < period || period == 0) &&", "return (run <= period || period == 0) &&"),
    Fault("macd_mark_may_lie_past_the_ring", STREAM_CPP,
          "return found != 0 ? mark == found : mark <= first;",
          "return found != 0 ? mark >= found : mark <= first;"),
    Fault("atr_sum_before_second_bar_unchecked", STREAM_CPP,
          "if ((seen <= 1 || period == 0) && !same_bits(sum, 0)) {",
          "if ((seen == 0 || period == 0) && !same_bits(sum, 0)) {"),
    # The top of the count.
    Fault("count_wraps", STEPS,
          "return seen > top_position - more ? top_position : seen + more;", "return seen + more;"),
    Fault("macd_marks_not_moved_at_the_top", STEPS,
          "*end -= *end != 0 ? 1 : 0;", "*end -= 0;"),
    Fault("macd_window_test_wraps", STEPS,
          "return end > last + 1 - period;", "return end + period > last + 1;"),
    Fault("atr_largest_period_seeds_at_the_top", STREAM_CPP,
          "if (seen_ < period_ || period_ == top_position) {", "if (seen_ < period_) {"),
    # Growth.
    Fault("ring_growth_without_fallback", "core/include/quorvane/stream.hpp",
          "return (slots > wanted && grow(slots)) || grow(wanted);", "return grow(slots);"),
    # NaN payloads: a plain sum, whose operands the compiler may swap.
    Fault("sma_slide_plain_sum", STEPS,
          "            sum = add_nan_first(sum, d);\n", "            sum += d;\n"),
    Fault("atr_lanes_average_first", STEPS,
          "return add_nan_first_lanes(e, average);", "return add_nan_first_lanes(average, e);"),
    # ---- The tags of saved states, listed once: a value changed breaks the
    # bytes saved before; a universe's tag equal to a single series'.
    Fault("state_tag_single_renumbered", "core/src/state_tags.hpp",
          "sma_tag = 0x51760021,", "sma_tag = 0x51760025,"),
    Fault("state_tag_universe_renumbered", "core/src/state_tags.hpp",
          "universe_atr_tag = 0x51760034,", "universe_atr_tag = 0x51760035,"),
    Fault("state_tag_universe_as_single", "core/src/state_tags.hpp",
          "universe_ema_tag = 0x51760032,", "universe_ema_tag = 0x51760022,"),
    # ---- Restarted lanes and the latest values ----
    Fault("restart_macd_joins_before_the_signal_starts", "core/include/quorvane/stream.hpp",
          "return count_on(periods_.slow_period, periods_.signal_period - 1);",
          "return periods_.slow_period;"),
    Fault("restart_macd_marks_kept_on_own_positions", UNIVERSE,
          "return end != 0 ? end + shift : 0;", "return end != 0 ? end + 0 * shift : 0;"),
    Fault("restart_sma_sum_kept", UNIVERSE,
          "        sums_[static_cast<std::size_t>(lanes[k])] = SmaStep(period_).sum;\n", ""),
    Fault("restart_atr_seeds_on_the_universe_count", UNIVERSE,
          "const bool seeds = i == period_ && period_ != 0",
          "const bool seeds = seen_ == period_ && period_ != 0"),
    Fault("restart_ema_seeded_lane_not_counted", UNIVERSE,
          "unseeded_ += is_nan(averages_[j]) ? 0U : 1U;", "unseeded_ += 0U;"),
    Fault("restart_stepped_on_the_universe_count", "core/include/quorvane/stepped.hpp",
          "D::step(constants_, lane, count, x.data(), past, kept + fields);",
          "D::step(constants_, lane, seen_ + 0 * count, x.data(), past, kept + fields);"),
    Fault("ema_last_missing_value_unmarked", UNIVERSE,
          "missing_[j] = is_finite_bits(values[j]) ? missing_[j] : seen_;", "missing_[j] = 0;"),
    Fault("last_of_single_unsaved", "core/include/quorvane/stream.hpp",
          "        visit.number(s.last_...);\n        visit.ring(s.window_...);",
          "        visit.ring(s.window_...);"),
    Fault("reset_lane_at_the_width_taken", "module/stream_state.cpp",
          "static_cast<unsigned long long>(lane) >= width", "static_cast<unsigned long long>(lane) > width"),
]


def run(command, timeout=SUITE_TIMEOUT, **kwargs):
    """The exit status and output of `command`; status None on timeout. Its
    whole process group goes on timeout (a test may start servers)."""
    process = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, start_new_session=True,
                               **kwargs)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        if sys.exc_info()[0] is subprocess.TimeoutExpired:
            return None, output
        raise


def build():
    """Empty when the build succeeds, else its output. The extension and the
    C++ suite are one build (as the test command makes it), so one install
    rebuilds both."""
    status, output = run([str(PYTHON), "-m", "pip", "install", "--no-build-isolation", "--no-deps",
                          "-q", "--disable-pip-version-check", f"-Cbuild-dir={CORE_BUILD}", "."])
    return output if status != 0 else ""


def cpp_suite():
    """The first failing C++ test, or None."""
    status, output = run(["ctest", "--test-dir", str(CORE_BUILD), "--stop-on-failure",
                          "--timeout", "300"])
    if status is None:
        return "C++ suite: timeout"
    if status == 0:
        return None
    failed = re.findall(r"^\s*\d+ - (\S+) \(", output, re.M)
    return "C++ " + (failed[0] if failed else f"suite (status {status})")


def python_suite(storage):
    """The first failing Python test, or None."""
    env = dict(os.environ, HYPOTHESIS_STORAGE_DIRECTORY=storage)
    status, output = run([str(PYTHON), "-m", "pytest", "-x", "-q", "-rfE", "-p", "no:cacheprovider",
                          "--hypothesis-seed=0", "tests/python"], env=env)
    if status is None:
        return "Python suite: timeout"
    if status == 0:
        return None
    failed = re.findall(r"^(?:FAILED|ERROR) tests/python/(.+?)(?: - |$)", output, re.M)
    if failed:
        return failed[0]
    # A crash of the interpreter itself: faulthandler names the test.
    crashed = re.findall(r'File ".*?tests/python/(test_\w+\.py)", line \d+ in (test_\w+)', output)
    where = "::".join(crashed[-1]) if crashed else "the suite"
    return f"{where} (crashed, status {status})"


def restore_leftovers():
    """Puts back originals left by a run that could not clean up."""
    if BACKUP.is_dir():
        for saved in BACKUP.rglob("*"):
            if saved.is_file():
                shutil.copyfile(saved, ROOT / saved.relative_to(BACKUP))
        shutil.rmtree(BACKUP)


def apply(fault):
    """The changed files' original texts, or None when a snippet is stale
    (not found exactly once)."""
    originals, texts = {}, {}
    for path, old, new in fault.edits():
        if path not in texts:
            texts[path] = originals[path] = (ROOT / path).read_text()
        if texts[path].count(old) != 1:
            return None
        texts[path] = texts[path].replace(old, new)
    for path in originals:
        (BACKUP / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(ROOT / path, BACKUP / path)
    for path, text in texts.items():
        (ROOT / path).write_text(text)
    return originals


def restore(originals):
    for path, text in originals.items():
        (ROOT / path).write_text(text)
    shutil.rmtree(BACKUP, ignore_errors=True)


def judge(fault, both, storage):
    """(result, killers) for one fault, the source restored afterwards."""
    originals = apply(fault)
    if originals is None:
        return "stale", ""
    try:
        failure = build()
        if failure:
            return "does not build", failure.strip().splitlines()[-1][:60]
        killers = [cpp_suite()]
        if killers[0] is None or both:
            killers.append(python_suite(storage))
    finally:
        restore(originals)
    killers = [k for k in killers if k]
    return ("killed" if killers else "survived"), "; ".join(killers)


def interrupted(*_):
    # SIGTERM unwinds like Ctrl-C, so that the source is always put back.
    raise KeyboardInterrupt


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="faults to run (default: all)")
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    parser.add_argument("--both", action="store_true",
                        help="run the Python suite also when a C++ test caught the fault")
    options = parser.parse_args()
    signal.signal(signal.SIGTERM, interrupted)
    restore_leftovers()
    known = {fault.name: fault for fault in FAULTS}
    unknown = [name for name in options.names if name not in known]
    if unknown:
        parser.error(f"unknown faults: {', '.join(unknown)}")
    chosen = [known[name] for name in options.names] or FAULTS
    if options.list:
        for fault in chosen:
            stale = any((ROOT / p).read_text().count(old) != 1 for p, old, _ in fault.edits())
            print(f"{fault.name}{'  (stale)' if stale else ''}")
        return 0
    if not PYTHON.exists() or not CORE_BUILD.is_dir():
        parser.error("run `bash scripts/test.sh` first: it makes .venv and build/core-tests")
    width = max(len(fault.name) for fault in chosen)
    print(f"{'fault':{width}} | {'result':14} | by", flush=True)
    print(f"{'-' * width}-|-{'-' * 14}-|-{'-' * 30}", flush=True)
    results = []
    try:
        for fault in chosen:
            start = time.monotonic()
            # Hypothesis starts afresh: no example saved under another fault.
            with tempfile.TemporaryDirectory() as storage:
                result, by = judge(fault, options.both, storage)
            results.append(result)
            print(f"{fault.name:{width}} | {result:14} | {by} "
                  f"[{time.monotonic() - start:.0f} s]", flush=True)
    finally:
        # The environment gets the real extension back.
        build()
    counts = {r: results.count(r) for r in dict.fromkeys(results)}
    print(", ".join(f"{n} {r}" for r, n in counts.items()))
    return 0 if set(results) == {"killed"} else 1


if __name__ == "__main__":
    sys.exit(main())

"""A slow stand-in for the compiled engine, used only while it is not built.

It keeps the engine's calling convention (periods, inputs, outputs, threads)
and runs each column through a fresh streaming state's update_many, whose
values are the batch functions' bit for bit. Threads are ignored.
"""

import inspect

import numpy as np

import quorvane_stream

_SUMMARIES = {
    "Sma": "Simple moving average: the mean of the last `period` values.",
    "Ema": "Exponential moving average with smoothing factor 2 / (period + 1).",
    "Macd": "MACD: fast EMA minus slow EMA, its signal line (an EMA of it) and their difference.",
    "Atr": "Average true range: Wilder's smoothing of the true range of each bar.",
}
_DEFAULTS = {"Sma": (30,), "Ema": (30,), "Macd": (12, 26, 9), "Atr": (14,)}


def _record(class_name):
    cls = getattr(quorvane_stream, class_name)
    periods = tuple(p for p in inspect.signature(cls).parameters if p != "width")
    arrays = tuple(inspect.signature(cls.update_many).parameters)[1:]
    outputs = tuple(a for a in arrays if a.endswith("output"))
    inputs = arrays[: len(arrays) - len(outputs)]
    return (class_name.lower(), class_name, _SUMMARIES[class_name], periods,
            _DEFAULTS[class_name], inputs, outputs)


_RECORDS = tuple(_record(name) for name in quorvane_stream.__all__)


def indicators():
    return _RECORDS


def _kernel(cls):
    def run(periods, inputs, outputs, threads):
        state = cls(*periods)  # refuses periods as the engine does
        if inputs[0].ndim == 1:
            state.update_many(*inputs, *outputs)
            return
        # Every input read before any output is written: they may share memory.
        columns = [np.array(a, order="F") for a in inputs]
        for j in range(inputs[0].shape[1]):
            results = [np.empty(inputs[0].shape[0]) for _ in outputs]
            cls(*periods).update_many(*(np.ascontiguousarray(c[:, j]) for c in columns), *results)
            for out, result in zip(outputs, results, strict=True):
                out[:, j] = result

    return run


for _record_ in _RECORDS:
    globals()[_record_[0]] = _kernel(getattr(quorvane_stream, _record_[1]))

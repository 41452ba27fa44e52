"""Arrays of odd layouts and lengths, and Buffers whose views share storage."""

# The reference models run over the same sharing as the extension (Buffer.expected).

import numpy as np

from support import reference


class Window:
    # `length` consecutive cells from `start`, indexed as a model indexes an
    # array; a cell without a value reads as NaN, as the no-value NaN does.
    def __init__(self, cells, start, length):
        self.cells, self.start, self.length = cells, start, length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(self.length))]
        if not 0 <= index < self.length:
            raise IndexError(index)
        value = self.cells[self.start + index]
        return float("nan") if value is None else value

    def __setitem__(self, index, value):
        assert 0 <= index < self.length
        self.cells[self.start + index] = value


class Buffer:
    # A float64 array over raw bytes, at any alignment and writeable or not,
    # beside a list of cells with the same values. The extension gets views
    # of the array; a model gets Windows of the cells at the same places, so
    # its writes show up in its later reads exactly where the kernel's do.
    def __init__(self, values, misalign=0, writeable=True):
        raw = bytearray(8 * len(values) + 8)
        self.array = np.frombuffer(raw, np.float64, len(values), misalign)
        self.array[:] = values
        if not writeable:
            self.array = np.frombuffer(bytes(raw), np.float64, len(values), misalign)
        self.cells = [float(v) for v in values]

    def __len__(self):
        return len(self.cells)

    def view(self, start, length, step=1, writeable=True):
        # Elements start, start + step, ... (any step, 0 included).
        return np.lib.stride_tricks.as_strided(
            self.array[start:], shape=(length,), strides=(8 * step,),
            writeable=writeable and self.array.flags.writeable)

    def expected(self, name, periods, arrays):
        # The cells after the model of `name` runs over `arrays`, views of this
        # buffer in parameter order. Every input is read before any output is
        # written, so the model reads copies of the inputs.
        cells, origin = list(self.cells), self.array.__array_interface__["data"][0]
        windows = [Window(cells, (v.__array_interface__["data"][0] - origin) // 8, len(v))
                   for v in arrays]
        model = reference.MODELS[name]
        model.run(*periods, *(list(w) for w in windows[:model.inputs]), *windows[model.inputs:])
        return cells


class Subclass(np.ndarray):
    pass


class LyingLength(np.ndarray):
    # len() set apart from the element count; a string claim raises a new
    # KeyError of it.
    def __len__(self):
        if isinstance(self.claimed, str):
            raise KeyError(self.claimed)
        return self.claimed


def lying(count, claimed):
    array = np.full(count, 42.0).view(LyingLength)
    array.claimed = claimed
    return array


def ascending(n=5):
    return np.arange(1.0, n + 1)


def strided(n=5, step=2):
    return np.arange(float(n * step))[::step]


def readonly(n=6):
    return np.frombuffer(bytes(8 * n))


def flagged_readonly(n=6):
    array = np.full(n, 42.0)
    array.flags.writeable = False
    return array


def packed_field(n=5):
    # A float64 field of a packed record: elements 12 bytes apart.
    return np.zeros(n, dtype=np.dtype([("a", "i4"), ("b", "f8")]))["b"]


def fresh_float64(array):
    # The array with a float64 descriptor made anew, equal to but not NumPy's own.
    fresh = array.view(np.dtype(np.float64).newbyteorder("="))
    assert fresh.dtype == np.float64 and fresh.dtype is not np.dtype(np.float64)
    return fresh


def outputs(n=6):
    return [np.full(n, 42.0) for _ in range(3)]

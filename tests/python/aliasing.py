"""Arrays that share storage, and the reference models run over the same
sharing.

A Buffer is a float64 array over raw bytes, at any alignment and writeable
or not, beside a list of cells with the same values. The extension gets
views of the array; a model gets Windows of the cells at the same places, so
a model's writes show up in its later reads exactly where the kernel's do.
"""

import numpy as np

import reference
from reference import NO_VALUE

NAN = float("nan")


class Window:
    """`length` consecutive cells from `start`, as a model indexes an array.
    A cell that holds no value reads as NaN, as the no-value NaN does."""

    def __init__(self, cells, start, length):
        self.cells, self.start, self.length = cells, start, length

    def __len__(self):
        return self.length

    def _cell(self, index):
        if not 0 <= index < self.length:
            raise IndexError(index)
        return self.start + index

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(self.length))]
        value = self.cells[self._cell(index)]
        return NAN if value is NO_VALUE else value

    def __setitem__(self, index, value):
        self.cells[self._cell(index)] = value


class Buffer:
    def __init__(self, values, misalign=0, writeable=True):
        raw = bytearray(8 * len(values) + 8)
        self.array = np.frombuffer(raw, np.float64, len(values), misalign)
        self.array[:] = values
        if not writeable:
            self.array = np.frombuffer(bytes(raw), np.float64, len(values), misalign)
        self.cells = [float(v) for v in values]

    def __len__(self):
        return len(self.cells)

    def address(self):
        return self.array.__array_interface__["data"][0]

    def view(self, start, length, step=1, writeable=True):
        """Elements start, start + step, ... (any step, 0 included)."""
        if length:
            assert 0 <= start < len(self) and 0 <= start + step * (length - 1) < len(self)
        view = np.lib.stride_tricks.as_strided(
            self.array[start:], shape=(length,), strides=(8 * step,),
            writeable=writeable and self.array.flags.writeable)
        return view

    def window(self, cells, view):
        offset = view.__array_interface__["data"][0] - self.address()
        assert offset % 8 == 0 and (len(view) < 2 or view.strides[0] == 8)
        return Window(cells, offset // 8, len(view))

    def expected(self, function_name, periods, arrays):
        """The cells after the model runs over `arrays`, views of this
        buffer in parameter order. Every input is read before any output
        is written, so the model reads copies of the inputs."""
        cells = list(self.cells)
        windows = [self.window(cells, a) for a in arrays]
        inputs = reference.INPUTS[function_name]
        reference.MODELS[function_name](
            periods, [list(w) for w in windows[:inputs]] + windows[inputs:])
        return cells

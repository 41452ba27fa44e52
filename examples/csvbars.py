"""Bars from a CSV file, as the demo reads them.

A plain file (no quotes, every line with all its fields) is read with
whole-array NumPy operations, within twice the time pandas takes
(bench/csv_read.py); any other file, or one with a problem, is read line by
line, which names the line of the first problem. Either way every price is
the double float() makes of it.
"""

import codecs
import csv
import io
import math
import os
import re
import sys
from datetime import datetime
from pathlib import Path

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

COLUMNS = ("Date", "Open", "High", "Low", "Close")
# Read when present, like a price; drawn in a panel of its own.
VOLUME = "Volume"
# Fields that stand for a missing price, in lower case; anything else must be
# a finite number.
MISSING = frozenset({"", "nan", "null", "na", "n/a", "#n/a"})
# The header line decides which of these separates the fields.
SEPARATORS = (",", ";", "\t")
# A number as a CSV file writes it. float() takes more: "1_0", "inf",
# digits of other scripts.
NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
# Files at least this large get a progress bar while they are read.
PROGRESS_BYTES = 4 << 20
CHUNK_BYTES = 1 << 20

# The fast reader reads a price in plain decimal notation from the 8-byte
# words that end it, its digits as an integer. Up to SHORT digits and dot
# (two words) the integer and the power of ten to divide it by are exact
# doubles, so the one division rounds as float() does. Up to LONG (three
# words) the quotient is rounded by its exact remainder, found with
# Dekker's products; what lies too near a tie, or is written otherwise
# (1.5e3), goes through NumPy's cast, which rounds as float() does.
SHORT, LONG = 15, 19
ROWS_AT_ONCE = 1 << 15
BLOCK_BYTES = 1 << 18
TENS = 10.0 ** np.arange(LONG + 1)
POWERS = 10 ** np.arange(LONG + 1, dtype=np.uint64)
# Words of eight bytes, for the fast reader's bytewise arithmetic.
SEVEN = np.uint64(7)
LOW7, HIGH = np.uint64(0x7F7F7F7F7F7F7F7F), np.uint64(0x8080808080808080)
ZEROS, DOTS = np.uint64(0x3030303030303030), np.uint64(0x1E1E1E1E1E1E1E1E)  # "0", "." ^ "0"
DOT = np.uint64(0x1E)
ABOVE_NINE = np.uint64(0x7676767676767676)  # added to a byte, sets its top bit if it is over 9
# For word k of three, entry n: the mask that clears the first n bytes of the
# three, the low bytes first.
KEPT = np.array([[~((1 << 8 * min(8, max(0, n - 8 * k))) - 1) & (2**64 - 1) for n in range(25)]
                 for k in range(3)], dtype=np.uint64)
NUMBER_BYTES = np.zeros(256, dtype=bool)
NUMBER_BYTES[list(b"0123456789.eE+-")] = True
SPLITTER = 2.0 ** 27 + 1  # Veltkamp's: splits a double into two halves of 26 bits
# Dates longer than this are gathered one by one; also the zero bytes kept
# after the file so that a window never runs past it.
DATE_WIDTH = 64


class CsvError(Exception):
    """A file that cannot be used, with the place and the problem."""


def read_csv(path, progress=False, say=None):
    """Bars from a CSV file with a header naming Date, Open, High, Low, Close.

    Columns may come in any order, their names in any case, and others may
    be there too; Volume is read when present. The header decides whether
    commas, semicolons or tabs separate the fields. An empty field, "nan",
    "null", "NA", "N/A" or "#N/A" is a missing price; anything else must be a
    finite number. A file whose dates run newest first is reversed, and
    `say` is told so.
    """
    try:
        with open(path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            data = bytearray(size + DATE_WIDTH)
            with _progress_bar(progress and size >= PROGRESS_BYTES, size, path) as bar:
                view, done = memoryview(data), 0
                while done < size:
                    got = file.readinto(view[done:min(size, done + CHUNK_BYTES)])
                    if not got:
                        break
                    done += got
                    bar.update(got)
    except OSError as error:
        raise CsvError(f"{path}: cannot read: {error.strerror or error}") from None
    bars = _parse(path, data, done)
    return _oldest_first(bars, path, say)


def _parse(path, data, size):
    if not data.isascii():
        try:
            str(memoryview(data)[:size], "utf-8")
        except UnicodeDecodeError as error:
            line = data.count(b"\n", 0, error.start) + 1
            raise CsvError(f"{path}:{line}: not UTF-8 text") from None
    first = len(codecs.BOM_UTF8) if data.startswith(codecs.BOM_UTF8) else 0
    body = data.find(b"\n", first, size) + 1 or size
    header_line = data[first:body].decode().rstrip("\r\n")
    if not header_line.strip() and not data[first:size].strip():
        raise CsvError(f"{path}:1: empty file, expected a header naming "
                       + ", ".join(COLUMNS))
    separator = max(SEPARATORS, key=header_line.count)
    header = next(csv.reader([header_line], delimiter=separator))
    positions = {}
    for position, name in enumerate(header):
        key = name.strip().lower()
        if key in positions:
            raise CsvError(f"{path}:1: column {name.strip()!r} appears twice")
        positions[key] = position
    absent = [name for name in COLUMNS if name.lower() not in positions]
    if absent:
        raise CsvError(f"{path}:1: missing column{'s' if len(absent) > 1 else ''}: "
                       + ", ".join(absent))
    wanted = [name for name in COLUMNS[1:] + (VOLUME,) if name.lower() in positions]
    columns = {name: positions[name.lower()] for name in ("Date", *wanted)}
    fast = _fast_columns(data, body, size, separator, len(header), columns)
    if fast is None:
        lines = io.StringIO(str(memoryview(data)[first:size], "utf-8"), newline="")
        return _slow_columns(path, lines, separator, len(header), columns)
    return fast


def _slow_columns(path, lines, separator, fields, columns):
    """Reads the file line by line; the one that says where a problem is."""
    reader = csv.reader(lines, delimiter=separator)
    next(reader)
    values = {name.lower(): [] for name in columns}
    while True:
        try:
            row = next(reader, None)
        except csv.Error as error:  # such as a quote left open
            raise CsvError(f"{path}:{reader.line_num}: {error}") from None
        if row is None:
            break
        if not row:
            continue
        if len(row) != fields:
            raise CsvError(f"{path}:{reader.line_num}: {len(row)} fields where the header "
                           f"has {fields}")
        for name, position in columns.items():
            field = row[position]
            if name == "Date":
                values["date"].append(field.strip())
                continue
            try:
                values[name.lower()].append(_price(field))
            except ValueError as problem:
                raise CsvError(f"{path}:{reader.line_num}: column {name}: {field!r} "
                               f"{problem}") from None
    if not values["date"]:
        raise CsvError(f"{path}:{reader.line_num + 1}: no bars after the header")
    return {key: np.array(v, dtype=None if key == "date" else np.float64)
            for key, v in values.items()}


def _price(field):
    """The number in `field`, NaN if it marks a missing price; a ValueError
    says what else it is."""
    text = field.strip()
    if text.lower() in MISSING:
        return math.nan
    if NUMBER.fullmatch(text):
        value = float(text)
        if math.isfinite(value):
            return value
    elif text.lower().lstrip("+-") not in ("inf", "infinity"):
        raise ValueError("is not a number")
    raise ValueError("is not a finite number")


def _fast_columns(data, body, size, separator, fields, columns):
    """The columns of a plain file, read with whole-array operations: None
    when the file has anything the line-by-line reader must look at (quotes,
    blank lines, lines of other lengths, a field that is not a number)."""
    while size > body and data[size - 1] in b"\r\n":
        size -= 1  # blank lines at the end
    if data.find(b'"', body, size) >= 0 or size <= body:
        return None
    array = np.frombuffer(data, np.uint8)
    ends, separators = _where(array, body, size, (ord("\n"), ord(separator)))
    ends = np.append(ends, size)
    rows = len(ends)
    if len(separators) != rows * (fields - 1):
        return None
    starts = np.concatenate(([body], ends[:-1] + 1))
    # A row of separators per field boundary, each in line order.
    separators = separators.reshape(rows, fields - 1).T.copy()
    # Each line holds its own share of separators, so every line has them all.
    if (separators[0] < starts).any() or (separators[-1] >= ends).any():
        return None
    carriage = array[ends - 1] == ord("\r")
    if data.find(b"\r", body, size) >= 0 and (
            data.count(b"\r", body, size) != np.count_nonzero(carriage)):
        return None
    words = np.ndarray((len(data) - 7,), dtype="<u8", buffer=data, strides=(1,))

    def bounds(position, rows):
        first = starts[rows] if position == 0 else separators[position - 1, rows] + 1
        last = ends[rows] - carriage[rows] if position == fields - 1 else separators[position, rows]
        return first, last

    parts = {name: [] for name in columns}
    # A slice of rows at a time, every column: the slice's bytes and the
    # temporaries stay in the processor's cache.
    for at in range(0, rows, ROWS_AT_ONCE):
        for name, position in columns.items():
            first, last = bounds(position, slice(at, at + ROWS_AT_ONCE))
            if name == "Date":
                parts[name].append(_texts(data, array, first, last))
                continue
            values = _numbers(array, words, first, last)
            others = np.isnan(values)
            if others.any():
                values[others] = _cast_numbers(array, first[others], last[others])
            parts[name].append(values)
    out = {}
    for name, position in columns.items():
        values = out[name.lower()] = np.concatenate(parts[name])
        if name == "Date":
            continue
        # Left by both: missing, or wrong.
        others = np.flatnonzero(np.isnan(values))
        for row, first, last in zip(others, *bounds(position, others)):
            try:
                values[row] = _price(data[first:last].decode())
            except ValueError:
                return None
    return out


def _where(array, start, stop, wanted):
    """Where each of the bytes `wanted` is between `start` and `stop`."""
    found = [[] for _ in wanted]
    # In blocks that stay in the processor's cache.
    for at in range(start, stop, BLOCK_BYTES):
        block = array[at:min(stop, at + BLOCK_BYTES)]
        for byte, places in zip(wanted, found):
            places.append(np.flatnonzero(block == byte) + at)
    return [np.concatenate(places) for places in found]


def _texts(data, array, first, last):
    """The fields as str: ASCII bytes widened to UCS-4, NumPy's str."""
    widths = last - first
    width = max(1, int(widths.max()))
    if width <= DATE_WIDTH:
        window = sliding_window_view(array, width)[first]
        window[np.arange(width) >= widths[:, None]] = 0
        if window.max() < 0x80:
            texts = window.astype(np.uint32).view(f"U{width}").ravel()
            edges = np.concatenate((array[first], array[np.maximum(last - 1, first)]))
            return np.strings.strip(texts) if (edges <= ord(" ")).any() else texts
    return np.array([data[a:b].decode().strip() for a, b in zip(first, last)])


def _numbers(array, words, first, last):
    """Prices in plain decimal notation; NaN where a field is anything else."""
    long = int((last - first).max(initial=0)) > SHORT
    whole, fraction, dotted, negative, plain = _digits(
        array, words, first, last, *((3, LONG) if long else (2, SHORT)))
    if long:
        below = POWERS[fraction]
        above = whole // (below * np.uint64(10))
        whole = np.where(dotted, above * below + (whole - above * below * np.uint64(10)), whole)
        plain &= whole < POWERS[LONG - 1]
        values = _nearest(whole, fraction)
    else:
        # Below 10^15, so exact: the dot stood as a zero digit, taken out here.
        whole = whole.astype(np.float64)
        scale = TENS[fraction]
        above = np.floor(whole / scale)
        values = np.where(dotted, above / 10.0 * scale + (whole - above * scale), whole) / scale
    values[~plain] = np.nan
    np.negative(values, out=values, where=negative)
    return values


def _digits(array, words, first, last, count, most):
    """The fields that are a sign, digits and a dot, at most `most` of them,
    read from the `count` words that end each: the digits as an integer
    with the dot as a zero, the digits after the dot, whether there is a
    dot, whether the sign is minus, and which fields are such."""
    width = 8 * count
    widths = last - first
    sign = array[first]
    negative = sign == ord("-")
    signed = negative | (sign == ord("+"))
    plain = (widths - signed >= 1) & (widths - signed <= most) & (last >= width)
    # Bytes before the field, and its sign, are zeros once "0" is taken away.
    lead = np.clip(width - widths + signed, 0, width)
    start = np.maximum(last - width, 0)
    bad = dots = 0
    at = np.zeros(len(first))
    whole = np.zeros(len(first), np.uint64)
    for k in range(count):
        word = (words[start + 8 * k] ^ ZEROS) & KEPT[k][lead]
        dot = _zero_bytes(word ^ DOTS)
        word ^= (dot >> SEVEN) * DOT
        bad = bad | ((((word & LOW7) + ABOVE_NINE) | word) & HIGH)
        dots = dots + np.bitwise_count(dot)
        # The window as one number, as a double: a dot in byte b sets bit 8b + 7.
        at += dot.astype(np.float64) * 2.0 ** (64 * k)
        # Eight digits to an integer at once, as in fast JSON readers.
        word = (word * np.uint64(2561)) >> np.uint64(8)
        word = ((word & np.uint64(0x00FF00FF00FF00FF)) * np.uint64(6553601)) >> np.uint64(16)
        word = ((word & np.uint64(0x0000FFFF0000FFFF)) * np.uint64(42949672960001)) >> np.uint64(32)
        whole = whole * POWERS[8] + word
    place = np.frexp(at)[1]  # 8b + 8
    dotted = dots > 0
    plain &= (bad == 0) & (dots <= 1) & (widths - signed - dots >= 1)
    fraction = np.where(dotted, np.minimum(width - place // 8, most), 0)
    return whole, fraction, dotted, negative, plain


def _nearest(whole, fraction):
    """whole / 10^fraction rounded to the nearest double, as float() rounds
    it, for whole below 10^18: NaN where it lies too near a tie between two
    doubles to tell."""
    scale = TENS[fraction]
    high = whole.astype(np.float64)
    with np.errstate(invalid="ignore"):  # in fields that are no number, then dropped
        low = (whole.astype(np.int64) - high.astype(np.int64)).astype(np.float64)  # exact
    quotient = high / scale
    # quotient * scale exactly, as product + error (no fused multiply-add).
    product = quotient * scale
    q_high, q_low = _halves(quotient)
    s_high, s_low = _halves(scale)
    error = ((q_high * s_high - product) + q_high * s_low + q_low * s_high) + q_low * s_low
    # high - product is exact, the two being within a factor of two; off is
    # whole / scale - quotient to within 2^-49 of the gap between doubles.
    off = (((high - product) - error) + low) / scale
    nearest = quotient + off
    beyond = off - (nearest - quotient)
    gap = nearest - np.nextafter(nearest, 0.0)  # the gap below: never the larger one
    return np.where(np.abs(beyond) < gap * (0.5 - 2.0 ** -30), nearest, np.nan)


def _halves(x):
    split = SPLITTER * x
    high = split - (split - x)
    return high, x - high


def _cast_numbers(array, first, last):
    """Fields of digits, dots, signs and exponents that `_numbers` cannot
    read, read by NumPy's cast, which rounds as float() does; NaN for any
    other field, and for all if one of them is no number after all."""
    values = np.full(len(first), np.nan)
    widths = last - first
    fit = np.flatnonzero((widths > 0) & (widths <= DATE_WIDTH))
    if not len(fit):
        return values
    width = int(widths[fit].max())
    window = sliding_window_view(array, width)[first[fit]]
    outside = np.arange(width) >= widths[fit][:, None]
    looks = (NUMBER_BYTES[window] | outside).all(axis=1)
    window[outside] = 0
    try:
        numbers = window[looks].view(f"S{width}").ravel().astype(np.float64)
    except ValueError:
        return values
    values[fit[looks]] = np.where(np.isfinite(numbers), numbers, np.nan)
    return values


def _zero_bytes(word):
    """0x80 in each zero byte of `word`, nothing elsewhere."""
    return ~(((word & LOW7) + LOW7) | word | LOW7)


def _oldest_first(bars, path, say):
    """The bars oldest first. The first and last hundred dates decide, both
    how the dates are written and which way they run."""
    dates = bars["date"]
    sample = np.concatenate((dates[:100], dates[-100:]))
    found = moments(sample.tolist())
    if found is not None and found[0] > found[-1]:
        bars = {key: values[::-1].copy() for key, values in bars.items()}
        if say is not None:
            say(f"{Path(path).name}: the dates run newest first; reversed them")
    return bars


# Date formats tried in turn; the first that reads every date given is used.
DATE_FORMATS = ("%m/%d/%Y %H:%M", "%m/%d/%Y %H:%M:%S", "%m/%d/%Y", "%d/%m/%Y %H:%M",
                "%d/%m/%Y", "%d.%m.%Y %H:%M", "%d.%m.%Y", "%Y/%m/%d %H:%M", "%Y/%m/%d",
                "%d-%b-%Y", "%b %d, %Y")


def moments(texts):
    """The datetimes `texts` stand for, in one format, or None."""
    for parse in [datetime.fromisoformat] + [
            lambda text, form=form: datetime.strptime(text, form) for form in DATE_FORMATS]:
        try:
            found = [parse(text) for text in texts]
        except ValueError:
            continue
        if len({m.tzinfo is None for m in found}) <= 1:  # else they cannot be compared
            return found
    return None


class _NoBar:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, _):
        pass


def _progress_bar(enabled, total, path):
    if not enabled:
        return _NoBar()
    from tqdm import tqdm
    return tqdm(total=total, unit="B", unit_scale=True, desc=f"reading {Path(path).name}",
                file=sys.stderr)

"""Streaming states: made, fed bars, saved, copied; and their saved words."""

import copy
import pickle
import re
import struct

import numpy as np

from support import reference
from support.calls import INDICATORS

# The periods of the states whose saved bytes are taken apart, and the word
# that holds their count `seen` (after the tag and the periods).
STATES = {name: (model.small, 1 + len(model.small)) for name, model in reference.MODELS.items()}


def round_trip(state, how):
    return {"pickle": lambda s: pickle.loads(pickle.dumps(s)), "copy": copy.copy,
            "deepcopy": copy.deepcopy, "keep": lambda s: s}[how](state)


def make(name, width, p=None):
    cls, p = INDICATORS[name][0], p or STATES[name][0]
    return cls(*p) if width is None else cls(*p, width=width)


def feed(state, name, bars):
    # Feeds bars (inputs x time x lanes) and returns the outputs' bytes.
    _, _, _, inputs, outputs = INDICATORS[name]
    width = re.search(r"width=(\d+)", repr(state))
    n, width = bars.shape[1], width and int(width[1])
    if width is None:
        outs = [np.empty(n) for _ in range(outputs)]
        state.update_many(*np.ascontiguousarray(bars[:, :, 0]), *outs)
        return b"".join(o.tobytes() for o in outs)
    got = b""
    for t in range(n):
        outs = [np.empty(width) for _ in range(outputs)]
        state.update(*np.resize(bars[:, t], (inputs, width)).copy(), *outs)
        got += b"".join(o.tobytes() for o in outs)
    return got


def bars(name, n, seed=0, lanes=5):
    rng = np.random.default_rng(seed)
    values = 100 + rng.standard_normal((INDICATORS[name][3], n, lanes)).cumsum(axis=1)
    missing = rng.random(values.shape) < 0.15
    values[missing] = rng.choice([np.nan, -np.nan, np.inf, -np.inf], missing.sum())
    return values


def saved(state):
    return state.__reduce__()[2]


def words(data):
    return list(struct.unpack(f"={len(data) // 8}Q", data))


def packed(values):
    return struct.pack(f"={len(values)}Q", *values)

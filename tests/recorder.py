"""A callable that records what it is called with, and on which thread."""

import threading


class Recorder:
    def __init__(self, fail=False):
        self.calls = []
        self.fail = fail

    def __call__(self, value):
        self.calls.append((value, threading.get_ident()))
        if self.fail:
            raise ZeroDivisionError("from the callback")

    @property
    def values(self):
        return [value for value, _ in self.calls]

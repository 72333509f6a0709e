"""The Python binding's own cost per read: the time read() takes beyond the
library's cycle (scanid_read_ex), and cancel from another thread. Run by
bench/python.sh, which sets up the emulated module and the decode server."""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import threading
import time

import scanid

N = 200


class Timed:
    """The library with scanid_read_ex timed; its own cost counts against
    the binding."""

    def __init__(self, lib):
        self._lib = lib
        self.spent = 0.0

    def scanid_read_ex(self, *args):
        start = time.perf_counter()
        try:
            return self._lib.scanid_read_ex(*args)
        finally:
            self.spent += time.perf_counter() - start

    def __getattr__(self, name):
        return getattr(self._lib, name)


def line(label, value, ref, unit, verdict):
    print(f"{label:<44} {value:10.3f} {unit:<3} ref {ref:10.3f} {unit:<3} ratio {value / ref:6.3f}  {verdict}")


def event_cost(reader, place):
    """Time of the binding's event callbacks per read: they run inside the
    library's cycle, so they are timed apart (called through ctypes from
    Python, which costs more than the library's call)."""
    events = []
    reader.on_event = lambda kind, text: events.append(text)
    assert reader.read(timeout=5) is not None
    reader.on_event = None
    start = time.perf_counter()
    for _ in range(1000):
        reader._event_cb(None, 3, b"usb connect ok", None)
    return len(events) * (time.perf_counter() - start)  # ms per read: / 1000 calls * 1000 ms


def overhead(reader, place, on_main):
    with open(os.path.join(os.environ["SIM_READER_CONTROL"], "1-1"), "w") as fifo:
        fifo.write(place + "\n")
    callbacks = event_cost(reader, place)
    timed = Timed(reader._lib)
    reader._lib = timed
    extra = []

    def run():
        for _ in range(N):
            timed.spent = 0.0
            start = time.perf_counter()
            card = reader.read(timeout=5)
            total = time.perf_counter() - start
            assert card is not None
            extra.append((total - timed.spent) * 1000 + callbacks)

    if on_main:
        run()
    else:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    reader._lib = timed._lib
    with open(os.path.join(os.environ["SIM_READER_CONTROL"], "1-1"), "w") as fifo:
        fifo.write("remove\n")
    time.sleep(1)
    return statistics.median(extra), max(extra)


def main():
    server = subprocess.Popen([sys.argv[1], "--port", "0"], stdout=subprocess.PIPE, text=True,
                              env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    port = int(server.stdout.readline().rsplit(":", 1)[1])
    try:
        print(f"== python binding: time of read() beyond the library's cycle, its event callbacks included, {N} reads each ==")
        with scanid.open("usb:1-1", server=("127.0.0.1", port)) as reader:
            for place, what in (("place id 1", "identity card"), ("place m1", "M1 card")):
                for on_main in (False, True):
                    med, worst = overhead(reader, place, on_main)
                    where = "main thread" if on_main else "other thread"
                    line(f"{what}, read() on the {where}", med, 1.0, "ms",
                         f"{'ok' if med <= 1.0 else 'over'}: target at most 1 ms; worst {worst:.3f} ms")
            took = []
            for _ in range(20):
                timer = threading.Timer(0.2, reader.cancel)
                timer.start()
                start = time.perf_counter()
                try:
                    reader.read()
                except scanid.Cancelled:
                    pass
                took.append((time.perf_counter() - start - 0.2) * 1000)
                timer.join()
            med = statistics.median(took)
            line("cancel from another thread -> read() raises", med, 50.0, "ms",
                 f"{'ok' if max(took) <= 50 else 'over'}: within 50 ms; worst {max(took):.1f} ms")
    finally:
        server.terminate()
        server.wait(10)


if __name__ == "__main__":
    main()

"""The binding against the simulated readers and decode server: what a read
gives, failures as exceptions, cancel, callbacks, several readers, and the
import-time check of the library."""

from __future__ import annotations

import datetime
import gc
import os
import subprocess
import sys
import threading
import time
import tracemalloc
from pathlib import Path

import pytest

import scanid
from conftest import child_env, scanid_cli

TEXT_FIELDS = ["type_letter", "name_zh", "name_en", "sex", "sex_text", "ethnic_code", "ethnic",
               "nationality", "address", "number", "authority", "travel_permit", "issue_count",
               "renewal_count", "card_version", "authority_code", "previous_number"]


def expect_same_document(card: scanid.IdentityDocument, ref: dict, photo: Path, tmp_path: Path) -> None:
    """Every field as the scanid program, already checked against the card
    catalogue, prints it."""
    assert card.document.name.lower() == ref["document"]
    for name in TEXT_FIELDS:
        assert getattr(card, name) == ref[name], name
    for name in ("birth", "valid_from", "valid_to"):
        text = ref[name]
        assert getattr(card, name + "_text") == text
        want = datetime.datetime.strptime(text, "%Y%m%d").date() if text.isdigit() and len(text) == 8 else None
        assert getattr(card, name) == want, name
    assert card.number_valid == ref["number_valid"]
    assert card.text_block.hex() == ref["text_block_hex"]
    mine = tmp_path / "mine.bmp"
    card.save_photo(mine)
    assert mine.read_bytes() == photo.read_bytes()


@pytest.mark.parametrize("transport", ["usb", "serial"])
def test_every_catalogue_document_and_m1(transport, server, usb, serial, catalogue_size, tmp_path):
    module = usb[0] if transport == "usb" else serial
    places = [f"id {i}" for i in range(1, catalogue_size + 1)] + ["unknown"]
    with scanid.open(module.name, server=server) as reader:
        for place in places:
            serial.run(f"place {place}")
            photo = tmp_path / "ref.bmp"
            ref = scanid_cli(["--serial", serial.device, "--server", f"{server[0]}:{server[1]}",
                              "--photo", str(photo)])
            module.run(f"place {place}")
            card = reader.read(timeout=10)
            assert isinstance(card, scanid.IdentityDocument), place
            assert card.reader == module.name
            expect_same_document(card, ref, photo, tmp_path)
            for m in (module, serial):
                m.run("remove")
            assert reader.wait_removal(timeout=5)
        assert card.document is scanid.DocumentKind.UNKNOWN

        # An M1 card: kind and data as the program gives them on the same transport.
        module.run("place m1")
        card = reader.read(timeout=10)
    env = None
    args = ["--serial", serial.device]
    if transport == "usb":
        env = child_env(LD_PRELOAD=os.environ["LD_PRELOAD"], SIM_READER_SCRIPT="place m1",
                        SIM_READER_LATENCY_MS="2")
        args = []
    else:
        serial.run("place m1")
    ref = scanid_cli(args + ["--server", f"{server[0]}:{server[1]}"], env)
    assert isinstance(card, scanid.OtherCard)
    assert card.kind == ref["card_kind"]
    if transport == "usb":  # over serial it is an IC card with the module's kind byte
        assert card.kind is scanid.CardKind.M1
    assert card.data.hex() == ref["card_data_hex"]


def test_two_readers_at_once(server, usb):
    cards = {}

    def lane(reader):
        cards[reader.name] = reader.read(timeout=10)

    with scanid.open(usb[0].name, server=server) as one, scanid.open(usb[1].name, server=server) as two:
        threads = [threading.Thread(target=lane, args=(r,)) for r in (one, two)]
        for t in threads:
            t.start()
        usb[0].run("place id 1")
        usb[1].run("place id 2")
        for t in threads:
            t.join(20)
    assert cards["usb:1-1"].reader == "usb:1-1" and cards["usb:1-2"].reader == "usb:1-2"
    assert cards["usb:1-1"].number != cards["usb:1-2"].number


def test_cards_gives_one_per_placement_until_cancelled(server, usb):
    module = usb[0]
    got = []
    with scanid.open(module.name, server=server) as reader:
        def play():
            for place in ("place id 1", "place m1"):
                module.run(place)
                time.sleep(1.2)  # read, then lying there: given once
                module.run("remove")
                time.sleep(1.0)
            reader.cancel()
        player = threading.Thread(target=play)
        player.start()
        for card in reader.cards():
            got.append(card)
        player.join()
    assert [type(c) for c in got] == [scanid.IdentityDocument, scanid.OtherCard]


def test_cancel_from_another_thread(server, usb):
    with scanid.open(usb[0].name, server=server) as reader:
        for _ in range(3):
            timer = threading.Timer(0.3, reader.cancel)
            timer.start()
            start = time.monotonic()
            with pytest.raises(scanid.Cancelled) as e:
                reader.read()
            took = time.monotonic() - start - 0.3
            timer.join()
            assert e.value.code == 12 and e.value.reader == usb[0].name
            assert took < 0.25, f"cancel took {took * 1000:.0f} ms"
        # With no read running there is nothing to end and nothing is kept.
        assert reader.cancel() is False
        usb[0].run("place m1")
        assert isinstance(reader.read(timeout=10), scanid.OtherCard)


def test_timeout_is_a_result_and_busy_is_refused(server, usb):
    with scanid.open(usb[0].name, server=server) as reader:
        start = time.monotonic()
        assert reader.read(timeout=0.5) is None
        assert 0.4 < time.monotonic() - start < 3
        t = threading.Thread(target=reader.read, kwargs={"timeout": 1.5})
        t.start()
        time.sleep(0.3)
        with pytest.raises(scanid.Busy) as e:
            reader.read(timeout=1)
        assert e.value.code == -104
        t.join()


@pytest.mark.parametrize("case", ["missing usb", "missing serial", "server refused"])
def test_failures_raise_the_documented_exceptions(case, server, usb, refusing_port):
    name, place, address = usb[0].name, "place id 1", server
    want, code = scanid.ServerConnectError, 3
    if case == "missing usb":
        name, want, code = "usb:1-9", scanid.UsbOpenError, 5
    elif case == "missing serial":
        name, want, code = "serial:/dev/scanid-none@115200", scanid.SerialOpenError, 4
    else:
        address = ("127.0.0.1", refusing_port)
    usb[0].run(place)
    with scanid.open(name, server=address, no_standby=True) as reader:
        with pytest.raises(want) as e:
            reader.read(timeout=10)
    assert e.value.code == code
    assert isinstance(e.value, scanid.ScanIdError) and e.value.event, "no event text"
    assert name in str(e.value)


def test_usage_errors():
    with pytest.raises(scanid.UsageError) as e:
        scanid.open("serial:")
    assert e.value.code == -102
    with scanid.open("usb") as reader:
        with pytest.raises(scanid.UsageError):
            reader.set_server("x" * 40, 1)
    with pytest.raises(ValueError):
        reader.read()


def test_a_raising_callback_is_reported_and_the_read_stays_whole(server, usb, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    events, lines = [], []

    def on_event(kind, text):
        events.append((kind, text))
        raise RuntimeError("integrator's bug")

    with scanid.open(usb[0].name, server=server, on_event=on_event,
                     on_console=lambda stream, line, error: lines.append(line)) as reader:
        usb[0].run("place id 1")
        card = reader.read(timeout=10)
    assert isinstance(card, scanid.IdentityDocument) and card.number_valid and len(card.photo) == 1024
    assert (scanid.EventKind.CARD, "find ID card") in events
    assert reported and all(isinstance(r.exc_value, RuntimeError) for r in reported)
    assert len(reported) == len(events)


def test_no_callback_after_close(server, usb):
    calls = []
    reader = scanid.open(usb[0].name, server=server, on_event=lambda k, t: calls.append(t))
    threading.Timer(0.3, reader.close).start()
    with pytest.raises(scanid.Cancelled):
        reader.read()
    time.sleep(0.1)
    seen = len(calls)
    assert reader.closed and seen > 0
    time.sleep(0.3)
    assert len(calls) == seen


def test_listing_and_hotplug(usb):
    assert [d.name for d in scanid.list_readers()] == ["usb:1-1", "usb:1-2"]
    with scanid.Hotplug() as notices:
        arrived = [notices.get(timeout=5), notices.get(timeout=5)]
    assert [(e, d.name) for e, d in arrived] == [(scanid.HotplugEvent.ARRIVED, "usb:1-1"),
                                                (scanid.HotplugEvent.ARRIVED, "usb:1-2")]
    assert notices.get(timeout=0) is None


def test_no_leaks_or_cycles_over_many_reads(server, usb):
    module = usb[1]
    module.run("place m1")  # repeated by the module: a card every cycle
    gc.collect()
    gc.disable()
    try:
        with scanid.open(module.name, server=server) as reader:
            for _ in range(50):
                assert reader.read(timeout=5) is not None
            tracemalloc.start()
            before = tracemalloc.take_snapshot()
            for _ in range(1000):
                assert reader.read(timeout=5) is not None
            after = tracemalloc.take_snapshot()
            tracemalloc.stop()
        grown = sum(s.size_diff for s in after.compare_to(before, "filename")
                    if "scanid" in s.traceback[0].filename)
        assert grown < 16 * 1024, f"the binding kept {grown} bytes over 1000 reads"
        assert gc.collect() == 0, "reads left reference cycles"
    finally:
        gc.enable()


@pytest.mark.parametrize("standin,why", [("old_version", "needs 1.4.0 or newer"),
                                         ("moved_layout", "idInfo.photolen")])
def test_import_refuses_a_library_that_does_not_fit(standin, why):
    library = Path(os.environ["SCANID_TEST_STANDINS"]) / f"libscanid_py_{standin}.so"
    out = subprocess.run([sys.executable, "-c", "import scanid"], capture_output=True, text=True,
                         env=child_env(SCANID_LIBRARY=str(library)))
    assert out.returncode != 0
    assert "scanid._native.LibraryError" in out.stderr and why in out.stderr, out.stderr

#!/usr/bin/env python3
"""End-to-end tests of the real keyer: the executable as an operator runs it, on an X server of its own with
a tray, playing into the test sound server whose monitor is recorded, keying a pseudo-terminal that stands
in for COM1 (tests/e2e/serial_shim.cpp keeps its modem lines and their record).

    test_keyer.py --exe build/wrenkeyer --shim build/tests/libwrenkeyer_serial_shim.so [case ...]

Each case starts its own Xvfb and keyer with fresh settings and runtime folders. A failing step leaves a
screenshot in --failures. Exit status: 0 passed, 1 failed, 77 skipped (no test sound server).
"""

import argparse
import contextlib
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback
import wave

# No __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

from harness import APP_TITLE, expect, wait_for  # noqa: E402

SAMPLES = ("STATION_CQ.wav", "STATION_CQ_FD.wav", "STATION_QTH_NAME.wav", "STATION_RIG_ANT.wav")
SAMPLE_CAPTIONS = ("CQ", "CQ FD", "QTH/NAME", "RIG/ANT")
LEAD_TAIL_MS = 250


class Case:
    """One case's world: its display, homes, keyers, shim and recordings, all released by close()."""

    def __init__(self, name, args):
        self.name, self.args = name, args
        self.work = os.path.join(args.work, name)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.steps = 0
        self.keyers, self.recorders, self.shims, self.rigs, self.buses = [], [], [], [], []
        self.display = None
        self.sound = h.sound_env()
        self.display = h.Display(os.path.join(self.work, "x"), tray=getattr(CASES[name], "tray_at_start", True))

    @contextlib.contextmanager
    def step(self, what):
        self.steps += 1
        started = time.monotonic()
        print(f"[{self.name}] {self.steps}. {what}", flush=True)
        try:
            yield
        except (h.Failure, OSError, ValueError, KeyError) as error:
            slug = re.sub(r"[^a-z0-9]+", "-", what.lower()).strip("-")[:60]
            shot = self.display.screenshot(
                os.path.join(self.args.failures, f"{self.name}-{self.steps:02d}-{slug}.png"))
            raise h.Failure(f"step {self.steps} ({what}): {error}\n  screenshot: {shot}") from error
        print(f"[{self.name}]    ok ({time.monotonic() - started:.2f} s)", flush=True)

    def home(self, name="user"):
        return h.Home(os.path.join(self.work, name))

    def shim(self):
        shim = h.SerialShim(self.args.shim, os.path.join(self.work, "serial.log"))
        self.shims.append(shim)
        return shim

    def start(self, home, shim=None, log_name="keyer.log", bus=None):
        keyer = h.Keyer(self.args.exe, self.display, home, self.sound, shim, log_name, bus)
        self.keyers.append(keyer)
        return keyer

    def rigctld(self):
        rig = h.Rigctld(os.path.join(self.work, "rigctld.log"))
        self.rigs.append(rig)
        return rig

    def recorder(self):
        recorder = h.Recorder(self.sound)
        self.recorders.append(recorder)
        return recorder

    def report(self):
        for keyer in self.keyers:
            print(f"--- keyer pid {keyer.pid} {keyer.exit_description()}; its output ({keyer.log_path}):\n"
                  f"{keyer.log_tail()}", flush=True)
        for shim in self.shims:
            print(f"--- serial record ({shim.log}):\n{h.describe(shim.records())}", flush=True)

    def close(self):
        for keyer in self.keyers:
            keyer.kill()
        for recorder in self.recorders:
            recorder.stop()
        for shim in self.shims:
            shim.close()
        for rig in self.rigs:
            rig.close()
        for bus in self.buses:
            bus.close()
        if self.display is not None:
            self.display.close()

    # Shared steps ---------------------------------------------------------------------------------

    def bus(self):
        bus = h.PrivateBus(os.path.join(self.work, "bus"))
        self.buses.append(bus)
        return bus

    def start_to_main_window(self, home, shim=None, bus=None):
        with self.step("start the keyer, close the about box, see the main window"):
            keyer = self.start(home, shim, bus=bus)
            keyer.close_about()
            main = h.MainWindow(self.display, keyer.main_window())
        return keyer, main

    def keyer_on_com1(self, line, bus=None, **sections):
        """A keyer keying `line` of COM1, a pty behind the shim, with settings `sections` beside the port's;
        returned at its main window once the port has settled with both lines down."""
        shim = self.shim()
        home = self.home()
        settings = shim.settings(line)
        settings.update(sections)
        h.write_settings(home.config, settings)
        keyer, main = self.start_to_main_window(home, shim, bus=bus)
        with self.step("at load COM1 is opened and both lines are dropped"):
            check_port_settled_at_load(shim, keyer)
        return shim, home, keyer, main

    def sample(self, name):
        return os.path.join(os.path.dirname(os.path.abspath(self.args.exe)), "wav", name)


# --- Serial record ---------------------------------------------------------------------------------


def keyed_spans(records, line):
    """(raised, dropped) times of each time `line` was up after the port's opening was settled."""
    spans, raised = [], None
    settled = False
    for record in records:
        if not settled:
            # The open itself raises both lines until the keyer drops them at load.
            settled = record["dtr"] == 0 and record["rts"] == 0
            continue
        if record[line] and raised is None:
            raised = record["mono"]
        elif not record[line] and raised is not None:
            spans.append((raised, record["mono"]))
            raised = None
    return spans, raised


def check_port_settled_at_load(shim, keyer):
    def settled():
        records = shim.records(keyer.pid)
        return records if records and records[-1]["dtr"] == 0 and records[-1]["rts"] == 0 else None

    records = wait_for("the keyer to open COM1 and drop both lines", settled, 10)
    expect(records[0]["event"] == "open", "the first thing done to the port was not opening it:\n" +
           h.describe(records))
    expect(all(r["event"] == "clear" for r in records[1:]),
           "at load the keyer did more than drop the lines:\n" + h.describe(records))
    # Opening a serial port raises both lines: the transmitter is keyed until they are dropped.
    keyed_ms = (records[-1]["mono"] - records[0]["mono"]) / 1e6
    expect(keyed_ms < 100, f"the lines stayed up {keyed_ms:.1f} ms after the port was opened")
    return records


def wait_for_message_keyed(shim, keyer, line, timeout=10):
    def raised():
        keyer.check_alive()
        spans, open_since = keyed_spans(shim.records(keyer.pid), line)
        return open_since or (spans[0][0] if spans else None)

    return wait_for(f"{line.upper()} to be raised", raised, timeout, 0.005)


def wait_for_message_done(shim, keyer, line, timeout):
    def done():
        keyer.check_alive()
        spans, open_since = keyed_spans(shim.records(keyer.pid), line)
        return spans[0] if spans and open_since is None else None

    return wait_for(f"{line.upper()} to be dropped after the message", done, timeout, 0.01)


def wait_recorded_past(recorder, moment_ns, margin_s=0.2):
    wait_for("the recording to pass the end of the message",
             lambda: recorder.time_of(recorder.frames()) > moment_ns + int(margin_s * h.NS), 10)
    recorder.stop()


# --- Cases ---------------------------------------------------------------------------------------


def check_keys_once_more(shim, keyer, main):
    """CQ keys RTS again and STOP drops it: the second span of the run."""
    main.click_message(1)
    wait_for("RTS to be raised again", lambda: keyed_spans(shim.records(keyer.pid), "rts")[1], 5, 0.01)
    main.click_stop()
    wait_for("RTS to drop again", lambda: keyed_spans(shim.records(keyer.pid), "rts")[1] is None, 5)
    expect(len(keyed_spans(shim.records(keyer.pid), "rts")[0]) == 2, "RTS was not keyed exactly twice:\n" +
           h.describe(shim.records(keyer.pid)))


def check_sigterm_ends_cleanly(c, keyer):
    with c.step("SIGTERM ends the keyer with status 0"):
        expect(keyer.terminate() == 0, "the keyer did not end with status 0")


def case_first_start(c):
    home = c.home()
    settings_file = h.settings_path(home.config)
    with c.step("start the keyer with no settings file"):
        expect(not os.path.exists(settings_file), f"{settings_file} exists before the first start")
        keyer = c.start(home)
    with c.step("the about box comes first, the main window not yet"):
        c.display.window("About", 15)
        expect(not c.display.windows(APP_TITLE), "the main window is up beside the start-up about box")
    with c.step("the settings file holds the 23 keys with their defaults"):
        settings = h.read_settings(home.config)
        wav = os.path.join(os.path.dirname(os.path.abspath(c.args.exe)), "wav")
        expected = {"Comm Port": "None", "PTT Line": "RTS", "Always On Top": "No"}
        for n in range(1, 11):
            expected[f"Message {n}"] = os.path.join(wav, SAMPLES[n - 1]) if n <= 4 else ""
            expected[f"Message {n} Name"] = SAMPLE_CAPTIONS[n - 1] if n <= 4 else "(Blank)"
        got = settings.get("Settings", {})
        expect(len(got) == 23, f"[Settings] holds {len(got)} keys, not 23: {sorted(got)}")
        wrong = {key: (got.get(key), value) for key, value in expected.items() if got.get(key) != value}
        expect(not wrong, "keys that differ from their defaults (found, expected): " + repr(wrong))
        ports = settings.get("Ports", {})
        expect(ports == {f"COM{n}": f"/dev/ttyS{n - 1}" for n in range(1, 5)}, f"[Ports] holds {ports}")
    with c.step("the notification icon sits in the tray"):
        wait_for("one icon in trayer's panel", lambda: len(c.display.tray_icons()) == 1, 10)
    with c.step("closing the about box shows the main window"):
        keyer.close_about()
        h.MainWindow(c.display, keyer.main_window())
    with c.step("SIGTERM ends the keyer with status 0"):
        status = keyer.terminate()
        expect(status == 0, f"the keyer ended with status {status}")


def case_cq_click(c):
    shim, home, keyer, main = c.keyer_on_com1("RTS")
    with c.step("click CQ"):
        recorder = c.recorder()
        main.click_message(1)
    with c.step("RTS is raised for the message and dropped after it"):
        wait_for_message_keyed(shim, keyer, "rts")
        raised, dropped = wait_for_message_done(shim, keyer, "rts", 20)
        wait_recorded_past(recorder, dropped)
        records = shim.records(keyer.pid)
        expect(len(keyed_spans(records, "rts")[0]) == 1, "RTS was raised more than once:\n" + h.describe(records))
        expect(all(r["dtr"] == 0 for r in records[1:]), "DTR moved although RTS is the PTT line:\n" +
               h.describe(records))
    with c.step("what the monitor heard matches STATION_CQ.wav"):
        heard = h.Heard(recorder, c.sample("STATION_CQ.wav"))
        heard.check_matches("CQ")
    with c.step("the line leads and trails the sound by about 250 ms"):
        lead_ms = (heard.first_ns - heard.source_head_ns - raised) / 1e6
        tail_ms = (dropped - heard.last_ns - heard.source_tail_ns) / 1e6
        print(f"[{c.name}]    lead {lead_ms:.1f} ms, tail {tail_ms:.1f} ms, sound "
              f"{heard.length_s * 1000:.1f} ms (file {heard.source_length_s * 1000:.1f} ms), "
              f"level {heard.rms / heard.source_rms * 100:.2f} %", flush=True)
        # Never sound on an unkeyed or just-keyed transmitter, never a long dead carrier; short only by what
        # the recording itself lost of the sound.
        least_ms = LEAD_TAIL_MS - h.timing_slack_ms(c.sound) - heard.lost_ms
        expect(least_ms <= lead_ms <= LEAD_TAIL_MS + 100, f"the lead was {lead_ms:.1f} ms")
        expect(least_ms <= tail_ms <= LEAD_TAIL_MS + 50, f"the tail was {tail_ms:.1f} ms")
    with c.step("SIGTERM ends the keyer with status 0 and the port closed"):
        expect(keyer.terminate() == 0, "the keyer did not end with status 0")
        last = shim.records(keyer.pid)[-1]
        expect(last["event"] == "close" and not last["dtr"] and not last["rts"],
               "the keyer ended without closing COM1:\n" + h.describe(shim.records(keyer.pid)))


def case_chosen_output(c):
    """The radio's sound card chosen in [Audio] "Output": the message goes there and nowhere else; unplugged,
    a click keys nothing and says why."""
    radio = "wren_e2e_radio"
    pactl_env = {**os.environ, **c.sound}
    module = subprocess.run(["pactl", "load-module", "module-null-sink", f"sink_name={radio}", "format=float32le",
                             "rate=48000", "channels=2"], env=pactl_env, capture_output=True, text=True, check=True)
    module_id = module.stdout.strip()

    def unplug():
        nonlocal module_id
        if module_id:
            subprocess.run(["pactl", "unload-module", module_id], env=pactl_env, check=False)
            module_id = ""

    try:
        shim = c.shim()
        home = c.home()
        settings = shim.settings("RTS")
        settings["Audio"] = {"Output": radio}
        h.write_settings(home.config, settings)
        keyer, main = c.start_to_main_window(home, shim)
        with c.step("click CQ"):
            check_port_settled_at_load(shim, keyer)
            on_radio = h.Recorder({**c.sound, "WRENKEYER_TEST_SINK": radio})
            elsewhere = c.recorder()
            c.recorders.append(on_radio)
            main.click_message(1)
        with c.step("the radio's output heard all of STATION_CQ.wav, the default output nothing"):
            wait_for_message_keyed(shim, keyer, "rts")
            _, dropped = wait_for_message_done(shim, keyer, "rts", 20)
            wait_recorded_past(on_radio, dropped)
            wait_recorded_past(elsewhere, dropped)
            h.Heard(on_radio, c.sample("STATION_CQ.wav")).check_matches("CQ")
            loudest = max((abs(x) for x in elsewhere.samples()), default=0.0)
            expect(loudest < 0.001, f"the default output heard sound up to {loudest:.4f}")
        with c.step("unplugged, a click keys nothing and a message box tells it"):
            unplug()
            time.sleep(0.5)
            main.click_message(1)
            box = wait_for("the message box", lambda: next(
                (w for w in c.display.windows(APP_TITLE) if w.id != main.window.id), None), 10)
            spans, open_since = keyed_spans(shim.records(keyer.pid), "rts")
            expect(len(spans) == 1 and open_since is None, "keyed for a missing output:\n" +
                   h.describe(shim.records(keyer.pid)))
            c.display.focus(box)
            c.display.keys("Return")
            wait_for("the message to close", lambda: len(c.display.windows(APP_TITLE)) == 1, 5)
        check_sigterm_ends_cleanly(c, keyer)
    finally:
        unplug()


def case_hamlib_cq_click(c):
    rig = c.rigctld()
    home = c.home()
    h.write_settings(home.config, {"Settings": {"Comm Port": "None"},
                                   "PTT": {"Method": "Hamlib", "Hamlib Model": "2", "Hamlib Path": rig.path}})
    keyer, main = c.start_to_main_window(home)
    with c.step("the rig is not keyed at load"):
        expect(rig.ptt() == 0, "rigctld reports PTT at load")
    with c.step("click CQ: rigctld reports PTT during the message and not after it"):
        recorder = c.recorder()
        main.click_message(1)
        keyed_ns = wait_for("rigctld to report PTT", lambda: rig.ptt() == 1 and time.monotonic_ns(), 5, 0.01)
        samples = []
        def released():
            keyer.check_alive()
            samples.append(rig.ptt())
            return samples[-1] == 0 and time.monotonic_ns()
        released_ns = wait_for("rigctld to report PTT released", released, 20, 0.02)
        expect(all(s == 1 for s in samples[:-1]), f"PTT dropped in the middle of the message: {samples}")
        wait_recorded_past(recorder, released_ns)
    with c.step("what the monitor heard matches STATION_CQ.wav, all of it while the rig was keyed"):
        heard = h.Heard(recorder, c.sample("STATION_CQ.wav"))
        heard.check_matches("CQ")
        expect(keyed_ns < heard.first_ns and heard.last_ns < released_ns,
               "sound was heard while the rig was not keyed")
    with c.step("SIGTERM ends the keyer with status 0 and the rig unkeyed"):
        expect(keyer.terminate() == 0, "the keyer did not end with status 0")
        expect(rig.ptt() == 0, "rigctld reports PTT after the keyer ended")


def case_stop_mid_message(c):
    shim, home, keyer, main = c.keyer_on_com1("RTS")
    # STOP goes into a long word, so the sound ends through STOP and not through a pause of the speaker.
    rate, source = h.read_wav(c.sample("STATION_CQ.wav"))
    source_first_s = h.loud_span(source, 0.02)[0] / rate
    word_s, word_length_s = next(w for w in h.loud_stretches(source, rate, 0.05) if w[0] > 1.5 and w[1] >= 0.3)
    stop_at_s = word_s + 0.05
    with c.step(f"click CQ and let it play to {stop_at_s:.2f} s, inside a word"):
        recorder = c.recorder()
        main.click_message(1)
        wait_for_message_keyed(shim, keyer, "rts")
        wait_for("the message to be heard", lambda: recorder.last_loud_ns(), 5, 0.005)
        first_ns = recorder.first_loud_ns()
        target_ns = first_ns + int((stop_at_s - source_first_s) * h.NS)
        wait_for("the moment to click STOP", lambda: time.monotonic_ns() >= target_ns, stop_at_s + 5, 0.001)
    with c.step("click STOP"):
        clicked_ns = time.monotonic_ns()
        main.click_stop()
        sent_ns = time.monotonic_ns()
    with c.step("the sound ends within 50 ms of the click, the line drops 250 ms later"):
        raised, dropped = wait_for_message_done(shim, keyer, "rts", 5)
        wait_recorded_past(recorder, dropped)
        samples = recorder.samples()
        # Anything above -60 dBFS is still the message.
        last = next((i for i in range(len(samples) - 1, -1, -1) if abs(samples[i]) > 0.001), None)
        expect(last is not None, "nothing was heard")
        end_ns = recorder.time_of(last)
        print(f"[{c.name}]    sound ended {(end_ns - clicked_ns) / 1e6:.1f} ms after the click began "
              f"(xdotool took {(sent_ns - clicked_ns) / 1e6:.1f} ms; the word had "
              f"{(word_s + word_length_s - stop_at_s) * 1000:.0f} ms to go), line dropped "
              f"{(dropped - end_ns) / 1e6:.1f} ms after the sound", flush=True)
        expect(end_ns > clicked_ns, f"the message was quiet {(clicked_ns - end_ns) / 1e6:.1f} ms before STOP was "
               "clicked, in the middle of a word")
        expect(end_ns - sent_ns <= 50 * 1e6,
               f"the sound went on {(end_ns - sent_ns) / 1e6:.1f} ms after the STOP click")
        tail_ms = (dropped - end_ns) / 1e6
        expect(LEAD_TAIL_MS - h.timing_slack_ms(c.sound) <= tail_ms <= LEAD_TAIL_MS + 50,
               f"the line dropped {tail_ms:.1f} ms after the sound")
    with c.step("the keyer is idle again: CQ keys and plays once more"):
        check_keys_once_more(shim, keyer, main)
    check_sigterm_ends_cleanly(c, keyer)


def case_record_message(c):
    """A spoken message recorded in the assignment dialog from the sound server, trimmed, normalised, stored."""
    home = c.home()
    spoken = h.make_wav(os.path.join(c.work, "spoken.wav"), "CQ CQ CQ, this is Wren Keyer, K.", rate=48000)
    # PulseAudio's remap of an idle sink's monitor, the stand-in microphone below, now and then gives nothing
    # until a stream plays into the sink: the silence played ahead of the speech is what the keyer hears
    # before it, whichever way the server goes.
    played = os.path.join(c.work, "spoken-played.wav")
    subprocess.run(["sox", spoken, played, "pad", "0.5", "0"], check=True)
    caption = "CQ spoken"
    sink = c.sound["WRENKEYER_TEST_SINK"]
    pactl_env = {**os.environ, **c.sound}

    def pactl(*args):
        return subprocess.run(["pactl", *args], env=pactl_env, check=True, stdout=subprocess.PIPE, text=True,
                              timeout=10).stdout
    # Qt lists no monitor as an input: a source that forwards the sink's monitor stands for a microphone.
    source = f"wren_rec_{os.getpid()}"
    module = pactl("load-module", "module-remap-source", f"source_name={source}", f"master={sink}.monitor").strip()
    try:
        h.write_settings(home.config, {"Settings": {"Comm Port": "None"}, "Audio": {"Input": source}})
        keyer, main = c.start_to_main_window(home)
        with c.step("right-click button 6, type the caption"):
            main.click_message(6, button=3)
            dialog = c.display.window("Set Wave File")
            c.display.click(*h.at(dialog, h.SETWAVES_CAPTION_BOX, h.SETWAVES_CLIENT_TWIPS))
            c.display.type_text(caption)
        with c.step("Record: the keyer records from the input of the settings"):
            c.display.click(*h.at(dialog, h.SETWAVES_RECORD, h.SETWAVES_CLIENT_TWIPS))
            index = next(line.split("\t")[0] for line in pactl("list", "short", "sources").splitlines()
                         if line.split("\t")[1] == source)
            wait_for("a recording stream on the input",
                     lambda: any(line.split("\t")[1] == index
                                 for line in pactl("list", "short", "source-outputs").splitlines()), 5, 0.05)
            time.sleep(0.3)
        with c.step("speak into the sink, then Stop"):
            subprocess.run(["paplay", f"--device={sink}", played], env=pactl_env, check=True, timeout=30)
            time.sleep(0.3)
            c.display.click(*h.at(dialog, h.SETWAVES_STOP, h.SETWAVES_CLIENT_TWIPS))
            folder = os.path.join(home.env()["XDG_DATA_HOME"], "WrenKeyer", "messages")

            def settled():
                # The keyer writes a hidden temporary file and renames it, so a listing taken
                # between the two shows the temporary one; only a listing without it is final.
                names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
                return names if names and not any(n.startswith(".wrenkeyer-") for n in names) else None

            files = wait_for("the recording in the data folder, its temporary file renamed", settled, 5, 0.05)
            expect(len(files) == 1 and re.fullmatch(r"CQ_spoken_\d{8}-\d{6}\.wav", files[0]),
                   f"the data folder holds {files}")
            recorded = os.path.join(folder, files[0])
        with c.step("the file is mono 16-bit 48 kHz, the speech trimmed to 50 ms each side, peaking at -1 dBFS"):
            with wave.open(recorded, "rb") as handle:
                shape = (handle.getnchannels(), handle.getsampwidth(), handle.getframerate())
            expect(shape == (1, 2, 48000), f"channels, bytes and rate are {shape}")
            rate, heard = h.read_wav(recorded)
            _, said = h.read_wav(spoken)
            threshold = 10 ** (-45 / 20)
            first, last = h.loud_span(said, threshold)
            expected_s = (last - first + 1) / rate + 0.1
            length_s = len(heard) / rate
            expect(abs(length_s - expected_s) <= 0.05, f"{length_s:.3f} s recorded, {expected_s:.3f} s expected")
            peak_dbfs = 20 * math.log10(max(abs(v) for v in heard))
            expect(abs(peak_dbfs + 1.0) < 0.05, f"the recording peaks at {peak_dbfs:.2f} dBFS")
        with c.step("Ok stores the recording on button 6"):
            c.display.click(*h.at(dialog, h.SETWAVES_OK, h.SETWAVES_CLIENT_TWIPS))
            c.display.wait_gone("Set Wave File")
            stored = wait_for("Message 6 in the settings file",
                              lambda: h.read_settings(home.config)["Settings"].get("Message 6") == recorded
                              and h.read_settings(home.config)["Settings"], 5)
            expect(stored.get("Message 6 Name") == caption, f"Message 6 is named {stored.get('Message 6 Name')!r}")
    finally:
        pactl("unload-module", module)


def case_assign_button(c):
    home = c.home()
    other = h.make_wav(os.path.join(c.work, "five nine.wav"), "Five nine nine in Springfield, seventy three.")
    caption = "59 TU 73"
    keyer, main = c.start_to_main_window(home)

    def assign():
        with c.step("right-click button 6 opens the assignment dialog"):
            main.click_message(6, button=3)
            dialog = c.display.window("Set Wave File")
        with c.step("type the caption"):
            c.display.click(*h.at(dialog, h.SETWAVES_CAPTION_BOX, h.SETWAVES_CLIENT_TWIPS))
            c.display.type_text(caption)
        with c.step("Select Wave File opens the file dialog; type the path and Enter"):
            c.display.click(*h.at(dialog, h.SETWAVES_SELECT, h.SETWAVES_CLIENT_TWIPS))
            chooser = c.display.window("Select WAV file")
            c.display.focus(chooser)
            c.display.keys("ctrl+a")
            c.display.type_text(other)
            c.display.keys("Return")
            c.display.wait_gone("Select WAV file")
        with c.step("Ok closes the dialog and stores the button"):
            c.display.click(*h.at(dialog, h.SETWAVES_OK, h.SETWAVES_CLIENT_TWIPS))
            c.display.wait_gone("Set Wave File")
            check_stored()

    def check_stored():
        # The dialog closes before the keyer writes the two keys, one after the other.
        def stored():
            settings = h.read_settings(home.config)["Settings"]
            return settings if (settings.get("Message 6"), settings.get("Message 6 Name")) == (other, caption) else None

        try:
            settings = wait_for("Message 6 and its name in the settings file", stored, 5)
        except h.Failure:
            settings = h.read_settings(home.config)["Settings"]
            raise h.Failure(f"Message 6 is {settings.get('Message 6')!r} named {settings.get('Message 6 Name')!r}, "
                            f"not {other!r} named {caption!r}") from None
        untouched = {n: settings.get(f"Message {n} Name") for n in (5, 7)}
        expect(untouched == {5: "(Blank)", 7: "(Blank)"}, f"the neighbours changed: {untouched}")

    def hear_button_6():
        with c.step("click button 6 and hear the new file"):
            recorder = c.recorder()
            main.click_message(6)
            rate, source = h.read_wav(other)
            span = h.loud_span(source, 0.02)
            length_s = (span[1] - span[0]) / rate
            first = wait_for("button 6 to be heard", lambda: recorder.last_loud_ns(), 5, 0.005)
            wait_for("the message to end",
                     lambda: keyer.check_alive() or time.monotonic_ns() > first + int((length_s + 0.6) * h.NS),
                     length_s + 5)
            recorder.stop()
            h.Heard(recorder, other).check_matches("button 6")

    assign()
    hear_button_6()
    with c.step("restart the keyer"):
        expect(keyer.terminate() == 0, "the keyer did not end with status 0")
        keyer = c.start(home, log_name="keyer-again.log")
        keyer.close_about()
        main = h.MainWindow(c.display, keyer.main_window())
    with c.step("button 6 keeps its file and caption"):
        check_stored()
    hear_button_6()
    check_sigterm_ends_cleanly(c, keyer)


def case_second_start(c):
    home = c.home()
    first, main = c.start_to_main_window(home)
    settings_file = h.settings_path(home.config)
    with open(settings_file, "rb") as handle:
        before = handle.read()
    with c.step("a second start asks whether to run another copy"):
        second = c.start(home, log_name="second.log")
        box = c.display.window(f"{APP_TITLE} - V{c.args.version} Confirm", 15)
        expect(not c.display.windows("About"), "the second copy showed its about box before asking")
    with c.step("Enter answers No: the second copy ends with status 0"):
        c.display.focus(box)
        c.display.keys("Return")
        status = second.wait_exit(10)
        expect(status == 0, f"the second copy ended with status {status}")
        expect(not c.display.windows("About"), "the second copy went on to its about box")
    with c.step("the settings file is unchanged byte for byte"):
        with open(settings_file, "rb") as handle:
            expect(handle.read() == before, "the second copy changed the settings file")
    with c.step("the first copy runs on with its window and one tray icon"):
        expect(first.running(), "the first copy ended")
        expect(c.display.windows(APP_TITLE), "the first copy's main window is gone")
        expect(len(c.display.tray_icons()) == 1, f"the tray holds {len(c.display.tray_icons())} icons")
        expect(first.terminate() == 0, "the first copy did not end with status 0")


def case_tray_hide_restore_exit(c):
    home = c.home()
    keyer, main = c.start_to_main_window(home)
    icon = wait_for("the tray icon", lambda: next(iter(c.display.tray_icons()), None), 10)
    icon_centre = (icon[0] + icon[2] // 2, icon[1] + icon[3] // 2)

    def popup():
        c.display.click(*icon_centre, button=3)
        return c.display.window(APP_TITLE, override=True)

    with c.step("right-click on the icon opens the pop-up; Hide hides the main window"):
        popup()
        # Restore is disabled while the window is shown, so the first item reached is Hide.
        c.display.keys("Down", "Return")
        wait_for("the main window to hide", lambda: not c.display.windows(APP_TITLE), 5)
        expect(keyer.running(), "the keyer ended on Hide")
        expect(len(c.display.tray_icons()) == 1, "the icon left the tray on Hide")
    with c.step("a left click on the icon restores the main window"):
        c.display.click(*icon_centre)
        restored = keyer.main_window(5)
        expect((restored.x, restored.y, restored.width, restored.height) ==
               (main.window.x, main.window.y, main.window.width, main.window.height),
               f"the window came back as {restored}, it was {main.window}")
    with c.step("Exit from the pop-up ends the keyer with status 0"):
        popup()
        # Exit is the last item.
        c.display.keys("Up", "Return")
        status = keyer.wait_exit(10)
        expect(status == 0, f"the keyer ended with status {status}")
    with c.step("the icon is gone from the tray"):
        wait_for("the tray to be empty", lambda: not c.display.tray_icons(), 5)


def case_tray_appears_later(c):
    home = c.home()
    keyer, main = c.start_to_main_window(home)
    with c.step("a panel starts after the keyer: the keyer's icon appears in its tray"):
        c.display.start_tray()
        icon = c.display.settled_tray_icon()
        icon_centre = (icon[0] + icon[2] // 2, icon[1] + icon[3] // 2)
    with c.step("Hide from the icon's pop-up hides the window; a left click on the icon brings it back"):
        c.display.click(*icon_centre, button=3)
        c.display.window(APP_TITLE, override=True)
        c.display.keys("Down", "Return")
        wait_for("the main window to hide", lambda: not c.display.windows(APP_TITLE), 5)
        expect(keyer.running(), "the keyer ended on Hide")
        c.display.click(*icon_centre)
        keyer.main_window(5)
    with c.step("the keyer ends with status 0"):
        expect(keyer.terminate() == 0, "the keyer did not end with status 0")


# Started without a tray: the panel comes during the case.
case_tray_appears_later.tray_at_start = False


def case_sigterm_mid_message(c):
    shim, home, keyer, main = c.keyer_on_com1("DTR")
    with c.step("click CQ and let it play for a second"):
        recorder = c.recorder()
        main.click_message(1)
        wait_for_message_keyed(shim, keyer, "dtr")
        first = wait_for("the message to be heard", lambda: recorder.last_loud_ns(), 5, 0.005)
        wait_for("a second of the message", lambda: time.monotonic_ns() > first + h.NS, 5, 0.005)
    with c.step("SIGTERM ends the keyer with status 0"):
        signalled = time.monotonic_ns()
        keyer.process.send_signal(signal.SIGTERM)
        status = keyer.wait_exit(10)
        ended = time.monotonic_ns()
        expect(status == 0, f"the keyer ended with status {status}")
    with c.step("the keyer released the line itself: COM1 closed, DTR and RTS down"):
        records = shim.records(keyer.pid)
        last = records[-1]
        expect(last["event"] == "close" and last["dtr"] == 0 and last["rts"] == 0,
               "the last thing on the port was not its closing with the lines down:\n" + h.describe(records))
        expect(signalled <= last["mono"] <= ended, "the port was not closed on the way out:\n" + h.describe(records))
        expect(all(r["event"] != "set" or r["mono"] < signalled for r in records), "keyed again after SIGTERM")
    with c.step("the sound stopped and the icon is gone"):
        wait_recorded_past(recorder, ended)
        samples = recorder.samples()
        last_loud = next((i for i in range(len(samples) - 1, -1, -1) if abs(samples[i]) > 0.001), None)
        expect(last_loud is not None and recorder.time_of(last_loud) <= ended,
               "sound went on after the keyer had ended")
        expect(not c.display.tray_icons(), "the icon stayed in the tray")


def case_about_mid_message(c):
    shim, home, keyer, main = c.keyer_on_com1("RTS")
    with c.step("click CQ and open About from the Help menu 0.35 s after the line went up"):
        recorder = c.recorder()
        main.click_message(1)
        raised = wait_for_message_keyed(shim, keyer, "rts")
        wait_for("0.35 s of key-down", lambda: time.monotonic_ns() >= raised + int(0.35 * h.NS), 5, 0.002)
        # File is the first item of the bar; Left from its menu wraps round to Help, whose last item is About.
        c.display.click(main.window.x + 14, main.window.y + main.menu_bar // 2)
        c.display.keys("Left", "Up", "Return")
        about = c.display.window("About", 5, interval=0.005)
        opened_ns = time.monotonic_ns()
        expect(keyed_spans(shim.records(keyer.pid), "rts")[1] is not None,
               "the line was down before About opened:\n" + h.describe(shim.records(keyer.pid)))
    with c.step("the line drops the tail after the sound, with About still open"):
        _, dropped = wait_for_message_done(shim, keyer, "rts", 20)
        expect(c.display.windows("About"), "About closed by itself")
        wait_recorded_past(recorder, dropped)
        heard = h.Heard(recorder, c.sample("STATION_CQ.wav"))
        heard.check_matches("CQ")
        tail_ms = (dropped - heard.last_ns - heard.source_tail_ns) / 1e6
        print(f"[{c.name}]    About opened {(opened_ns - raised) / 1e6:.0f} ms after the key; line dropped "
              f"{(dropped - raised) / 1e6:.0f} ms after the key, {tail_ms:.1f} ms after the sound", flush=True)
        least_ms = LEAD_TAIL_MS - h.timing_slack_ms(c.sound) - heard.lost_ms
        expect(least_ms <= tail_ms <= LEAD_TAIL_MS + 50, f"the tail was {tail_ms:.1f} ms")
        expect(c.display.windows("About"), "About did not stay open")
    with c.step("after About closes nothing is keyed again, and CQ keys and stops as before"):
        time.sleep(0.5)
        expect(len(keyed_spans(shim.records(keyer.pid), "rts")[0]) == 1 and
               keyed_spans(shim.records(keyer.pid), "rts")[1] is None,
               "the line moved while About was open:\n" + h.describe(shim.records(keyer.pid)))
        c.display.click(*h.at(about, h.ABOUT_OK))
        c.display.wait_gone("About")
        time.sleep(0.5)
        expect(len(keyed_spans(shim.records(keyer.pid), "rts")[0]) == 1, "keyed again when About closed:\n" +
               h.describe(shim.records(keyer.pid)))
        check_keys_once_more(shim, keyer, main)
    check_sigterm_ends_cleanly(c, keyer)


def case_watchdog_hung_sound_server(c):
    shim, home, keyer, main = c.keyer_on_com1("RTS", Keyer={"Transmit Time-out": "1"})
    # The time-out and the tail; past them the watchdog's grace, should the keyer's own thread be held.
    earliest_ms = 1000 + LEAD_TAIL_MS
    deadline_ms = earliest_ms + 50
    with c.step("click CQ"):
        main.click_message(1)
        raised = wait_for_message_keyed(shim, keyer, "rts")
    # Hung within the lead. The message's stream was made while the output woke, so "play" only writes to it
    # and the keyer's own thread drops the line after the time-out; were it held in the server's client, the
    # watchdog would, 50 ms later. Either way the line is down on time.
    with h.sound_server_hung(c.sound):
        with c.step(f"the line drops {earliest_ms} to {deadline_ms} ms after the key while the server hangs"):
            _, dropped = wait_for_message_done(shim, keyer, "rts", 5)
            took_ms = (dropped - raised) / 1e6
            print(f"[{c.name}]    the line dropped {took_ms:.1f} ms after the key", flush=True)
            expect(earliest_ms <= took_ms <= deadline_ms + 30, f"the line dropped {took_ms:.1f} ms after the key")
    with c.step("the keyer tells that the transmitter was released"):
        box = wait_for("the time-out message", lambda: next(
            (w for w in c.display.windows(APP_TITLE) if w.id != main.window.id), None), 10)
        c.display.focus(box)
        c.display.keys("Return")
        wait_for("the message to close", lambda: len(c.display.windows(APP_TITLE)) == 1, 5)
        spans, open_since = keyed_spans(shim.records(keyer.pid), "rts")
        expect(len(spans) == 1 and open_since is None, "keyed again after the time-out:\n" +
               h.describe(shim.records(keyer.pid)))
    check_sigterm_ends_cleanly(c, keyer)


# --- Keys, repeat and requests from other programs -------------------------------------------------


def nth_keyed(shim, keyer, n, timeout=10):
    """When RTS rose for the n-th time (from 0) after load."""
    def raised():
        keyer.check_alive()
        spans, open_since = keyed_spans(shim.records(keyer.pid), "rts")
        return spans[n][0] if len(spans) > n else open_since if len(spans) == n else None

    return wait_for(f"RTS to be raised a {n + 1}. time", raised, timeout, 0.002)


def nth_done(shim, keyer, n, timeout=10):
    """The n-th (raised, dropped) span of RTS after load, once it has dropped."""
    def done():
        keyer.check_alive()
        spans = keyed_spans(shim.records(keyer.pid), "rts")[0]
        return spans[n] if len(spans) > n else None

    return wait_for(f"RTS to drop a {n + 1}. time", done, timeout, 0.01)


def case_command_line(c):
    shim = c.shim()
    home = c.home()
    h.write_settings(home.config, shim.settings("RTS"))
    with c.step("without a keyer: --status exits 1, bad arguments 2 with the usage, --help and --version 0"):
        env = c.display.env(home.env())

        def command(*args):
            return h.run_command(c.args.exe, env, *args)

        status, out, err = command("--status")
        expect(status == 1 and "no keyer running" in err, f"--status gave {status}: {out!r} {err!r}")
        for bad in (["--play", "11"], ["--play"], ["--frob"], ["--play-file", "/no/such.wav"]):
            status, out, err = command(*bad)
            expect(status == 2 and "Usage: wrenkeyer" in err, f"{bad} gave {status}: {err!r}")
        status, out, _ = command("--version")
        expect(status == 0 and out == f"wrenkeyer {c.args.version}\n", f"--version printed {out!r}")
        status, out, _ = command("--help")
        expect(status == 0 and "--play-file PATH" in out, f"--help printed {out!r}")
    keyer, main = c.start_to_main_window(home, shim)
    with c.step("--play 1 keys RTS and is heard; --status says so; the line drops at the end"):
        check_port_settled_at_load(shim, keyer)
        recorder = c.recorder()
        status, out, err = keyer.command("--play", "1")
        expect(status == 0, f"--play 1 gave {status}: {err!r}")
        nth_keyed(shim, keyer, 0)
        status, out, _ = keyer.command("--status")
        expect(status == 0 and out == "transmitting 1\n", f"--status during the message printed {out!r}")
        raised, dropped = nth_done(shim, keyer, 0, 20)
        wait_recorded_past(recorder, dropped)
        h.Heard(recorder, c.sample("STATION_CQ.wav")).check_matches("CQ")
        status, out, _ = keyer.command("--status")
        expect(status == 0 and out == "idle\n", f"--status after the message printed {out!r}")
    with c.step("a second start with an option asks nothing and opens no window"):
        expect(not c.display.windows(f"{APP_TITLE} - V{c.args.version} Confirm"), "a Confirm window is up")
        expect(len(c.display.windows(APP_TITLE)) == 1, "a second main window appeared")
    with c.step("--stop ends a message: the line drops within the tail"):
        keyer.command("--play", "1")
        nth_keyed(shim, keyer, 1)
        time.sleep(0.5)
        stopped_ns = time.monotonic_ns()
        status, _, err = keyer.command("--stop")
        expect(status == 0, f"--stop gave {status}: {err!r}")
        _, dropped = nth_done(shim, keyer, 1, 5)
        expect(dropped - stopped_ns < (LEAD_TAIL_MS + 300) * 1e6,
               f"the line dropped {(dropped - stopped_ns) / 1e6:.0f} ms after --stop began")
    with c.step("--play-file sends a generated WAV, keyed the same way"):
        wav = h.make_wav(os.path.join(c.work, "logger cq.wav"), "CQ test")
        recorder = c.recorder()
        status, _, err = keyer.command("--play-file", wav)
        expect(status == 0, f"--play-file gave {status}: {err!r}")
        nth_keyed(shim, keyer, 2)
        status, out, _ = keyer.command("--status")
        expect(out in ("transmitting " + wav + "\n", "idle\n"), f"--status printed {out!r}")
        _, dropped = nth_done(shim, keyer, 2, 20)
        wait_recorded_past(recorder, dropped)
        h.Heard(recorder, wav).check_matches("the generated file")
    with c.step("refused with 3: a blank button; bad with 2: a number out of range"):
        status, _, err = keyer.command("--play", "5")
        expect(status == 3 and "message 5 is blank" in err, f"--play 5 gave {status}: {err!r}")
        status, _, err = keyer.command("--play", "0")
        expect(status == 2, f"--play 0 gave {status}: {err!r}")
        expect(keyed_spans(shim.records(keyer.pid), "rts")[1] is None, "a refused request keyed the line")
    with c.step("time from starting --play 1 to RTS rising, 20 times"):
        delays = []
        for n in range(3, 23):
            started = time.monotonic_ns()
            keyer.command("--play", "1")
            delays.append((nth_keyed(shim, keyer, n) - started) / 1e6)
            keyer.command("--stop")
            nth_done(shim, keyer, n, 5)
        delays.sort()
        median = (delays[9] + delays[10]) / 2
        print(f"[{c.name}]    --play 1 to RTS up: median {median:.1f} ms, min {delays[0]:.1f}, "
              f"max {delays[-1]:.1f} ms", flush=True)
        expect(median < 500, f"the median was {median:.1f} ms")
    with c.step("SIGTERM ends the keyer with status 0; then --status exits 1"):
        expect(keyer.terminate() == 0, "the keyer did not end with status 0")
        status, _, _ = keyer.command("--status")
        expect(status == 1, f"--status after the end gave {status}")


def case_keys_and_repeat(c):
    shim, home, keyer, main = c.keyer_on_com1("RTS", Keyer={"Repeat Interval": "1"})
    with c.step("F1 keys and plays message 1, Esc stops it"):
        c.display.focus(main.window)
        c.display.keys("F1")
        nth_keyed(shim, keyer, 0)
        status, out, _ = keyer.command("--status")
        expect(out == "transmitting 1\n", f"--status printed {out!r}")
        time.sleep(0.5)
        c.display.keys("Escape")
        nth_done(shim, keyer, 0, 5)
    with c.step("F2 during message 1 switches with the line kept up"):
        c.display.keys("F1")
        nth_keyed(shim, keyer, 1)
        time.sleep(0.6)
        c.display.keys("F2")
        wait_for("message 2", lambda: keyer.command("--status")[1] == "transmitting 2\n", 5)
        c.display.keys("Escape")
        nth_done(shim, keyer, 1, 5)
        time.sleep(0.3)
        spans = keyed_spans(shim.records(keyer.pid), "rts")[0]
        expect(len(spans) == 2, "RTS dropped between the messages:\n" + h.describe(shim.records(keyer.pid)))
    with c.step("Shift+F4 repeats message 4 with the line down for the interval, Esc ends it"):
        c.display.keys("shift+F4")
        nth_keyed(shim, keyer, 2)
        wait_for("the wait", lambda: keyer.command("--status")[1].startswith("waiting 4 "), 20, 0.05)
        expect(keyed_spans(shim.records(keyer.pid), "rts")[1] is None, "RTS is up in the wait")
        nth_keyed(shim, keyer, 3, 5)
        c.display.keys("Escape")
        spans = [nth_done(shim, keyer, 2), nth_done(shim, keyer, 3, 5)]
        gap_ms = (spans[1][0] - spans[0][1]) / 1e6
        expect(1000 <= gap_ms <= 1300, f"the line rested {gap_ms:.0f} ms between the sends")
        time.sleep(1.5)
        expect(keyer.command("--status")[1] == "idle\n", "the repeat went on after Esc")
    with c.step("SIGTERM ends the keyer with status 0"):
        expect(keyer.terminate() == 0, "the keyer did not end with status 0")


def case_dbus(c):
    bus = c.bus()
    shim, home, keyer, main = c.keyer_on_com1("RTS", bus)
    target = ["--session", "--dest", "org.example.WrenKeyer", "--object-path", "/org/example/WrenKeyer"]

    def transmitting():
        status, out, err = bus.gdbus("call", *target, "--method", "org.freedesktop.DBus.Properties.Get",
                                     "org.example.WrenKeyer.Keyer", "Transmitting")
        expect(status == 0, f"Get Transmitting failed: {err}")
        return out

    with c.step("the keyer owns org.example.WrenKeyer; Transmitting is false"):
        wait_for("the bus name", lambda: bus.gdbus("call", "--session", "--dest", "org.freedesktop.DBus",
                                                   "--object-path", "/org/freedesktop/DBus", "--method",
                                                   "org.freedesktop.DBus.NameHasOwner",
                                                   "org.example.WrenKeyer")[1] == "(true,)", 10)
        expect(transmitting() == "(<false>,)", f"Transmitting read {transmitting()}")
    with c.step("Play(1) keys RTS, Transmitting turns true and PropertiesChanged says so"):
        monitor_log = os.path.join(c.work, "monitor.log")
        with open(monitor_log, "w") as log:
            monitor = subprocess.Popen(["gdbus", "monitor", *target], env=bus.env(), stdout=log,
                                       stderr=subprocess.STDOUT)
        try:
            time.sleep(0.5)
            status, _, err = bus.gdbus("call", *target, "--method", "org.example.WrenKeyer.Keyer.Play", "1")
            expect(status == 0, f"Play(1) failed: {err}")
            nth_keyed(shim, keyer, 0)
            expect(transmitting() == "(<true>,)", f"Transmitting read {transmitting()}")
            time.sleep(0.3)
            status, _, err = bus.gdbus("call", *target, "--method", "org.example.WrenKeyer.Keyer.Stop")
            expect(status == 0, f"Stop() failed: {err}")
            nth_done(shim, keyer, 0, 5)
            wait_for("Transmitting false", lambda: transmitting() == "(<false>,)", 5)
            time.sleep(0.3)
        finally:
            os.kill(monitor.pid, signal.SIGTERM)
            monitor.wait(5)
        with open(monitor_log) as log:
            seen = log.read()
        expect("'Transmitting': <true>" in seen and "'Message': <1>" in seen and "'Transmitting': <false>" in seen,
               "PropertiesChanged did not tell the change:\n" + seen)
    with c.step("a bad Play is an error and keys nothing"):
        status, _, err = bus.gdbus("call", *target, "--method", "org.example.WrenKeyer.Keyer.Play", "11")
        expect(status != 0 and "InvalidArgs" in err, f"Play(11) gave {status}: {err}")
        status, _, err = bus.gdbus("call", *target, "--method", "org.example.WrenKeyer.Keyer.PlayFile", "/dev/zero")
        expect(status != 0 and "not a regular file" in err, f"PlayFile(/dev/zero) gave {status}: {err}")
        expect(keyed_spans(shim.records(keyer.pid), "rts")[1] is None, "a refused request keyed the line")
    with c.step("SIGTERM ends the keyer with status 0"):
        expect(keyer.terminate() == 0, "the keyer did not end with status 0")



CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True, help="the keyer executable (its wav folder beside it)")
    parser.add_argument("--shim", required=True, help="the serial shim library")
    parser.add_argument("--version", default="2.0.1", help="the program's version, as in its confirmation title")
    parser.add_argument("--work", default="e2e-work", help="folder for the cases' files")
    parser.add_argument("--failures", default="e2e-failures", help="folder for screenshots of failed steps")
    parser.add_argument("cases", nargs="*", help="cases to run (default: all): " + ", ".join(CASES))
    args = parser.parse_args()
    unknown = [name for name in args.cases if name not in CASES]
    if unknown:
        parser.error("unknown cases: " + ", ".join(unknown))

    failed, skipped = [], []
    for name in args.cases or list(CASES):
        started = time.monotonic()
        case = None
        try:
            case = Case(name, args)
            CASES[name](case)
            print(f"PASS {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except h.Skip as reason:
            print(f"SKIP {name}: {reason}", flush=True)
            skipped.append(name)
        except Exception as error:  # noqa: BLE001 - every failure of a case is reported, then the next runs
            if not isinstance(error, h.Failure):
                traceback.print_exc()
            print(f"FAIL {name}: {error}", flush=True)
            if case is not None:
                case.report()
            failed.append(name)
        finally:
            if case is not None:
                case.close()
    if failed:
        return 1
    return 77 if skipped else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Several module stand-ins at once, from one description.

Each stand-in is its own sim/module.py process with its own TCP port,
control channel, serial number and model; any of them may be a router with
modules behind it. The fleet prints one line

  TV-FLEET {"standins": [INFO, INFO, ...]}

when all are up (INFO is each stand-in's TV-MODULE record: label, pid,
tcp_host, tcp_port, pty, control_port, address, serial, model, behind),
writes the same JSON to --info FILE, and serves until it is interrupted
(SIGINT or SIGTERM), then ends the stand-ins.

Description (JSON file or inline text), a list of stand-in descriptions
(the keys of sim/description.py) or an object holding one under "standins":

  {"standins": [
     {"label": "hub", "serial": "0x40F5849A", "model": 17, "discovery": true},
     {"label": "router", "serial": "0x40F50002", "model": 5, "version": "2.15.0",
      "behind": [{"address": 4, "serial": "0x40F50004", "model": 6},
                 {"address": 6, "serial": "0x40F50006", "model": 6, "build": 1200}]}]}

Command line:

  fleet.py --description FILE|JSON [--info FILE]
  fleet.py --module KEY=VALUE,KEY=VALUE... [--module ...] [--info FILE]
           e.g. --module label=hub,serial=0x40F5849A,model=17,discovery=1
                --module serial=0x40F50002,behind=4:0x40F50004:6;6:0x40F50006:6
           (behind: ADDR:SERIAL:MODEL[:VERSION[:BUILD[:NAME]]] joined by ';';
            fingerprint: W0:W1:W2:W3, subindex 0 first)
  fleet.py --count N [--serial-base 0x40F50000] [--model 17] [--info FILE]
           N plain stand-ins, serial numbers counting up from the base

As a library: ``with Fleet(descriptions) as infos: ...`` starts them and
ends them on leaving.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE = os.path.join(HERE, "module.py")
BOOLEAN_KEYS = {"tcp", "pty", "discovery", "uei_data", "pooled", "load_keeps_link", "loader_running"}


def _end_with_parent() -> None:
    """In the child: a fleet that dies (even by SIGKILL) takes its stand-ins along."""
    try:
        import ctypes
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


class FleetError(RuntimeError):
    pass


class Fleet:
    def __init__(self, descriptions: list[dict], python: str = sys.executable) -> None:
        self.descriptions = descriptions
        self.python = python
        self.processes: list[subprocess.Popen] = []
        self.infos: list[dict] = []

    def start(self) -> list[dict]:
        for desc in self.descriptions:
            self.processes.append(subprocess.Popen(
                [self.python, MODULE, "--config", json.dumps(desc)], stdout=subprocess.PIPE, text=True,
                preexec_fn=_end_with_parent))
        for desc, process in zip(self.descriptions, self.processes):
            line = process.stdout.readline() if process.stdout else ""
            if not line.startswith("TV-MODULE "):
                self.stop()
                raise FleetError("stand-in %s did not start" % desc.get("label", desc.get("serial", "?")))
            self.infos.append(json.loads(line.split(" ", 1)[1]))
        return self.infos

    def stop(self) -> None:
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            if process.stdout:
                process.stdout.close()
        self.processes = []

    def __enter__(self) -> list[dict]:
        return self.start()

    def __exit__(self, *_exc) -> None:
        self.stop()


def load_description(text: str) -> list[dict]:
    if text.lstrip()[:1] in ("{", "["):
        desc = json.loads(text)
    else:
        with open(os.path.expanduser(text), encoding="utf-8") as handle:
            desc = json.load(handle)
    if isinstance(desc, dict):
        desc = desc.get("standins")
    if not isinstance(desc, list) or not all(isinstance(d, dict) for d in desc):
        raise ValueError("a fleet description is a list of stand-in descriptions (or {\"standins\": [...]})")
    return desc


def module_from_text(text: str) -> dict:
    """KEY=VALUE,KEY=VALUE,... into a stand-in description."""
    desc: dict = {}
    for item in filter(None, text.split(",")):
        key, sep, value = item.partition("=")
        if not sep:
            raise ValueError("--module takes KEY=VALUE pairs: %r" % item)
        if key == "behind":
            fields = ["address", "serial", "model", "version", "build", "device_name"]
            desc["behind"] = [dict(zip(fields, entry.split(":"))) for entry in value.split(";") if entry]
        elif key == "fingerprint":
            desc["fingerprint"] = value.split(":")
        elif key in BOOLEAN_KEYS:
            desc[key] = value.lower() in ("1", "true", "yes", "on")
        else:
            desc[key] = value
    return desc


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Several module stand-ins from one description.",
                                     epilog=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--description", metavar="FILE|JSON", help="the fleet description")
    parser.add_argument("--module", action="append", default=[], metavar="KEY=VALUE,...",
                        help="one stand-in (repeatable)")
    parser.add_argument("--count", type=int, help="this many plain stand-ins")
    parser.add_argument("--serial-base", type=lambda s: int(s, 0), default=0x40F50000)
    parser.add_argument("--model", type=lambda s: int(s, 0), default=0x11)
    parser.add_argument("--info", metavar="FILE", help="write the fleet's JSON record to FILE")
    args = parser.parse_args(argv)
    try:
        descriptions = load_description(args.description) if args.description else []
        descriptions += [module_from_text(t) for t in args.module]
        descriptions += [{"label": "standin-%d" % n, "serial": args.serial_base + n, "model": args.model}
                         for n in range(args.count or 0)]
    except (ValueError, OSError) as error:
        print("fleet.py: %s" % error, file=sys.stderr)
        return 2
    if not descriptions:
        parser.error("nothing to start: give --description, --module or --count")
    fleet = Fleet(descriptions)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        infos = fleet.start()
        record = {"pid": os.getpid(), "standins": infos}
        if args.info:
            tmp = args.info + ".tmp"
            with open(tmp, "w", encoding="utf-8") as handle:
                json.dump(record, handle)
            os.replace(tmp, args.info)
        print("TV-FLEET " + json.dumps(record), flush=True)
        while any(p.poll() is None for p in fleet.processes):
            time.sleep(0.2)
        return 0  # every stand-in was told to quit
    except FleetError as error:
        print("fleet.py: %s" % error, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 0
    finally:
        fleet.stop()


if __name__ == "__main__":
    sys.exit(main())

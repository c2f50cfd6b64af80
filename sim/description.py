"""Stand-in descriptions: one JSON object per stand-in, shared by the
command line of module.py (--config) and the fleet (sim/fleet.py).

  {"label": "hub-a",                  free text, echoed in the info record
   "address": 2, "serial": "0x40F5849A", "model": 17,
   "version": "2.11.4",               or "2.15.0/current", "3.0.1/legacy", "0x2B000004"
   "build": 1100, "device_name": "Hub A",
   "tcp": true, "host": "127.0.0.1", "port": 0, "pty": false,
   "discovery": false, "heartbeat_ms": 0, "down_ms": 300, "log": null,
   "load_keeps_link": false,          true: LOAD starts the loader on the same link
   "uei_data": false, "pooled": false, "block_size": 256, "load_base": "0x10000000",
   "fingerprint": [w0, w1, w2, w3],   system option 39, subindex 0 first
   "loader_running": false,           true: the loader runs from the start (a live
                                      loader started from RAM by the chip's ROM)
   "behind": [ {"address": 4, "serial": "0x11110004", "model": 5, ...}, ... ]}

Every key is optional. Numbers may be JSON numbers or text in any base
Python reads ("0x40F5849A"). A module behind the router takes the module
keys (address, serial, model, version, build, device_name, uei_data,
pooled, block_size, load_base, fingerprint, loader_running); its router
address is the front module's.
"""

from __future__ import annotations

import json
import os

try:
    from . import device, firmware
except ImportError:
    import device  # type: ignore[no-redef]
    import firmware  # type: ignore[no-redef]

MODULE_KEYS = {"address", "serial", "model", "version", "build", "device_name", "uei_data", "pooled",
               "block_size", "load_base", "label", "fingerprint", "loader_running"}
STANDIN_KEYS = MODULE_KEYS | {"tcp", "host", "port", "pty", "discovery", "heartbeat_ms", "down_ms", "log",
                              "load_keeps_link", "behind"}


def number(value) -> int:
    return int(value, 0) if isinstance(value, str) else int(value)


def load(text: str) -> dict:
    """A description from inline JSON or from a file holding it."""
    if text.lstrip().startswith("{"):
        desc = json.loads(text)
    else:
        with open(os.path.expanduser(text), encoding="utf-8") as handle:
            desc = json.load(handle)
    check(desc, STANDIN_KEYS)
    for entry in desc.get("behind", []):
        check(entry, MODULE_KEYS)
    return desc


def check(desc: dict, allowed: set) -> None:
    if not isinstance(desc, dict):
        raise ValueError("a stand-in description is a JSON object")
    unknown = set(desc) - allowed
    if unknown:
        raise ValueError("unknown description keys: " + ", ".join(sorted(unknown)))


def module_from(desc: dict, default_address: int = 2) -> device.Module:
    version = desc.get("version", device.DEFAULT_VERSION)
    module = device.Module(
        address=number(desc.get("address", default_address)),
        model=number(desc.get("model", 0x11)),
        serial=number(desc.get("serial", 0x40F5849A)),
        version=firmware.parse_version(version) if isinstance(version, str) else int(version),
        build=number(desc.get("build", device.DEFAULT_BUILD)),
        name=desc.get("device_name", "Tolvarine module").encode("utf-8"))
    loader = module.loader
    loader.uei_data = bool(desc.get("uei_data", False))
    loader.pooled = bool(desc.get("pooled", False))
    if "block_size" in desc:
        loader.block_size = number(desc["block_size"])
    if "load_base" in desc:
        loader.load_base = number(desc["load_base"])
    if "fingerprint" in desc:
        words = [number(w) & 0xFFFFFFFF for w in desc["fingerprint"]]
        if len(words) != 4:
            raise ValueError("a fingerprint is four words, subindex 0 first")
        module.fingerprint = words
    loader.running_loader = bool(desc.get("loader_running", False))
    return module


def network_from(desc: dict) -> device.Network:
    network = device.Network(module_from(desc))
    for n, entry in enumerate(desc.get("behind", [])):
        network.add(module_from(entry, default_address=4 + 2 * n))
    return network


def behind_from_text(text: str) -> dict:
    """"ADDR,SERIAL,MODEL[,VERSION[,BUILD[,NAME]]]" from the command line."""
    parts = text.split(",")
    if len(parts) < 3:
        raise ValueError("--behind takes ADDR,SERIAL,MODEL[,VERSION[,BUILD[,NAME]]]")
    keys = ["address", "serial", "model", "version", "build", "device_name"]
    return {k: v for k, v in zip(keys, parts) if v != ""}

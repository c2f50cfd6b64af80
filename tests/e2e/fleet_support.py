"""End-to-end tests with module stand-ins on the test network (started as a
fleet from one description) and the update-server stand-in beside them."""
import os
import time

from sim import birdfile
from sim.fleet import Fleet
from sim.module import Control
from tests.e2e.server_support import ServerTestCase

HUB = 0x40F5849A
HUB_SN = "%08X" % HUB
HUB_MODEL = 0x11
HUB_MODEL_NAME = "IOAnalog"


def standin(serial, model=HUB_MODEL, **keys):
    """A stand-in reachable by TCP/IP discovery on every interface."""
    return {"serial": "0x%08X" % serial, "model": model, "discovery": True, "host": "0.0.0.0", **keys}


class FleetTestCase(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.fleet = None
        self.controls = {}

    def tearDown(self):
        for control in self.controls.values():
            control.close()
        if self.fleet is not None:
            self.fleet.stop()
        super().tearDown()

    def start_fleet(self, *descriptions):
        self.fleet = Fleet(list(descriptions))
        self.infos = self.fleet.start()
        for info in self.infos:
            self.controls[info["serial"]] = Control(info["control_port"])
        return self.infos

    def control(self, serial, *words):
        return self.controls[serial](*words)

    def flash_image(self, serial, at=None):
        """(base address, bytes) of what the module's loader wrote to flash."""
        path = os.path.join(self.scratch, "flash-%08X.bin" % serial)
        words = ["at", at] if at is not None else []
        base, length = self.control(serial, *words, "flash_dump", path)
        with open(path, "rb") as source:
            data = source.read()
        self.assertEqual(len(data), int(length, 0))
        return int(base, 0), data

    def assertFlashHolds(self, serial, blocks, at=None):
        """Every block's image lies in the flash at the block's address."""
        base, flash = self.flash_image(serial, at)
        for block in blocks:
            start = block.address - base
            image = block.payload[4:]
            self.assertEqual(flash[start:start + len(image)], image, "block at 0x%08X" % block.address)

    def identity(self, serial, at=None, within=5.0):
        """The module's identity once it is online: Updater ends as soon as a
        rebooting module has dropped its link, before the module is back."""
        words = ["at", at] if at is not None else []
        deadline = time.monotonic() + within
        while True:
            identity = dict(word.split("=", 1) for word in self.control(serial, *words, "identity"))
            if identity.get("online") != "0" or time.monotonic() >= deadline:
                return identity
            time.sleep(0.02)


def package_blocks(path, kind=birdfile.BLOCK_FIRMWARE):
    with open(path, "rb") as source:
        contents = birdfile.parse_bird(source.read())
    return [block for block in contents.blocks if block.type == kind]


def write_package(path, serial, build, version, model=HUB_MODEL_NAME, generic=False, firmware_size=2000,
                  seed=1, info=True):
    """A package whose firmware carries its identity record, so that the
    stand-in reboots into the build and version it names; with info=False
    one without an INFO block (the module keeps its build)."""
    import random
    rng = random.Random(seed)
    info_serial = "GENERIC" if generic else serial
    blocks = [birdfile.info_block(build, version, info_serial, model),
              birdfile.loader_block(0x20000000, rng.randbytes(300)),
              birdfile.firmware_block(0x00004000, rng.randbytes(firmware_size)),
              birdfile.firmware_block(0x00010000, rng.randbytes(600))]
    birdfile.embed_info(blocks, 0)
    if not info:
        blocks = blocks[1:]
    if generic:
        blocks.append(birdfile.serial_offsets_block(0x4100, 0x4200))
    with open(path, "wb") as out:
        out.write(birdfile.build_bird(blocks, level=1))
    return path

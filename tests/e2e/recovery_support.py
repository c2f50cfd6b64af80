"""Shared pieces of the i.MX recovery tests."""
import os

from sim import birdfile

LIVE_LOADER_SN = "DEADDEAD"


def store_live_loader(store, loader, entry=None):
    """Makes the device 0xDEADDEAD's latest download in the store hold the
    live loader: `loader` is a list of (address, image)."""
    blocks = [birdfile.info_block(5, "1.0.0", LIVE_LOADER_SN, "TVLoader")]
    blocks += [birdfile.loader_block(address, image) for address, image in loader]
    if entry is not None:
        blocks.append(birdfile.loader_start_block(entry))
    device = os.path.join(store, LIVE_LOADER_SN)
    os.makedirs(device)
    with open(os.path.join(device, "5.bird"), "wb") as out:
        out.write(birdfile.build_bird(blocks, level=1))
    with open(os.path.join(device, ".settings"), "w") as out:
        out.write("LATEST_DOWNLOAD=5.bird\n")

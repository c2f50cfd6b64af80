"""The system entity, the information command and echo of the stand-in,
over its TCP port."""
import os
import select
import tty
import unittest

from tests.unit.sim.wire import StandIn, StandInCase, be, block_set

GET, SET = 0x40, 0x80


def get(option, index=0):
    return [3, option | GET, index | 0x20]


class Identity(StandInCase):
    ARGS = ("--serial", "0x12AB34CD", "--model", "7", "--version", "2.11.4", "--build", "4321",
            "--name", "Bench hub")

    def test_sync_answers_the_module_address(self):
        self.link.send(0xAD)
        self.assertEqual(self.link.receive(timeout=1), (2, b""))

    def test_serial_model_module_and_router(self):
        self.assertEqual(self.ask(get(9)), bytes([3, 9, 0]) + be(0x12AB34CD, 4))
        self.assertEqual(self.ask(get(8)), bytes([3, 8, 0, 7]))
        self.assertEqual(self.ask(get(1)), bytes([3, 1, 0, 2]))
        self.assertEqual(self.ask(get(2)), bytes([3, 2, 0, 2]))
        self.assertEqual(self.ask(get(14)), bytes([3, 14, 0, 2]))

    def test_version_legacy_and_current_words(self):
        self.assertEqual(self.ask(get(7))[3:], be(0x2B000004, 4))
        self.ctl("set", "version", "2.15.7")
        self.assertEqual(self.ask(get(7))[3:], be(0x2F020F07, 4))
        self.ctl("set", "version", "3.0.1")
        self.assertEqual(self.ask(get(7))[3:], be(0x2F030001, 4))
        self.ctl("set", "version", "2.10.4/current")
        self.assertEqual(self.ask(get(7))[3:], be(0x2F020A04, 4))
        self.ctl("set", "version", "0x1A012345")
        self.assertEqual(self.ask(get(7))[3:], be(0x1A012345, 4))

    def test_build_by_option_and_by_information_command(self):
        self.assertEqual(self.ask(get(43))[3:], be(4321, 4))
        self.assertEqual(self.ask([0x49, 0xFF], prefix=[0x49, 0xFF]), bytes([0x49, 0xFF]) + be(4321, 4))

    def test_name_as_a_byte_block(self):
        self.assertEqual(self.ask(get(32)), bytes([3, 32, 0]) + b"Bench hub" + b"\x00")


class ChipIdentifier(StandInCase):
    ARGS = ("--config", '{"fingerprint": ["0x1111AAAA", "0x2222BBBB", 3, "0x4444DDDD"]}')

    def test_option_39_gives_one_word_per_subindex(self):
        words = [0x1111AAAA, 0x2222BBBB, 3, 0x4444DDDD]
        for subindex, word in enumerate(words):
            self.assertEqual(self.ask(get(39) + [subindex]), bytes([3, 39, 0]) + be(word, 4))
        # Without its subindex byte the get reads word 0.
        self.assertEqual(self.ask(get(39)), bytes([3, 39, 0]) + be(words[0], 4))

    def test_a_subindex_past_the_fourth_word_is_an_index_error(self):
        self.assertEqual(self.ask(get(39) + [4]), bytes([3, 39, 0x80, 26]))

    def test_control_sets_and_shows_the_words(self):
        self.ctl("set", "fingerprint", "1", "2", "0x30", "0xFFFFFFFF")
        self.assertEqual(self.ctl("option", "fingerprint"), ["0x00000001", "0x00000002", "0x00000030", "0xFFFFFFFF"])
        self.assertEqual(self.ask(get(39) + [3]), bytes([3, 39, 0]) + be(0xFFFFFFFF, 4))


class Options(StandInCase):
    def test_every_option_answers_with_its_width(self):
        widths = {1: 1, 2: 1, 3: 1, 4: 1, 6: 1, 7: 4, 8: 1, 9: 4, 12: 4, 13: 1, 14: 1, 15: 1, 16: 1, 21: 4,
                  22: 4, 23: 4, 25: 4, 26: 4, 27: 4, 28: 4, 29: 1, 30: 1, 33: 4, 34: 4, 35: 4, 38: 1, 40: 4,
                  39: 4, 41: 4, 42: 1, 43: 4, 45: 4}
        for option, width in widths.items():
            reply = self.ask(get(option))
            self.assertEqual(len(reply), 3 + width, "option %d" % option)
            self.assertEqual(reply[:3], bytes([3, option, 0]))

    def test_signed_readings_are_twos_complement(self):
        self.ctl("set", "temperature", "-5000000")
        value = int.from_bytes(self.ask(get(27))[3:], "big", signed=True)
        self.assertEqual(value, -5000000)

    def test_set_is_answered_with_c0_and_kept(self):
        self.assertEqual(self.ask([3, 3 | SET, 0x20, 25]), bytes([3, 0xC3, 0, 25]))
        self.assertEqual(self.ask(get(3)), bytes([3, 3, 0, 25]))
        self.assertEqual(self.ask([3, 34 | SET, 0x20]+list(be(77_000_000, 4))), bytes([3, 34 | 0xC0, 0]) + be(77_000_000, 4))
        self.assertEqual(self.ask(get(34))[3:], be(77_000_000, 4))

    def test_led_takes_any_non_zero_as_on(self):
        self.ask([3, 4 | SET, 0x20, 1])
        self.assertEqual(self.ask(get(4))[3], 1)

    def test_route_to_me_is_recorded(self):
        self.assertEqual(self.ask([3, 20 | SET, 0x20, 1]), bytes([3, 0xD4, 0, 1]))
        self.assertEqual(self.ctl("route_to_me"), ["1"])
        self.ask([3, 20 | SET, 0x20, 0])
        self.assertEqual(self.ctl("route_to_me"), ["0"])

    def test_calls_are_answered_without_value(self):
        for option in (10, 24, 36):
            self.assertEqual(self.ask([3, option | SET, 0x20]), bytes([3, option | 0xC0, 0]))
        self.assertEqual(self.ctl("calls"), ["save", "log_events", "reset_entity_to_factory_defaults"])

    def test_factory_defaults_restore_settings(self):
        self.ask([3, 3 | SET, 0x20, 99])
        self.ask([3, 36 | SET, 0x20])
        self.assertEqual(self.ask(get(3))[3], 10)

    def test_refusals_carry_error_codes(self):
        self.assertEqual(self.ask([3, 9 | SET, 0x20, 0, 0, 0, 1]), bytes([3, 9 | 0xC0, 0x80, 12]))   # read-only
        self.assertEqual(self.ask(get(5)), bytes([3, 5, 0x80, 29]))                                 # no option 5
        self.assertEqual(self.ask(get(9, index=1)), bytes([3, 9, 0x81, 26]))                        # one system entity
        self.assertEqual(self.ask([3, 3 | SET, 0x20]), bytes([3, 0xC3, 0x80, 27]))                  # value missing

    def test_protocol_features_bit_31_follows_the_pooled_switch(self):
        self.assertFalse(self.ask(get(45))[3] & 0x80)
        self.ctl("pooled", 1)
        self.assertTrue(self.ask(get(45))[3] & 0x80)

    def test_unknown_entity_is_an_error(self):
        self.assertEqual(self.ask([0x33, 0x41, 0x20]), bytes([0x33, 1, 0x80, 28]))


class ByteBlocks(StandInCase):
    def read_block(self, option=32):
        self.link.send(2, get(option))
        out, expected = b"", 0
        while True:
            packet = self.link.receive(lambda a, d: d[:3] == bytes([3, option, 0]), 2)
            self.assertIsNotNone(packet)
            data = packet[1]
            self.assertEqual(data[-1] & 0x7F, expected)
            out += data[3:-1]
            if not data[-1] & 0x80:
                return out
            expected = (expected + 1) % 128

    def write_block(self, payload, option=32):
        packets = block_set(3, option, payload)
        for data in packets[:-1]:
            self.link.send(2, data)
        return self.ask(packets[-1], prefix=[3, option | 0xC0])

    def test_name_round_trips_at_every_chunk_boundary(self):
        for length in (0, 1, 23, 24, 25, 48, 49, 100):
            name = bytes((n * 7 + length) & 0xFF for n in range(length))
            self.assertEqual(self.write_block(name), bytes([3, 32 | 0xC0, 0]))
            self.assertEqual(self.read_block(), name, "length %d" % length)

    def test_sequence_numbers_wrap_past_127(self):
        name = bytes(n & 0xFF for n in range(24 * 300 + 5))
        self.write_block(name)
        self.assertEqual(self.ctl("option", "name")[0], name.hex())
        self.assertEqual(self.read_block(), name)

    def test_a_lost_packet_spoils_the_block(self):
        packets = block_set(3, 32, bytes(60))
        self.link.send(2, packets[0])
        self.assertEqual(self.ask(packets[2], prefix=[3, 0xE0]), bytes([3, 0xE0, 0x80, 24]))
        self.assertEqual(self.read_block(), b"Tolvarine module")

    def test_power_behavior_config_is_words(self):
        words = be(5, 4) + be(6, 4)
        self.write_block(words, option=31)
        self.assertEqual(self.read_block(option=31), words)


class Information(StandInCase):
    def test_has_uei_reports_access(self):
        self.assertEqual(self.ask([0x49, 1, 3, 9, 0, 0x40]), bytes([0x49, 1, 3, 9, 0, 0]))
        self.assertEqual(self.ask([0x49, 1, 3, 9, 0, 0x80]), bytes([0x49, 1, 3, 9, 0, 12]))
        self.assertEqual(self.ask([0x49, 1, 3, 32, 0, 0x80]), bytes([0x49, 1, 3, 32, 0, 0]))
        self.assertEqual(self.ask([0x49, 1, 3, 5, 0, 0x40]), bytes([0x49, 1, 3, 5, 0, 29]))
        self.assertEqual(self.ask([0x49, 1, 0x33, 1, 0, 0x40]), bytes([0x49, 1, 0x33, 1, 0, 28]))

    def test_upgrade_byte_array_path_follows_its_switch(self):
        self.assertNotEqual(self.ask([0x49, 1, 0x5F, 10, 0, 0x80])[5], 0)
        self.ctl("uei_data", 1)
        self.assertEqual(self.ask([0x49, 1, 0x5F, 10, 0, 0x80])[5], 0)

    def test_entity_counts(self):
        self.assertEqual(self.ask([0x49, 4, 3]), bytes([0x49, 4, 3, 1]))
        self.assertEqual(self.ask([0x49, 4, 8]), bytes([0x49, 4, 8, 1]))
        self.assertEqual(self.ask([0x49, 4, 0x33]), bytes([0x49, 4, 0x33, 0]))
        self.assertEqual(self.ask([0x49, 5, 4, 0]), bytes([0x49, 5, 4, 0, 12]))
        self.assertEqual(self.ask([0x49, 6, 3, 0]), bytes([0x49, 6, 3, 0, 0]))


class Echo(StandInCase):
    def test_echo_returns_the_bytes(self):
        self.assertEqual(self.ask([23, 1, 2, 3]), bytes([23, 1, 2, 3]))


class OverThePty(unittest.TestCase):
    def test_serial_number_over_the_pseudo_terminal(self):
        standin = StandIn("--pty", "--serial", "0x0BADCAFE")
        self.addCleanup(standin.close)
        self.assertNotIn("tcp_port", standin.info)
        fd = os.open(standin.info["pty"], os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        tty.setraw(fd)
        os.write(fd, bytes([2, 3, 3, 0x49, 0x20]))
        reply = b""
        while len(reply) < 9 and select.select([fd], [], [], 1)[0]:
            reply += os.read(fd, 64)
        self.assertEqual(reply, bytes([2, 7, 3, 9, 0]) + be(0x0BADCAFE, 4))


if __name__ == "__main__":
    unittest.main()

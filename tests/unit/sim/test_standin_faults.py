"""Reply faults and link-level fault switches of the stand-in."""
import unittest

from tests.unit.sim.wire import StandInCase, be

SERIAL = [3, 0x49, 0x20]


class ReplyFaults(StandInCase):
    def test_error_reply_with_a_chosen_code_once(self):
        self.ctl("fault", "error", "3/9", 18)
        self.assertEqual(self.ask(SERIAL), bytes([3, 9, 0x80, 18]))
        self.assertEqual(self.ask(SERIAL)[3:], be(0x40F5849A, 4))

    def test_error_reply_to_a_set_keeps_the_set_option(self):
        self.ctl("fault", "error", "3/3", 5)
        self.assertEqual(self.ask([3, 0x83, 0x20, 9]), bytes([3, 0xC3, 0x80, 5]))
        self.assertEqual(self.ask([3, 0x43, 0x20])[3], 10, "the faulty set changed nothing")

    def test_error_forms_of_the_other_commands(self):
        self.ctl("fault", "error", 4, 31, "always")
        self.assertEqual(self.ask([4, 1, 0, 0]), bytes([4, 0x81, 0, 0, 31]))
        self.assertEqual(self.ask([4, 6, 3]), bytes([4, 0x86, 3, 31]))
        self.ctl("fault", "error", 0x5E, 31)
        self.assertEqual(self.ask([0x5E, 0x41]), bytes([0x5E, 0x81, 31]))
        self.ctl("fault", "error", 8, 6)
        self.assertEqual(self.ask([8, 0, 4, 1, 3, 0]), bytes([8, 0, 4, 0, 0x86]))
        self.ctl("fault", "error", "0x49/1", 29)
        self.assertEqual(self.ask([0x49, 1, 3, 9, 0, 0x40]), bytes([0x49, 1, 3, 9, 0, 29]))
        self.ctl("fault", "error", "0x5F/3", 1)
        self.assertEqual(self.ask([0x5F, 3, 0, 0, 0, 0, 0]), bytes([0x5F, 7, 1]))

    def test_wrong_reply_lengths(self):
        self.ctl("fault", "length", "3/9", 5, 2)
        self.assertEqual(self.ask(SERIAL), bytes([3, 9, 0, 0x40, 0xF5]))
        self.assertEqual(self.ask(SERIAL), bytes([3, 9, 0, 0x40, 0xF5]))
        self.assertEqual(len(self.ask(SERIAL)), 7)
        self.ctl("fault", "length", "0x49/0xFF", 8)
        self.assertEqual(self.ask([0x49, 0xFF]), bytes([0x49, 0xFF, 0, 0, 4, 0x4C, 0, 0]))

    def test_silence_until_cleared(self):
        self.ctl("fault", "silent", 3, "always")
        self.assertTrue(self.silent(SERIAL))
        self.assertTrue(self.silent([3, 0x48, 0x20]))
        self.assertEqual(self.ask([23, 1]), bytes([23, 1]), "other commands still answer")
        self.assertEqual(self.ctl("faults"), ["silent:3/*:0:-1"])
        self.ctl("fault", "clear")
        self.assertEqual(self.ask(SERIAL)[:3], bytes([3, 9, 0]))

    def test_fault_on_one_option_leaves_the_others(self):
        self.ctl("fault", "silent", "3/9")
        self.assertEqual(self.ask([3, 0x48, 0x20]), bytes([3, 8, 0, 0x11]))
        self.assertTrue(self.silent(SERIAL))


class LinkFaults(StandInCase):
    def test_refused_sync(self):
        self.ctl("refuse_sync", 1)
        self.link.send(0xAD)
        self.assertIsNone(self.link.receive(timeout=0.3))
        self.assertEqual(self.ctl("syncs"), ["1"])

    def test_corrupt_and_drop(self):
        self.ctl("corrupt", 1)
        self.link.send(2, [23, 5])
        self.assertEqual(self.link.receive(timeout=1)[0], 0xFD)
        self.link.queue.clear()
        self.link.buffer.clear()
        self.ctl("drop", 5)  # the whole first reply
        self.link.send(2, [23, 1, 2])
        self.link.send(2, [23, 7])
        self.assertEqual(self.link.receive(timeout=1), (2, bytes([23, 7])))

    def test_reset_drops_the_link_and_comes_back(self):
        self.ctl("down_ms", 100)
        self.assertEqual(self.ask([3, 0x8B, 0x20]), bytes([3, 0xCB, 0]))
        self.assertTrue(self.link.closed())
        link = self.standin.link(attempts=100)
        self.assertEqual(link.ask(2, [3, 0x48, 0x20], [3, 8]), bytes([3, 8, 0, 0x11]))
        self.assertEqual(self.ctl("events"), ["reset@2", "back@2"])

    def test_recorded_packets(self):
        self.ask([23, 9])
        self.assertIn("02021709", self.ctl("packets"))
        self.ctl("clear")
        self.assertEqual(self.ctl("packets"), [])


if __name__ == "__main__":
    unittest.main()

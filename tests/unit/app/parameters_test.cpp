#include <gtest/gtest.h>

#include "app/Parameters.h"

namespace {

TEST(ArgumentReaders, HexRules) {
  char* end = nullptr;
  EXPECT_EQ(_get_hex_arg("40F5849A", &end), 0x40F5849Au);
  EXPECT_EQ(_get_hex_arg("abcdef", &end), 0xABCDEFu);
  EXPECT_EQ(_get_hex_arg("40F5849A", nullptr), 0u);
  EXPECT_EQ(_get_hex_arg("12G4", &end), 0u);
  EXPECT_EQ(_get_hex_arg("0x12", &end), 0u);  // the prefix is the caller's business
  EXPECT_EQ(_get_hex_arg("FFFFFFFF", &end), 0xFFFFFFFFu);
  EXPECT_EQ(_get_hex_arg("100000000", &end), 0u);  // does not fit: no wrap to another device
}

TEST(ArgumentReaders, DecimalRules) {
  char* end = nullptr;
  EXPECT_EQ(_get_int_arg("115200", &end), 115200u);
  EXPECT_EQ(_get_int_arg("12x", &end), 0u);
  EXPECT_EQ(_get_int_arg("-5", &end), 0u);
  EXPECT_EQ(_get_int_arg("4294967295", &end), 4294967295u);
  EXPECT_EQ(_get_int_arg("4294967296", &end), 0u);
}

int parse(std::vector<std::string> words, Parameters* params) {
  words.insert(words.begin(), "/usr/local/bin/Updater");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  CLI_Display display;
  display.mute_messages(true);
  return _get_params(display, static_cast<int>(argv.size()), argv.data(), params);
}

TEST(ParseParameters, DefaultsBeforeParsing) {
  Parameters p;
  ASSERT_EQ(parse({}, &p), 0);
  EXPECT_EQ(p.app_name, "Updater");
  EXPECT_EQ(p.transport, 1u);
  EXPECT_FALSE(p.transport_given);
  EXPECT_EQ(p.baud_rate, 115200u);
  EXPECT_TRUE(p.uei_bytes_load);
  EXPECT_EQ(p.log_file, "Updater.log");
  EXPECT_EQ(p.server_url.substr(p.server_url.size() - 6), "/cgi/u");
  EXPECT_FALSE(p.commands.IsSet(ANY_COMMAND_MASK));
}

TEST(ParseParameters, ValuesLandInTheirFields) {
  Parameters p;
  ASSERT_EQ(parse({"-U", "-d", "0X1234", "-r", "D272031D", "-t", "TCPIP", "-o", "9600", "-m", "false", "-b",
                   "42", "-f", "a.bird", "-s", "/dev/ttyX", "-OVERRIDE", "-e", "-n", "-Z", "ignored"},
                  &p),
            0);
  EXPECT_TRUE(p.commands.IsSet(CMD_UPDATE));
  EXPECT_TRUE(p.commands.IsSet(CMD_Z));
  EXPECT_EQ(p.serial_number, 0x1234u);
  EXPECT_EQ(p.router_serial, 0xD272031Du);
  EXPECT_EQ(p.transport, 2u);
  EXPECT_TRUE(p.transport_given);
  EXPECT_EQ(p.baud_rate, 9600u);
  EXPECT_FALSE(p.uei_bytes_load);
  EXPECT_EQ(p.build, "42");
  EXPECT_EQ(p.bird_file, "a.bird");
  EXPECT_EQ(p.serial_port, "/dev/ttyX");
  EXPECT_TRUE(p.override);
  EXPECT_TRUE(p.echo);
  EXPECT_TRUE(p.flag_n);
}

TEST(ParseParameters, UeiBytesSwitchAcceptsOneOrTrue) {
  for (const char* text : {"1", "true", "1x", "trueish"}) {
    Parameters p;
    parse({"-m", text}, &p);
    EXPECT_TRUE(p.uei_bytes_load) << text;
  }
  Parameters p;
  parse({"-m", "yes"}, &p);
  EXPECT_FALSE(p.uei_bytes_load);
}

TEST(ParseParameters, RecoverTransportAndHelpStopsReading) {
  Parameters p;
  ASSERT_EQ(parse({"-t", "RECOVER", "-h", "-Y"}, &p), 0);
  EXPECT_EQ(p.transport, RECOVER_TRANSPORT);
  EXPECT_TRUE(p.help);
  EXPECT_TRUE(p.commands.IsSet(CMD_HELP));
}

TEST(ParseParameters, InvalidTransportResetsItAndFails) {
  Parameters p;
  EXPECT_EQ(parse({"-t", "serial"}, &p), 1);
  EXPECT_EQ(p.transport, 0u);
}

}  // namespace

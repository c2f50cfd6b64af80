// The parsed command line.
#pragma once

#include <stdint.h>

#include <string>

#include "app/CLI_Display.h"
#include "app/Commands.h"
#include "link/core/linkSpec.h"

// -t RECOVER: the firmware is recovered through the chip's boot loader.
constexpr uint32_t RECOVER_TRANSPORT = 255;

struct Parameters {
  CommandsClass commands;
  uint32_t serial_number = 0;
  uint32_t router_serial = 0;
  uint32_t transport = 1;  // a linkType value, or RECOVER_TRANSPORT
  bool transport_given = false;
  std::string serial_port;
  uint32_t baud_rate = 115200;
  uint8_t module_address = 0;
  std::string bird_file;
  std::string history_message;
  std::string build;  // decimal build number
  bool echo = false;
  std::string server_url;
  bool flag_n = false;
  std::string app_directory;
  std::string app_name;
  std::string home_directory;
  std::string log_file = "Updater.log";
  bool override = false;
  bool uei_bytes_load = true;
  uint32_t debug_mask = 0;
  bool debug_mask_given = false;
  bool help = false;
  bool json = false;  // --json: one JSON document on standard output
};

// 0 when the command line is acceptable, 1 after printing why it is not.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params);
int _validate_params(Parameters* params);
int _release_params(Parameters* params);

// Hexadecimal / decimal argument readers: 0 when `end` is null or the text holds
// a character outside their digits, or when the value does not fit 32 bits.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

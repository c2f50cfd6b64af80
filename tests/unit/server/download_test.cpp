// Download_Firmware with its worker thread, against a scripted server.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <map>

#include "LoopbackServer.h"
#include "server/Base64.h"
#include "updater/Updater.h"

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool on, const char* label) override { spins.emplace_back(on, label ? label : ""); }
  void info_message(const char* text) override { lines.push_back(text); }
  void error_message(const char* text) override { lines.push_back(std::string("E: ") + text); }
  std::vector<std::pair<bool, std::string>> spins;
  std::vector<std::string> lines;
};

std::string opOf(const std::string& target) {
  size_t at = target.find("op=");
  return target.substr(at + 3, target.find('&', at) - at - 3);
}

std::string base64(const std::string& bytes) {
  size_t length = 0;
  char* text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length);
  std::string out(text, length);
  free(text);
  return out;
}

class Download : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/download-test-XXXXXX";
    directory = mkdtemp(pattern);
  }
  void TearDown() override { std::system(("rm -rf " + directory).c_str()); }

  std::string read(const std::string& path) {
    std::ifstream in(directory + "/" + path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string directory;
};

const std::string kPackage = std::string("bird\x01\x01", 6) + std::string(3000, '\x5A');

ScriptedReply answer(const std::string& target, int bird_delay_ms) {
  std::map<std::string, std::string> bodies{{"hi", "ok\n"},
                                            {"qu", "ok\n42\n1.0.0\n"},
                                            {"builds", "ok\n41;0.9.0\n42;1.0.0\n"},
                                            {"fix", "ok\n000012AB\n0\n"},
                                            {"bird", "ok\n" + base64(kPackage) + "\n"}};
  ScriptedReply reply{200, {bodies[opOf(target)]}};
  if (opOf(target) == "bird") reply.delay_ms = bird_delay_ms;
  return reply;
}

}  // namespace

TEST_F(Download, SpinnerTurnsWhileTheWorkerWaits) {
  LoopbackServer server([](const std::string& t) { return answer(t, 450); });
  RecordingDisplay display;
  Updater updater(server.url().c_str(), directory.c_str(), display);
  EXPECT_EQ(updater.Download_Firmware(0x12AB, "", false, false), 42u);
  ASSERT_GE(display.spins.size(), 5u);  // one frame, then one per 100 ms
  for (size_t i = 0; i + 1 < display.spins.size(); ++i) EXPECT_TRUE(display.spins[i].first);
  EXPECT_EQ(display.spins.back(), std::make_pair(false, std::string("Downloading")));
  EXPECT_EQ(read("000012AB/42.bird"), kPackage);
  EXPECT_EQ(display.lines, (std::vector<std::string>{"Retrieving build 42", "Validating build 42 with server",
                                                     "Build 42 is valid"}));
}

TEST_F(Download, ByFingerprintAsksForRecoveryInfoFirst) {
  LoopbackServer server([](const std::string& t) { return answer(t, 0); });
  RecordingDisplay display;
  Updater updater(server.url().c_str(), directory.c_str(), display);
  Fingerprint fingerprint;
  fingerprint.words[0] = 1;
  EXPECT_EQ(updater.Download_Firmware(fingerprint, "41", false), 41u);
  std::vector<std::string> ops;
  for (const std::string& t : server.targets()) ops.push_back(opOf(t));
  EXPECT_EQ(ops, (std::vector<std::string>{"fix", "hi", "qu", "builds", "bird"}));
  EXPECT_EQ(read("000012AB/41.bird"), kPackage);
}

TEST_F(Download, BuildTextThatIsNotANumberMakesNoRequest) {
  LoopbackServer server([](const std::string& t) { return answer(t, 0); });
  RecordingDisplay display;
  Updater updater(server.url().c_str(), directory.c_str(), display);
  EXPECT_EQ(updater.Download_Firmware(0x12AB, "abc", false, false), 0u);
  EXPECT_EQ(updater.Download_Firmware(0x12AB, "99999999999", false, false), 0u);
  EXPECT_EQ(updater.Download_Firmware(0, "", false, false), 0u);
  EXPECT_EQ(display.lines, (std::vector<std::string>{"E: Build number 'abc' must be an number",
                                                     "E: Build number '99999999999' must be an number",
                                                     "E: Serial Number must be non-zero"}));
  EXPECT_TRUE(server.targets().empty());
}

// The transport and the queries against a scripted loopback server.
#include <gtest/gtest.h>

#include <stdexcept>

#include "LoopbackServer.h"
#include "server/HTTPRequest.h"
#include "server/UpdateServerRequest.h"

namespace {

ScriptedReply text(const std::string& body, int status = 200) { return ScriptedReply{status, {body}}; }

LoopbackServer::Handler always(ScriptedReply reply) {
  return [reply](const std::string&) { return reply; };
}

}  // namespace

TEST(HTTPRequest, BodyInSeveralChunksIsTheirConcatenation) {
  std::string binary("ok\n\0\x01\xff", 6);
  LoopbackServer server(always(ScriptedReply{200, {binary, "second ", std::string(70000, 'x')}, 0, 20}));
  HTTPResponse response = HTTPRequest::GET(server.url(), {{"op", "hi"}, {"rv", "2"}});
  EXPECT_EQ(response.get_status(), 200);
  EXPECT_EQ(response.size(), 6u + 7u + 70000u);
  EXPECT_STREQ(response.get_request(), (server.url() + "?op=hi&rv=2&").c_str());
  EXPECT_EQ(server.targets(), (std::vector<std::string>{"/cgi/u?op=hi&rv=2&"}));
}

TEST(HTTPRequest, ErrorStatusIsReturnedNotThrown) {
  LoopbackServer server(always(text("gone\n", 404)));
  HTTPResponse response = HTTPRequest::GET(server.url(), {});
  EXPECT_EQ(response.get_status(), 404);
  EXPECT_STREQ(response.get_response(), "gone\n");
  EXPECT_EQ(server.targets(), (std::vector<std::string>{"/cgi/u"}));
}

TEST(HTTPRequest, TransportFailureThrowsLibcurlText) {
  std::string url;
  { LoopbackServer gone(always(text("ok\n"))); url = gone.url(); }
  try {
    HTTPRequest::GET(url, {});
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Couldn't connect to server");
  }
}

TEST(Queries, PingTestsOnlyTheFirstTwoCharacters) {
  LoopbackServer okay(always(text("okay\n")));
  EXPECT_TRUE(UpdateServerRequest::ping(okay.url().c_str()));
  LoopbackServer refused(always(text("no\nok\n")));
  EXPECT_FALSE(UpdateServerRequest::ping(refused.url().c_str()));
  LoopbackServer failing(always(text("ok\n", 500)));
  EXPECT_FALSE(UpdateServerRequest::ping(failing.url().c_str()));
  LoopbackServer empty(always(text("")));
  EXPECT_FALSE(UpdateServerRequest::ping(empty.url().c_str()));
}

TEST(Queries, QueryBuildKeepsBuildLineCutsVersion) {
  LoopbackServer server(always(text("ok\n5678\n1.2.3\r\n")));
  std::string build, version;
  ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x12AB, build, version, server.url().c_str()));
  EXPECT_EQ(build, "5678");
  EXPECT_EQ(version, "1.2.3");
  EXPECT_EQ(server.targets(), (std::vector<std::string>{"/cgi/u?op=qu&sn=000012AB&"}));

  LoopbackServer crlf(always(text("ok\r\n5678\r\n")));
  build = "x", version = "y";
  ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x12AB, build, version, crlf.url().c_str()));
  EXPECT_EQ(build, "5678\r");  // a "\r" stays on lines not said to be cut
  EXPECT_EQ(version, "y");     // no line 3: untouched
}

TEST(Queries, GetBuildRequestAndPayload) {
  LoopbackServer server(always(text("ok\nUEFZTE9BRA==\n")));
  std::string payload = "old";
  ASSERT_TRUE(UpdateServerRequest::GetBuild(0x12AB, "1.2.3", "5678", payload, server.url().c_str(), true));
  EXPECT_EQ(payload, "UEFZTE9BRA==");
  EXPECT_EQ(server.targets(),
            (std::vector<std::string>{"/cgi/u?bld=5678&fw=1.2.3&no_cal=true&op=bird&sn=000012AB&"}));

  LoopbackServer none(always(text("ok\n")));
  ASSERT_TRUE(UpdateServerRequest::GetBuild(1, "", "1", payload, none.url().c_str(), false));
  EXPECT_EQ(payload, "");  // cleared on success even without a line 2

  LoopbackServer refused(always(text("error\nUEFZ\n")));
  payload = "kept";
  EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "", "1", payload, refused.url().c_str(), false));
  EXPECT_EQ(payload, "kept");
}

TEST(Queries, BuildListClearedEvenWhenTheRequestFails) {
  LoopbackServer refused(always(text("error\n100;1.0.0\n")));
  BuildList builds{{"1", "x"}};
  EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x12AB, builds, refused.url().c_str()));
  EXPECT_TRUE(builds.empty());
  EXPECT_EQ(refused.targets(), (std::vector<std::string>{"/cgi/u?op=builds&sn=000012AB&"}));
}

TEST(Queries, RecoveryInfoParsesHexSerialAndAutomaticBase) {
  LoopbackServer server(always(text("ok\n0012AB34\n0x20\n")));
  uint32_t fingerprint[4] = {1, 0xA, 0xDEADBEEF, 0xFFFFFFFF};
  unsigned serial = 0, build = 0;
  ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, build, server.url().c_str()));
  EXPECT_EQ(serial, 0x0012AB34u);
  EXPECT_EQ(build, 32u);
  EXPECT_EQ(server.targets(),
            (std::vector<std::string>{"/cgi/u?brief=true&fp=00000001%200000000A%20DEADBEEF%20FFFFFFFF&op=fix&"}));

  LoopbackServer octal(always(text("ok\nFF\n010\n")));
  ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, build, octal.url().c_str()));
  EXPECT_EQ(serial, 0xFFu);
  EXPECT_EQ(build, 8u);
}

TEST(Queries, DeviceTokenNeedsALongEnoughSecondLine) {
  LoopbackServer server(always(text("ok\naa.bb.cc\r\n")));
  std::string token;
  ASSERT_TRUE(UpdateServerRequest::GetDeviceJWT(0x12AB, token, server.url().c_str()));
  EXPECT_EQ(token, "aa.bb.cc");
  EXPECT_EQ(server.targets(), (std::vector<std::string>{"/cgi/u?json=false&op=ent_jwt&sn=000012AB&"}));

  LoopbackServer shortLine(always(text("ok\nab\n")));
  token = "kept";
  EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(1, token, shortLine.url().c_str()));
  EXPECT_EQ(token, "kept");
}

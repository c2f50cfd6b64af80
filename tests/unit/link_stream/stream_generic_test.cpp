#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "link/core/aStream.h"

namespace {

// A scripted byte source: bytes to hand out, and how it answers once they
// run out (not ready, or end of file). Records what was put and written.
struct Script {
  std::deque<uint8_t> bytes;
  aErr whenEmpty = aErrNotReady;
  std::vector<uint8_t> put;
  std::vector<size_t> writes;
  int deletes = 0;
};

aErr scriptGet(uint8_t* byte, void* ref) {
  Script* s = static_cast<Script*>(ref);
  if (s->bytes.empty()) return s->whenEmpty;
  *byte = s->bytes.front();
  s->bytes.pop_front();
  return aErrNone;
}
aErr scriptPut(uint8_t byte, void* ref) {
  static_cast<Script*>(ref)->put.push_back(byte);
  return aErrNone;
}
aErr scriptWrite(const uint8_t* data, size_t length, void* ref) {
  Script* s = static_cast<Script*>(ref);
  s->writes.push_back(length);
  s->put.insert(s->put.end(), data, data + length);
  return aErrNone;
}
aErr scriptDelete(void* ref) {
  ++static_cast<Script*>(ref)->deletes;
  return aErrNone;
}

struct Scripted {
  Script script;
  aStream* stream = aStream_Create(scriptGet, scriptPut, scriptWrite, scriptDelete, &script);
  ~Scripted() {
    if (stream) aStream_Destroy(&stream);
  }
  void feed(const std::string& text) { script.bytes.insert(script.bytes.end(), text.begin(), text.end()); }
};

std::string tempFile(const std::string& name, const std::string& contents) {
  std::string path = std::string(::testing::TempDir()) + "/" + name + std::to_string(getpid());
  std::ofstream(path, std::ios::binary) << contents;
  return path;
}

TEST(StreamRead, PartialRunIsPushedBackAndDeliveredLaterInOrder) {
  Scripted s;
  s.feed("ab");
  uint8_t buffer[4] = {0};
  EXPECT_EQ(aStream_Read(s.stream, buffer, 4), aErrNotReady);
  EXPECT_EQ(buffer[0], 0);  // nothing delivered
  s.feed("cd");
  ASSERT_EQ(aStream_Read(s.stream, buffer, 4), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "abcd");
}

TEST(StreamRead, RepeatedShortReadsNeverLoseOrReorderBytes) {
  Scripted s;
  std::string got;
  const std::string all = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (char c : all) {
    s.feed(std::string(1, c));
    uint8_t buffer[5];
    if (aStream_Read(s.stream, buffer, 5) == aErrNone) got.append(reinterpret_cast<char*>(buffer), 5);
  }
  uint8_t last;
  while (aStream_Read(s.stream, &last, 1) == aErrNone) got += static_cast<char>(last);
  EXPECT_EQ(got, all);
}

TEST(StreamRead, PushBackRingGrowsPastItsFirstSize) {
  Scripted s;
  std::string big(1500, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  s.feed(big);
  std::vector<uint8_t> buffer(2000);
  EXPECT_EQ(aStream_Read(s.stream, buffer.data(), buffer.size()), aErrNotReady);
  s.feed(std::string(500, '!'));
  ASSERT_EQ(aStream_Read(s.stream, buffer.data(), buffer.size()), aErrNone);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 1500), big);
  EXPECT_EQ(buffer[1999], '!');
}

TEST(StreamRead, EndOfFileDeliversWhatWasThere) {
  std::string path = tempFile("eof", "xyz");
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &stream), aErrNone);
  uint8_t buffer[8] = {0};
  EXPECT_EQ(aStream_Read(stream, buffer, 8), aErrEOF);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "xyz");
  EXPECT_EQ(aStream_Read(stream, buffer, 1), aErrEOF);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  unlink(path.c_str());
}

TEST(StreamRead, ModeAndParameterChecks) {
  aStream* writeOnly = aStream_Create(nullptr, scriptPut, nullptr, nullptr, nullptr);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(writeOnly, &byte, 1), aErrMode);
  EXPECT_EQ(aStream_Read(writeOnly, nullptr, 1), aErrParam);
  aStream* readOnly = aStream_Create(scriptGet, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(aStream_Write(readOnly, &byte, 1), aErrMode);
  EXPECT_EQ(aStream_Flush(readOnly, readOnly), aErrMode);
  aStream_Destroy(&writeOnly);
  aStream_Destroy(&readOnly);
  EXPECT_EQ(aStream_Destroy(&readOnly), aErrParam);
}

TEST(StreamWrite, OneByteGoesThroughPutAndRunsThroughWrite) {
  Scripted s;
  uint8_t one = 7;
  ASSERT_EQ(aStream_Write(s.stream, &one, 1), aErrNone);
  EXPECT_TRUE(s.script.writes.empty());
  const uint8_t run[3] = {1, 2, 3};
  ASSERT_EQ(aStream_Write(s.stream, run, 3), aErrNone);
  ASSERT_EQ(s.script.writes.size(), 1u);
  EXPECT_EQ(s.script.writes[0], 3u);
  EXPECT_EQ(s.script.put, (std::vector<uint8_t>{7, 1, 2, 3}));
}

TEST(StreamRecord, CStringWithinItsSize) {
  Scripted s;
  s.feed(std::string("abc\0rest", 8));
  char buffer[8];
  ASSERT_EQ(aStream_ReadCString(s.stream, buffer, 8), aErrNone);
  EXPECT_STREQ(buffer, "abc");
}

TEST(StreamRecord, CStringStopsAtSizeMinusOne) {
  Scripted s;
  s.feed("abcdef");
  char buffer[3];
  ASSERT_EQ(aStream_ReadCString(s.stream, buffer, 3), aErrNone);
  EXPECT_STREQ(buffer, "ab");
  ASSERT_EQ(aStream_ReadCString(s.stream, buffer, 3), aErrNone);
  EXPECT_STREQ(buffer, "cd");  // the rest stays in the stream
}

TEST(StreamRecord, IncompleteRecordIsPushedBack) {
  Scripted s;
  s.feed("hel");
  uint8_t buffer[16];
  size_t length = 99;
  const uint8_t nl = '\n';
  EXPECT_EQ(aStream_ReadRecord(s.stream, buffer, &length, sizeof buffer, &nl, 1), aErrNotReady);
  s.feed("lo\nnext");
  ASSERT_EQ(aStream_ReadRecord(s.stream, buffer, &length, sizeof buffer, &nl, 1), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "hello");
}

TEST(StreamRecord, EndOfFileEndsARecordOrReportsEof) {
  Scripted s;
  s.script.whenEmpty = aErrEOF;
  s.feed("tail");
  uint8_t buffer[16];
  size_t length = 0;
  const uint8_t nl = '\n';
  ASSERT_EQ(aStream_ReadRecord(s.stream, buffer, &length, sizeof buffer, &nl, 1), aErrNone);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(aStream_ReadRecord(s.stream, buffer, &length, sizeof buffer, &nl, 1), aErrEOF);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(aStream_ReadRecord(s.stream, buffer, &length, sizeof buffer, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(s.stream, buffer, &length, sizeof buffer, &nl, 0), aErrParam);
}

TEST(StreamRecord, CStringRecordRoundTripThroughFiles) {
  std::string path = std::string(::testing::TempDir()) + "/rec" + std::to_string(getpid());
  aStream* out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  ASSERT_EQ(aStream_WriteCStringRecord(out, "first", "\r"), aErrNone);
  ASSERT_EQ(aStream_WriteCString(out, "second"), aErrNone);
  aStream_Destroy(&out);
  aStream* in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  char buffer[32];
  ASSERT_EQ(aStream_ReadCStringRecord(in, buffer, sizeof buffer, "\r"), aErrNone);
  EXPECT_STREQ(buffer, "first");
  // The terminator was written with its NUL: that NUL ends an empty record.
  ASSERT_EQ(aStream_ReadCString(in, buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, "");
  ASSERT_EQ(aStream_ReadCString(in, buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, "second");
  EXPECT_EQ(aStream_ReadCString(in, buffer, sizeof buffer), aErrEOF);
  aStream_Destroy(&in);
  unlink(path.c_str());
}

TEST(StreamFlush, CopiesUntilEndOfFile) {
  std::string path = tempFile("flush", "payload");
  aStream* in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  Scripted sink;
  EXPECT_EQ(aStream_Flush(in, sink.stream), aErrNone);
  EXPECT_EQ(std::string(sink.script.put.begin(), sink.script.put.end()), "payload");
  aStream_Destroy(&in);
  Scripted notReady;
  notReady.feed("xy");
  EXPECT_EQ(aStream_Flush(notReady.stream, sink.stream), aErrNotReady);
  unlink(path.c_str());
}

TEST(StreamFile, ConstructorsRefuseWhatCannotBeOpened) {
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateFileInput("/nonexistent/dir/file", &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput("/nonexistent/dir/file", &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
}

TEST(StreamDestroy, CallsDeleteOnceAndClearsPointer) {
  Script script;
  aStream* stream = aStream_Create(scriptGet, nullptr, nullptr, scriptDelete, &script);
  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(script.deletes, 1);
}

}  // namespace

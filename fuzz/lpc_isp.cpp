// LPC ISP replies. The chip is a scripted stream: after each write of the
// client it answers with the next piece of the input (pieces cut at zero
// bytes), echoing the write first when the first input byte says so. The
// client runs its commands from one chosen by that byte onward, and every
// piece also goes straight through uudecode. Properties: uudecode reports no
// more bytes than the line holds, and decodes what uuencode wrote.
#include <string.h>

#include <algorithm>
#include <memory>

#include "FuzzSupport.h"
#include "tests/unit/recovery/ScriptedStream.h"
#include "recovery/NXPSerialClass.h"

namespace {

constexpr int kLineBytes = NXPSerialClass::MAX_BYTES_PER_LINE;

void checkUudecode(const std::string& piece) {
  // Exactly the line and its terminator, so a read past it is seen.
  std::unique_ptr<char[]> line(new char[piece.size() + 1]);
  memcpy(line.get(), piece.c_str(), piece.size() + 1);
  uint8_t buffer[64];
  const int decoded = NXPSerialClass::uudecode(buffer, sizeof buffer, line.get());
  const size_t text = strlen(line.get());
  const int room = text > 0 ? static_cast<int>((text - 1) / 4 * 3) : 0;
  FUZZ_CHECK(decoded >= 0 && decoded <= room);

  const int n = static_cast<int>(std::min<size_t>(piece.size(), kLineBytes));
  char encoded[2 + kLineBytes / 3 * 4 + 4];
  NXPSerialClass::uuencode(encoded, reinterpret_cast<const uint8_t*>(piece.data()), n);
  uint8_t back[kLineBytes];
  FUZZ_CHECK(NXPSerialClass::uudecode(back, sizeof back, encoded) == n);
  FUZZ_CHECK(memcmp(back, piece.data(), static_cast<size_t>(n)) == 0);
  NXPSerialClass::GetErrorText(line.get());
}

void runFrom(NXPSerialClass& chip, int first, int readCount) {
  static const uint8_t kImage[64] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(readCount)]);
  int major = 0, minor = 0;
  int64_t part = 0;
  for (int step = first; step < 11; ++step) {
    switch (step) {
      case 0: chip.Sync(); break;
      case 1: chip.GetBootLoaderVersion(major, minor); break;
      case 2: chip.GetPartNumber(part); break;
      case 3: chip.GetDeviceID(); break;
      case 4: chip.Unlock(); break;
      case 5: chip.Prepare(0, 1); break;
      case 6: chip.Erase(0, 1); break;
      case 7: chip.Read(0, readCount, buffer.get()); break;
      case 8: chip.Write(NXPSerialClass::WRITE_ADDRESS, sizeof kImage, kImage); break;
      case 9: chip.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256); break;
      case 10: chip.ExecuteFrom(0); break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietVerbose();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 16 * 1024) return 0;
  const uint8_t flags = data[0];
  const int readCount = 4 * (1 + data[1] % 96);
  std::vector<std::string> pieces = fuzz::split(data + 2, size - 2, '\0');
  for (const std::string& piece : pieces) checkUudecode(piece);

  ScriptedStream script;
  script.echo = (flags & 1) != 0;
  size_t next = 0;
  script.onWrite = [&](ScriptedStream& s, const std::string&) {
    if (next < pieces.size()) s.push(pieces[next++]);
  };
  NXPSerialClass chip;
  chip.Attach(script.open(), 115200);
  runFrom(chip, (flags >> 1) % 11, readCount);
  return 0;
}

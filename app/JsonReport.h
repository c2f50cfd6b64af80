// The one JSON document that --json prints on standard output: what every
// command of the run found or did, for scripts. Texts that come from outside
// (device names, messages, tokens) may hold any byte; the document is valid
// JSON whatever they hold.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/BuildList.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

class JsonReport {
 public:
  JsonReport();
  ~JsonReport();
  JsonReport(const JsonReport&) = delete;
  JsonReport& operator=(const JsonReport&) = delete;

  void SetDevice(unsigned serial);
  void SetBuild(unsigned build);
  void SetFile(const std::string& path);
  void SetSeconds(double seconds);
  void SetVerification(bool verified, unsigned running_build);
  void SetFingerprint(const Fingerprint& fingerprint);
  void SetToken(const std::string& token);
  void SetUsage(const std::string& usage);
  void SetDevices(const std::vector<DeviceInfo>& devices);
  // In the order the console lists them; with files (the local list), each
  // build's package file too.
  void SetBuilds(const BuildList& builds, const std::map<std::string, std::string>* files);

  // The whole document, one line ending with a line feed. Bytes that are not
  // UTF-8 become U+FFFD; control bytes are escaped.
  std::string Render(bool ok, const std::vector<std::string>& errors) const;

 private:
  struct Fields;
  std::unique_ptr<Fields> fields;
};

// The label scripts see for a record's transport.
const char* _transport_name(linkType type);

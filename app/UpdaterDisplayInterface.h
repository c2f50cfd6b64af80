// The sink of every user-facing message, progress bar and busy spinner. The
// core and the recovery loaders report only through it.
#pragma once

class UpdaterDisplayInterface {
 public:
  enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

  virtual ~UpdaterDisplayInterface() = default;

  virtual void display_progress(bool show) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool on, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Formats into a 2048-byte buffer (longer text is cut to 2047 characters).
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void mute_messages(bool mute) { muted = mute; }
  bool is_muted() const { return muted; }

 private:
  bool muted = false;
};

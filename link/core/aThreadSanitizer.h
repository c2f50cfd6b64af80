// Under ThreadSanitizer, libraries built without instrumentation hand their
// objects between threads in ways the sanitizer cannot see, which shows up as
// races inside those libraries. The code that uses them calls this hook so
// that the one suppression list of the program is linked in.
#pragma once

void aThreadSanitizer_Hook(void);

// Under ThreadSanitizer, libzmq's lock-free hand-over of its objects between
// its I/O threads and ours (built without instrumentation) shows up as races
// inside libzmq. The server and the client stream call this so that the
// suppression of those reports is linked into every program that uses them.
#pragma once

void aZmq_SanitizerHook(void);

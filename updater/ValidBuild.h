#pragma once

// The server's build list for the device holds this build.
bool _valid_build(unsigned serial, unsigned build, const char* server_url);

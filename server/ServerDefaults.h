#pragma once

// The default update server. The host is under ".example" so that nothing real
// is ever contacted by accident: users name their server with -u.
#define UPDATE_SERVER_DEFAULT_HOST "updates.tolvarine.example"
#define UPDATE_SERVER_DEFAULT_PORT 80
#define UPDATE_SERVER_PATH "/cgi/u"
#define UPDATE_SERVER_DEFAULT_URL "http://" UPDATE_SERVER_DEFAULT_HOST UPDATE_SERVER_PATH

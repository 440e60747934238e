// The server's fan, performance and autotuner requests applied to the shared record of an open
// change transaction, the reset of per-chain settings, and the small file writer of the web
// password command. Main thread only.
#pragma once

#include "handles.h"

#include <jansson.h>

#include <string>

// 1 changed, 0 unchanged, -1 refused (logged). The request is required.
int config_fans(json_t* request);
int config_perf(json_t* request);
int config_autotuner(json_t* request);

// Every chain and chip follows the global values again; the server is told so with an
// "update_config" notice holding the default chain list.
void disable_per_chain_settings();
json_ptr default_chain_settings();

// Replaces the file's content with `data` (no line end added) so that a power cut leaves the
// old or the new content. With `must_exist` a missing file is left missing. 0, or -1 (logged;
// the old file stays).
int save_file(const std::string& path, const char* data, bool must_exist);

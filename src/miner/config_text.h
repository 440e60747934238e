// The exact bytes the daemon's configuration file holds for a JSON object. The firmware's own
// tools write the file with the JSON library (indentation 2) and then edit it in place with
// two `sed` runs: 's/": "/" : "/g' and 's/^[ \t]*//'. The daemon and the web interface expect
// that text, so the agent produces the same bytes in memory and replaces the file in one step
// instead of editing the live file.
#pragma once

#include <jansson.h>

#include <string>
#include <string_view>

// The text of `root`; false when the library cannot serialise it.
bool config_text(const json_t* root, std::string* text);

// The two edits on text as the library wrote it: every `": "` becomes `" : "`, and blanks and
// tabs at the start of each line go. No final newline is added or removed.
std::string fix_bmminer_config(std::string_view dumped);

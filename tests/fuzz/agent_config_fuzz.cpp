// Arbitrary bytes as the agent configuration file. A file that loads gives a key and an id
// within their fields, and saving them gives a file that loads to the same values.
#include "config.h"
#include "fuzz_support.h"
#include "platform.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        // No interface of that name: a missing id is made up without touching the machine.
        platform_configure(scratch_dir(), "nosuch0", 4028);
        return scratch_dir() + "/corvane.json";
    }();
    write_file(path, as_text(data, size));

    agent_config loaded;
    if (agent_load_config(path, &loaded) != 0) {
        return 0;
    }
    require(strlen(loaded.api_key) >= 25 && strlen(loaded.api_key) <= 50);
    require(strlen(loaded.dev_id) <= 32);

    require(agent_save_config(path, loaded) == 0);
    agent_config again;
    require(agent_load_config(path, &again) == 0);
    require(strcmp(loaded.api_key, again.api_key) == 0 && strcmp(loaded.dev_id, again.dev_id) == 0);
    return 0;
}

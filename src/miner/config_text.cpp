#include "miner/config_text.h"

#include "handles.h"

bool config_text(const json_t* root, std::string* text) {
    c_text dumped(json_dumps(root, JSON_INDENT(2)));
    if (!dumped) {
        return false;
    }
    *text = fix_bmminer_config(dumped.get());
    return true;
}

std::string fix_bmminer_config(std::string_view dumped) {
    constexpr std::string_view from = "\": \"";
    constexpr std::string_view to = "\" : \"";
    std::string fixed;
    fixed.reserve(dumped.size() + dumped.size() / 8);
    bool line_start = true;
    for (size_t i = 0; i < dumped.size();) {
        char c = dumped[i];
        if (line_start && (c == ' ' || c == '\t')) {
            i++;
            continue;
        }
        line_start = c == '\n';
        // Neither edit can create or hide a match of the other, so one pass does both.
        if (dumped.substr(i).starts_with(from)) {
            fixed += to;
            i += from.size();
        } else {
            fixed += c;
            i++;
        }
    }
    return fixed;
}

#include "miner/l3plus/config.h"

#include "../../test_root.h"
#include "../fixtures.h"
#include "handles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing::HasSubstr;

namespace {

std::string chip_list(const std::vector<int>& values) {
    std::string list;
    for (int value : values) {
        list += (list.empty() ? "" : ":") + std::to_string(value);
    }
    return list;
}

struct Codec : testing::Test {
    test_root root;
};

} // namespace

TEST_F(Codec, Parses) {
    const std::string defaults =
        "ctrl=0 pwm=0 rpmoff=0 silent=0 target=65 freq=384 volt=8 chains=0,0,0,0 volts=0,0,0,0 "
        "profile=0 stages=000 timer=0 hw=0 prec=75 min=400 step=2 after=2 reboot=0 minhr=0 "
        "maxx=0 tempoff=0 trigger=0 chips=";
    std::vector<int> many(300, 7);
    many[287] = 9;
    many[288] = 11;
    struct row {
        std::string members;
        int result;
        std::string expected; // the whole description, or a part of it between blanks
    };
    const row rows[] = {
        {"", 0, defaults},
        {R"("bitmain-fan-pwm": "150", "bitmain-target-temp": "0")", 0,
         "pwm=100 rpmoff=0 silent=0 target=65"},
        {R"("bitmain-fan-pwm": "-5", "bitmain-target-temp": "-3")", 0,
         "pwm=-5 rpmoff=0 silent=0 target=65"},
        {R"("bitmain-target-temp": " 70abc", "bitmain-fan-rpm-off": "1")", 0,
         "rpmoff=1 silent=0 target=70"},
        {R"("bitmain-fan-rpm-off": "true", "bitmain-fan-ctrl": true)", 0, "ctrl=1 pwm=0 rpmoff=0"},
        // A bad fan member resets the fan group only, without the default target.
        {R"("bitmain-fan-pwm": 80, "bitmain-fan-ctrl": true, "bitmain-target-temp": "70",
            "bitmain-freq": "400")",
         0, "ctrl=0 pwm=0 rpmoff=0 silent=0 target=0 freq=400"},
        {R"("bitmain-freq": "99999999999", "bitmain-voltage": "-2147483649")", 0,
         "freq=999999999 volt=-99999999"},
        {R"("bitmain-freq4": "420", "bitmain-voltage1": "abc", "bitmain-voltage2": "+9")", 0,
         "chains=0,0,0,420 volts=0,9,0,0"},
        {R"("bitmain-autodownscale-prec": "120", "bitmain-autodownscale-watch": true,
            "bitmain-autodownscale-reboot": true)",
         0, "stages=010 timer=0 hw=0 prec=100 min=400 step=2 after=2 reboot=1"},
        {R"("bitmain-chip-freq": ":1:2::3:")", 0, "chips= 1.1=1 1.2=2 1.3=3"},
        {R"("bitmain-chip-freq": "-1:70000:x7:400MHz")", 0, "chips= 1.1=65535 1.2=4464 1.4=400"},
        {"\"bitmain-chip-freq\": \"" + chip_list(many) + "\"", 0, " 4.71=7 4.72=9"},
        {R"("bitmain-tempoff": "95", "bitmain-trigger-reboot": "1")", 0, "tempoff=95 trigger=1"},
        {R"("bitmain-freq": 384)", -1, ""},
        {R"("bitmain-freq1": null)", -1, ""},
        {R"("bitmain-autodownscale-min": 400)", -1, ""},
        {R"("bitmain-chip-freq": 5)", -1, ""},
        {R"("bitmain-maxx": false)", -1, ""},
    };
    for (const row& r : rows) {
        json_error_t error;
        json_ptr root_value(json_loads(("{" + r.members + "}").c_str(), 0, &error));
        ASSERT_TRUE(root_value) << r.members << ": " << error.text;
        miner_config config{};
        EXPECT_EQ(parse_miner_config(root_value.get(), &config), r.result) << r.members;
        if (r.result == 0) {
            std::string described = describe_settings(config);
            if (r.expected == defaults) {
                EXPECT_EQ(described, defaults);
            } else {
                EXPECT_THAT(described + " ", HasSubstr(r.expected + " ")) << r.members;
            }
        }
    }
    json_ptr array(json_array());
    miner_config config{};
    EXPECT_EQ(parse_miner_config(array.get(), &config), -1);
    std::string log = root.log();
    EXPECT_THAT(log, HasSubstr("Failed to parse fan settings - "));
    EXPECT_THAT(log, HasSubstr("INFO Resetting fan settings to defaults\n"));
    EXPECT_THAT(log, HasSubstr("Root element must be an object"));
}

// Member order and types as the daemon writes them.
TEST_F(Codec, Builds) {
    miner_config config{};
    config.bitmain_fan_ctrl = true;
    config.bitmain_fan_pwm = 80;
    config.bitmain_fan_rpm_off = true;
    config.bitmain_freq = 384;
    config.bitmain_voltage = 8;
    config.bitmain_voltage3 = -1;
    config.bitmain_autodownscale_watchtimer = true;
    config.bitmain_autodownscale_prec = 75;
    config.chain1_chip_freqs[0] = 400;
    config.chain4_chip_freqs[71] = 65535;
    config.bitmain_tempoff = 95;
    json_ptr built(json_object());
    ASSERT_EQ(build_miner_config(built.get(), config), 0);
    std::vector<int> chips(288, 0);
    chips[0] = 400;
    chips[287] = 65535;
    c_text text(json_dumps(built.get(), JSON_COMPACT));
    EXPECT_EQ(std::string(text.get()),
              R"({"bitmain-fan-rpm-off":"1","bitmain-fan-pwm":"80","bitmain-fan-ctrl":true,)"
              R"("bitmain-silentstart":false,"bitmain-freq":"384","bitmain-voltage":"8",)"
              R"("bitmain-freq1":"0","bitmain-freq2":"0","bitmain-freq3":"0","bitmain-freq4":"0",)"
              R"("bitmain-voltage1":"0","bitmain-voltage2":"0","bitmain-voltage3":"-1",)"
              R"("bitmain-voltage4":"0","bitmain-autodownscale-profile":"0",)"
              R"("bitmain-autodownscale-timer":"0","bitmain-autodownscale-hw":"0",)"
              R"("bitmain-autodownscale-prec":"75","bitmain-autodownscale-min":"0",)"
              R"("bitmain-autodownscale-step":"0","bitmain-autodownscale-after":"0",)"
              R"("bitmain-autodownscale":false,"bitmain-autodownscale-watch":false,)"
              R"("bitmain-autodownscale-watchtimer":true,"bitmain-autodownscale-reboot":false,)"
              R"("bitmain-chip-freq":")" +
                  chip_list(chips) +
                  R"(","bitmain-minhr":"0","bitmain-maxx":"0","bitmain-trigger-reboot":"0",)"
                  R"("bitmain-tempoff":"95"})");
}

TEST(ChainIds, OnlyTheModelsChains) {
    for (int32_t id : {-1, 0, 1, 4, 5, 256}) {
        EXPECT_EQ(verify_chain_id(id), id >= 1 && id <= 4) << id;
    }
}

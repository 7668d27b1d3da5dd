#include "app/share_switch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PipeWireSwitch, IsTakenOutAndTheRestKeptInOrder) {
    struct {
        std::vector<std::string> args;
        bool found;
        std::vector<std::string> left;
    } cases[] = {
        {{"kc"}, false, {"kc"}},
        {{"kc", "--pipewire"}, true, {"kc"}},
        {{"kc", "--other", "--pipewire", "x"}, true, {"kc", "--other", "x"}},
        {{"kc", "--pipewire=1", "-pipewire"}, false, {"kc", "--pipewire=1", "-pipewire"}},
    };
    for (auto& c : cases) {
        std::vector<char*> argv;
        for (std::string& a : c.args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int argc = int(c.args.size());
        EXPECT_EQ(takePipeWireSwitch(argc, argv.data()), c.found);
        std::vector<std::string> left(argv.begin(), argv.begin() + argc);
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(argv[argc], nullptr);
    }
}

}  // namespace

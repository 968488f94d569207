// The bench's state file shared by programs that run at once: a program
// writes only the boards it changed, merged into what the file holds, and a
// board another program changed meanwhile keeps that change.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "vboard/default_bench.h"
#include "vboard/state_file.h"

namespace {

const char kTwoBoards[] =
    "brevant-bench-state 1\n"
    "board 0 1 VBRD0001\n"
    "port 03 92\n"
    "power 01\n"
    "board 1 0 VBRD0002\n"
    "eeprom 00000 4C41422D37202020FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\n"
    "power 01\n"
    "end\n";

TEST(StateMerge, AChangedBoardReplacesOnlyItsOwnSection) {
    // The other program set board 1's serial number; this one changed board 0.
    const std::string merged =
        vboard::mergeStateText(kTwoBoards, {{0, "board 0 1 VBRD0001\nport 03 12\npower 00\n"}});
    EXPECT_EQ(merged,
              "brevant-bench-state 1\n"
              "board 0 1 VBRD0001\nport 03 12\npower 00\n"
              "board 1 0 VBRD0002\n"
              "eeprom 00000 4C41422D37202020FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\n"
              "power 01\n"
              "end\n");
}

TEST(StateMerge, BoardsKeepTheirPositionOrderAndAFileThatIsNoStateGivesWay) {
    // A board the file did not hold yet goes in its place by position.
    const std::string added = vboard::mergeStateText(
        "brevant-bench-state 1\nboard 2 1 LAB00003\npower 01\nend\n", {{0, "board 0 1 LAB00001\npower 01\n"}});
    EXPECT_EQ(added, "brevant-bench-state 1\nboard 0 1 LAB00001\npower 01\nboard 2 1 LAB00003\npower 01\nend\n");
    // An empty, missing or foreign file holds no boards to keep.
    for (const char *current : {"", "not a state file\nboard 1 0 X\n"})
        EXPECT_EQ(vboard::mergeStateText(current, {{1, "board 1 0 VBRD0002\npower 01\n"}}),
                  "brevant-bench-state 1\nboard 1 0 VBRD0002\npower 01\nend\n");
}

TEST(StateMerge, SavingMergesIntoTheFileAsItIsNowAndLeavesNoTemporaryFile) {
    const std::string path = ::testing::TempDir() + "brevant-merge-state";
    std::remove(path.c_str());
    // No file yet: every board is written. Then only the changed one is.
    EXPECT_EQ(vboard::saveMergedState(path, {}, {{0, "board 0 1 VBRD0001\npower 01\n"}}), "");
    EXPECT_EQ(vboard::saveMergedState(path, {}, {{0, "board 0 1 VBRD0001\npower 00\n"}}), "");  // nothing changed
    {
        std::ifstream created(path);
        std::stringstream text;
        text << created.rdbuf();
        EXPECT_EQ(text.str(), "brevant-bench-state 1\nboard 0 1 VBRD0001\npower 01\nend\n");
    }
    { std::ofstream(path) << kTwoBoards; }
    EXPECT_EQ(vboard::saveMergedState(path, {{0, "board 0 1 VBRD0001\npower 00\n"}}, {}), "");
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("board 0 1 VBRD0001\npower 00\nboard 1 0 VBRD0002\neeprom 00000 4C41422D37"),
              std::string::npos)
        << text.str();
    // A state file in a folder that does not exist says so.
    EXPECT_NE(vboard::saveMergedState(path + ".missing/state", {{0, "board 0 1 X\n"}}, {}), "");
    std::remove(path.c_str());
    std::remove((path + ".lock").c_str());
}

}  // namespace

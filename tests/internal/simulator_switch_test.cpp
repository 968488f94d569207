// The simulator switch: which values of BREVANT_SIMULATOR turn the simulated
// bench on. A word that reads as "off" must never turn it on.
#include <gtest/gtest.h>

#include "usb/select/simulator_request.h"

using VESK::SimulatorSwitch;
using VESK::simulatorSwitch;

TEST(SimulatorSwitch, OnlyTheWordsForOnTurnTheSimulatorOn) {
    for (const char *on : {"1", "true", "yes", "on", "TRUE", "Yes", "ON"})
        EXPECT_EQ(simulatorSwitch(on), SimulatorSwitch::On) << on;
    for (const char *off : {"", "0", "false", "no", "off", "FALSE", "No", "Off"})
        EXPECT_EQ(simulatorSwitch(off), SimulatorSwitch::Off) << off;
    EXPECT_EQ(simulatorSwitch(nullptr), SimulatorSwitch::Off);
    for (const char *other : {"2", "maybe", " 1", "on ", "enable"})
        EXPECT_EQ(simulatorSwitch(other), SimulatorSwitch::Unknown) << other;
}

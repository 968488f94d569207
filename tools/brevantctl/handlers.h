// handlers.h - the handlers of the built-in commands, for the table in
// commands.cpp.
#ifndef BREVANTCTL_HANDLERS_H
#define BREVANTCTL_HANDLERS_H

#include <cstdint>
#include <string>

#include "context.h"

namespace brevantctl {

// eeprom.cpp
void runEepromRead(Context &c);
void runEepromWrite(Context &c);
void runEepromSave(Context &c);
void runEepromLoad(Context &c);
void runSnGet(Context &c);
void runSnSet(Context &c);
void runSnClear(Context &c);

// monitoring.cpp
void runStatus(Context &c);
void runWatch(Context &c);
extern const char kStatusDetails[];
extern const char kWatchDetails[];

// The shortest decimal text of a reading (they are multiples of 1/256).
std::string decimal(double value);

}  // namespace brevantctl

#endif

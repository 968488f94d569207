// module_commands.h - the module view: brevantctl module info, monitor and
// dump read the CFP2 module's registers over MDIO and print them decoded
// (cfp2module) or raw.
#ifndef BREVANTCTL_MODULE_COMMANDS_H
#define BREVANTCTL_MODULE_COMMANDS_H

namespace brevantctl {

class Context;

void runModuleInfo(Context &c);
void runModuleMonitor(Context &c);
void runModuleDump(Context &c);

// Help texts for the command table.
extern const char kModuleInfoDetails[];
extern const char kModuleMonitorDetails[];
extern const char kModuleDumpDetails[];

}  // namespace brevantctl

#endif

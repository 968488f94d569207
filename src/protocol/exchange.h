// exchange.h - the one road every command takes to the board: send the
// report, read the reply, grade the outcome.
#ifndef BREVANT_PROTOCOL_EXCHANGE_H
#define BREVANT_PROTOCOL_EXCHANGE_H

#include <cstdint>
#include <initializer_list>

#include "protocol/command_table.h"

namespace VESK {
class USBAPI;
}

namespace brevant {

// Sends the REPORT_SIZE-byte `report` and, when `replyLength` is not 0, reads
// up to `replyLength` bytes into `reply`. Returns CMD_OK, CMD_SHORT (fewer
// reply bytes came) or CMD_FAILED (a pipe not open, or a failed transfer).
// After a transfer that failed because the device went away (the transport
// answers that), both pipes are closed so later commands fail without
// touching the system until the board is connected again.
// A query whose read failed leaves the board marked as owing a reply; the
// board's next query first brings the conversation back in step (see
// usb/conversation.h), so a late answer is never taken for the next query's.
int exchange(VESK::USBAPI &transport, const std::uint8_t *report, std::uint32_t replyLength,
             std::uint8_t *reply);

// Fills `report` with the row of `command` and runs the exchange with the
// row's reply length. `reply` must hold that many bytes.
int runCommand(VESK::USBAPI &transport, std::uint8_t *report, Command command,
               std::initializer_list<std::uint8_t> operands, std::uint8_t *reply);

}  // namespace brevant

#endif

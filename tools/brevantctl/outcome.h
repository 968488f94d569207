// outcome.h - how every brevantctl command ends. Commands added in other
// files follow the same rules: throw one of the errors below and let main()
// turn it into the exit status and the message.
//
// Exit status
//   0  success
//   1  the board or a file operation failed: no board found, no connection,
//      no or short reply, a file that cannot be read or written, an image
//      that does not fit, a question at the prompt answered "no"
//   2  usage error: the command line is wrong, or a command that changes the
//      board ran without a terminal to confirm on and without --yes
//   130 interrupted (Ctrl-C or SIGTERM) in the middle of an EEPROM transfer,
//      which stopped between two bytes and said how far it got
//
// Messages
//   One line on standard error: "brevantctl: COMMAND: message", the message
//   naming the file or the board ("the type-1 board at device index 0").
//
// JSON (--json)
//   Success prints one JSON object on standard output. A failure prints
//       {"error":{"code":1,"message":"..."}}
//   on standard output as well (code is the exit status, message the text
//   of the standard-error line without its "brevantctl: COMMAND: " prefix).
//   A command that printed readings and then failed in part (status, list
//   finding nothing) keeps its members and adds the same "error" member.
#ifndef BREVANTCTL_OUTCOME_H
#define BREVANTCTL_OUTCOME_H

#include <stdexcept>

namespace brevantctl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as a shell reports Ctrl-C

// The command line is wrong: exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A board or file operation failed: exit 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The board is missing, did not connect or did not answer: exit 1.
struct BoardFailure : Failure {
    using Failure::Failure;
};
// A file could not be read or written: exit 1.
struct FileFailure : Failure {
    using Failure::Failure;
};
// A signal stopped the command between two steps: exit 130.
struct Interrupted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace brevantctl

#endif

// default_bench.h - the bench a program on the host finds without setting one
// up: the virtual Windows runs it before its first system call unless the
// program configured the platform itself (a vboard::Bench, hostwin::reset or
// hostwin::markConfigured).
//
// Boards. With BREVANT_BENCH unset (or empty) the bench carries a type-1 board
// with serial VBRD0001 at device index 0 and a type-0 board with serial
// VBRD0002 at device index 1. BREVANT_BENCH names a bench file instead, one
// board per line in device-index order; '#' starts a comment:
//
//     # TYPE SERIAL [vcc=VOLTS] [tempN=CELSIUS]... [latency=MS] [reply-bytes=N]
//     #             [hang-after=N] [module=cfp2-sr4|none] [module-port=N]
//     #             [stuck-eeprom=ADDR[-ADDR][,...]] [pace=MS]
//     #             [module-state=STATE] [module-alarm=REGISTER:WORD]...
//     1 LAB00001 vcc=3.30 temp0=25.5 temp1=41.25
//     0 LAB00002 module=none      # an empty cage
//     1 SLOW0001 latency=150      # answers after the 100 ms read wait
//     1 FAULT001 module-state=fault module-alarm=A01E:0040
//
// TYPE is 0 or 1; SERIAL is 1 to 8 printable characters without spaces or
// '#'; vcc is the supply voltage (0 to 255.99 V, default 3.3125); tempN the
// reading of temperature sensor N (0-255) in degrees Celsius (-128 to 127.99;
// sensor 0 reads 25.25 unless set); latency delays every reply (0-60000 ms of
// virtual time); reply-bytes cuts every reply to that many bytes (0-64);
// hang-after lets the board answer that many reports and then none. module
// is what sits in the cage: cfp2-sr4 (the default, a made-up 100GBASE-SR4
// CFP2 module) or none; module-port the MDIO port it answers on (default 1).
// module-state is the module's state while powered: ready (the default),
// initialize, low-power, high-power-up, tx-off, tx-turn-on, fault,
// tx-turn-off, high-power-down, a state register word in hex (0x0003), or
// reset, a module held in reset whose control and monitor registers read
// 0xFFFF. module-alarm sets what an alarm or status register reads while
// powered, both in hex: REGISTER is A018, A01D-A020 or A200-A21F; give it
// once per register.
// stuck-eeprom=ADDR[-ADDR][,...] names EEPROM addresses (decimal or 0x hex)
// whose writes do not stick, as worn cells; pace=MS makes every report take
// that many real milliseconds (a transfer slow enough to interrupt).
// A bench file that cannot be read (a directory, say) or has an error gives
// one message on stderr and a bench without boards.
//
// State. What the firmware keeps (EEPROM, ports, vendor I/O, power, the
// current-sense enables, MDIO registers) is loaded from a state file when the
// bench is set up and saved there when the process exits. The file is
// BREVANT_BENCH_STATE, else $XDG_STATE_HOME/brevant/bench-state, else
// ~/.local/state/brevant/bench-state; only that default folder is created
// when missing, and a BREVANT_BENCH_STATE in a folder that does not exist
// gives a message and state that is not kept. A missing state file gives one
// message and fresh boards. A damaged one gives one message naming the bad
// line: the boards whose lines are sound keep their state, the others start
// fresh, and the damaged file is kept beside as <file>.bad. The file is
// rewritten at exit (only the boards whose state changed, see state_file.h).
// Saved state belongs to a board by its position, type and serial on the
// bench, so editing the bench file keeps the state of the boards that stay.
// Supply voltage, temperatures, knobs and the module come from the bench
// file, not the state; what was written to the module's registers is kept
// with the other MDIO registers. Several processes may run at once: each
// writes at exit only the boards whose state it changed, merged into the
// file under a lock (state_file.h), and a run that changed nothing writes
// nothing.
#ifndef VBOARD_DEFAULT_BENCH_H
#define VBOARD_DEFAULT_BENCH_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "vboard/board.h"

namespace vboard {

constexpr char kBenchFileVariable[] = "BREVANT_BENCH";
constexpr char kStateFileVariable[] = "BREVANT_BENCH_STATE";

// One board of a bench file.
struct BoardDesc {
    int type = 1;
    std::string serial;
    std::optional<double> vcc;
    std::map<std::uint8_t, double> temperatures;
    std::uint32_t latencyMs = 0;
    std::optional<std::size_t> replyBytes;
    std::optional<std::uint64_t> hangAfter;
    std::set<std::uint32_t> stuckEeprom;
    std::uint32_t paceMs = 0;
    std::size_t padTo = 0;
    std::shared_ptr<Replay> replay;  // replay=FILE, loaded when the line is read
    bool module = true;  // a CFP2 module in the cage
    std::uint8_t modulePort = kModulePort;
    std::uint16_t moduleState = Module::kReady;
    bool moduleInReset = false;
    std::map<std::uint16_t, std::uint16_t> moduleAlarms;  // alarm and status register -> word
};

// The module a bench line describes (its state and alarm registers set).
Module benchModule(const BoardDesc &desc);

// A bench file or state file that cannot be used; what() says where and why.
class BenchFileError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

// The boards of the bench when no bench file is named.
std::vector<BoardDesc> defaultBoards();
// Parses the text of a bench file; throws BenchFileError ("line N: ...").
std::vector<BoardDesc> parseBench(const std::string &text);

// A board on the bench together with the description it was made from.
struct BenchBoard {
    BoardDesc desc;
    Board *board;
};
// The state file text for the boards (each board's lock is taken).
std::string stateText(const std::vector<BenchBoard> &boards);
// One board's section of it: its "board" line and the lines of its state.
std::string boardStateText(std::size_t position, const BenchBoard &board);
// Loads state file text into the boards whose position, type and serial
// match. A bad line costs only the board whose section it is in (a file cut
// short, the last board's): the others are loaded, and the problems come
// back as "line N: ..." texts. Throws BenchFileError, changing no board, when
// the text is not a state file at all.
std::vector<std::string> applyState(const std::string &text, const std::vector<BenchBoard> &boards);

// Where the state is kept: the state variable, XDG_STATE_HOME or HOME; empty
// when none of them is set.
std::string stateFilePath();

// Plugs the default bench into the virtual Windows and loads its state; saves
// the state at exit. This is the virtual Windows' default setup.
void setUpDefaultBench();

}  // namespace vboard

#endif

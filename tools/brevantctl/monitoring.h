// monitoring.h - readings for status and watch, from reading sources.
//
// A reading source adds readings of one board to a sample. The board's own
// readings (supply voltage, temperatures, current monitor, port 3) are the
// first source; another file adds its own with a static registration, and
// its options become options of status and watch:
//
//     namespace { brevantctl::ReadingSourceRegistration reg({
//         "module", {{"--module", 0, nullptr, "add the module's monitors"}}, readModule}); }
//
//     void readModule(brevantctl::Sample &s) {
//         if (!s.invocation().flag("--module")) return;
//         ...
//         s.add(brevantctl::Reading::number("module_temp", "module temperature", "C", celsius));
//     }
//
// Each reading has a key (JSON member, CSV column), a label (status text) and
// a unit. A reading the board type does not offer is Unavailable: status
// shows it as such, watch leaves its column out. A reading that failed is
// Failed: status shows why, watch leaves its cell empty and goes on.
#ifndef BREVANTCTL_MONITORING_H
#define BREVANTCTL_MONITORING_H

#include <chrono>
#include <string>
#include <vector>

#include "cli.h"
#include "context.h"
#include "json.h"

namespace brevantctl {

struct Reading {
    enum class State { Ok, Unavailable, Failed };
    std::string key;    // "vcc", "temp0": JSON member and CSV column
    std::string label;  // "supply voltage"
    std::string unit;   // "V", "C" or empty
    State state = State::Ok;
    Json value;         // number or boolean when Ok
    std::string text;   // the value as status and watch print it ("3.3125")
    std::string why;    // Unavailable or Failed: the reason
    // Unavailable for now (a module without power), not for want of the
    // reading: watch keeps its column, with an empty cell.
    bool keepsColumn = false;
    // Decimals of the text and CSV cell of a number (-1: as the value prints).
    int decimals = -1;
    // The widest text the reading may show (a word from a list: "High-Power-down"),
    // so the text watch sizes its column for every value, not for the first.
    std::size_t widestText = 0;

    // A measured value, rounded in text and CSV to the decimals of its unit
    // (roundedText).
    static Reading number(std::string key, std::string label, std::string unit, double value);
    static Reading integer(std::string key, std::string label, std::string unit, long long value, std::string text);
    static Reading boolean(std::string key, std::string label, bool value, const char *yes, const char *no);
    static Reading unavailable(std::string key, std::string label, std::string unit, std::string why);
    static Reading failed(std::string key, std::string label, std::string unit, std::string why);
    // The CSV cell: the value, empty unless Ok.
    std::string cell() const;
};

// One sample being taken: the board, the command line, the readings so far.
class Sample {
   public:
    Sample(Context &context, Link &link) : context_(context), link_(link) {}
    const Invocation &invocation() const { return context_.invocation(); }
    Context &context() { return context_; }
    Link &board() { return link_; }
    // The text of a result that is not VESKCFP2_CMD_OK: "no reply", "short reply".
    static std::string failure(std::int32_t result);
    void add(Reading reading) { readings_.push_back(std::move(reading)); }
    std::vector<Reading> &readings() { return readings_; }

   private:
    Context &context_;
    Link &link_;
    std::vector<Reading> readings_;
};

struct ReadingSource {
    const char *name;
    std::vector<Option> options;  // become options of status and watch
    void (*read)(Sample &);
    // Checks the source's options (UsageError) before any board is touched.
    void (*check)(const Invocation &) = nullptr;
};

struct ReadingSourceRegistration {
    explicit ReadingSourceRegistration(ReadingSource source);
};

// The decimals a value in `unit` is shown with, the same in status, watch and
// CSV: V 4 and C 2 (the boards' 1/256 steps: 3.3008 V, 25.25 C), mA 3, mW 4,
// dBm 2; -1 for a unit without a rule.
int decimalsOf(const std::string &unit);
// `value` with the decimals of `unit` ("3.3008"), or as it prints without a rule.
std::string roundedText(double value, const std::string &unit);

// Every reading of the board, from every source in order.
std::vector<Reading> takeSample(Context &context, Link &link);

// The "readings" member of status --json and of each watch --json line.
Json readingsJson(const std::vector<Reading> &readings);
// The column a reading has in watch --csv: its key with its unit, "vcc_V".
std::string csvColumn(const Reading &reading);
// Whether a reading has a column in watch --csv: all but those the board
// does not offer, unless the reading keeps its column anyway.
bool hasColumn(const Reading &reading);
// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string &text);
// ISO-8601 UTC time stamp with milliseconds: 2026-12-07T23:10:01.123Z, the
// time column of watch.
std::string timestamp(std::chrono::system_clock::time_point when);

}  // namespace brevantctl

#endif

// board_monitor.h - one board of the bench service. An entry is the board
// itself (its serial number and place), not a device index: the rescans
// tell it where its board is now, or that it is gone. The board's own thread
// connects it, checks that the board at that index is this one, samples it
// every interval (the readings of status, and the module's monitors, exactly
// as watch --module takes them, and its alarm and status registers as module
// status reads them), reads the module's identity when a module appears and
// now and then after, keeps the last sample and a bounded history, appends
// each sample to the board's CSV file, and runs the commands the API sends
// it between two samples. Only this thread ever touches the board's
// instance; readers get immutable views and copies of the history.
#ifndef BREVANTCTL_SERVE_BOARD_MONITOR_H
#define BREVANTCTL_SERVE_BOARD_MONITOR_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../board.h"
#include "../cli.h"
#include "../monitoring.h"

namespace brevantctl::serve {

class CsvLog;

struct ServiceSettings {
    double interval = 1.0;            // seconds between two samples of a board
    std::size_t historyLength = 3600;  // samples kept per board
    double rescanInterval = 5.0;       // seconds between two looks for boards
    unsigned identityEvery = 60;       // samples between two readings of the module's identity
    std::optional<std::string> csvDir;
    Invocation sampling;  // the options the readings are taken with (--module, --mdio-port)
};

// What the service is told of a board beyond where it is: its line of the
// inventory, when it has one.
struct BoardPlan {
    bool expected = false;  // listed in the inventory: absent, it is "missing"
    bool listed = true;     // found by the rescan that made the entry
    std::optional<std::string> name, slot;
    std::optional<unsigned> mdioPort;  // where its module answers, over --mdio-port
};

// What readers see of a board. A new view replaces the old one whole after
// each sample and each change of state.
struct BoardView {
    std::string id;  // the board in URLs: its serial number, or "type1-bench-0" (its place)
    BoardId board{};  // where it is (or was last) listed
    bool seen = false;  // found at least once (an inventory board may never be)
    std::optional<std::string> serial;
    // Where the board is attached, as list shows it ("bench:0", "1-4.1"),
    // found with the board; it stays when other boards come and go and the
    // device index shifts. Empty when the system could not tell.
    std::optional<std::string> location;
    bool simulated = false;
    bool expected = false;  // from the inventory, with its name and slot
    std::optional<std::string> name, slot;
    // "connecting" until the first sample, "up" while samples come back,
    // "down" when the last sample got no reading, the board did not open or
    // it is gone; "missing" for an inventory board that is not attached.
    std::string state = "connecting";
    std::string problem;  // why it is not up
    std::optional<std::chrono::system_clock::time_point> time;  // of the last sample
    std::vector<Reading> readings;                                // the last sample
    Json module;                // module info --json members, null without a module
    std::string moduleProblem;  // why there is no module identity
    // The module's alarm and status registers as module status --json lists
    // them ({"register","name","word","nonZero",...}), null when not read,
    // with why not.
    Json moduleRegisters;
    std::string moduleRegistersProblem;
    std::uint64_t samples = 0, failedSamples = 0, reconnects = 0;
    double sampleSeconds = 0;  // how long the last sample took
};

// A sample as the history keeps it: values only; the columns (keys, units,
// kinds) are shared by all the samples that have the same ones.
struct HistoryColumns {
    enum class Kind : std::uint8_t { Real, Integer, Boolean };
    std::vector<std::string> keys, units;
    std::vector<Kind> kinds;
};
struct HistoryEntry {
    std::chrono::system_clock::time_point time;
    std::shared_ptr<const HistoryColumns> columns;
    std::vector<double> values;  // NaN: failed, or no value (a dBm of no light)
    std::vector<std::uint8_t> failed;  // 1 where the reading failed, 2 where it was not available
};

// The outcome of a command run for the API: the JSON --json prints, or an
// error with the HTTP status it maps to.
struct CommandOutcome {
    int status = 200;
    Json body;
};

// A command handed to a board's thread. Whoever comes first claims it: the
// board's thread, which then runs it, or the caller giving up on it, after
// which it never runs (so an answer that it did not run holds).
class CommandTicket {
   public:
    explicit CommandTicket(std::shared_ptr<std::atomic<std::size_t>> pending) : pending_(std::move(pending)) {}
    // True when the command had not started and now never will.
    bool abandon() {
        if (claimed_.exchange(true)) return false;
        --*pending_;
        return true;
    }

   private:
    friend class BoardMonitor;
    std::atomic<bool> claimed_{false};
    std::shared_ptr<std::atomic<std::size_t>> pending_;  // the board's count of commands pending
};

// Commands waiting for or running on one board; one more is answered 429.
constexpr std::size_t kMaxPendingCommands = 4;

class BoardMonitor {
   public:
    using SampleListener = std::function<void(const std::shared_ptr<const BoardView> &)>;
    // `onLost`: the board at its index turned out to be another (look for
    // the boards again); `onSerial`: its serial number changed (sn set).
    struct Hooks {
        std::function<void()> onLost;
        std::function<void(BoardMonitor &)> onSerial;
    };
    BoardMonitor(std::string id, BoardId board, std::optional<std::string> serial, std::optional<std::string> location,
                 const ServiceSettings &settings, SampleListener onSample, BoardPlan plan = {}, Hooks hooks = {});
    ~BoardMonitor();  // stop(), if it has not run
    // Stops the thread and disconnects the board; commands still waiting
    // get their answer. The board set calls it when it drops the entry, so
    // that whoever lets go of the last reference (an HTTP thread, maybe
    // under a lock) never waits for the board. Runs once; later calls
    // return at once.
    void stop();
    BoardMonitor(const BoardMonitor &) = delete;
    BoardMonitor &operator=(const BoardMonitor &) = delete;

    std::string id() const;
    void setId(std::string id);
    // Where the board is listed now (or was last).
    BoardId board() const;
    bool bound() const;
    const BoardPlan &plan() const { return plan_; }
    std::shared_ptr<const BoardView> view() const;
    // The samples taken at or after `since`, oldest first.
    std::vector<HistoryEntry> history(std::chrono::system_clock::time_point since) const;
    // Rescans say where the board is listed now, and where it is attached;
    // nothing when it is not listed (it is down, or missing).
    void bind(std::optional<BoardId> board, std::optional<std::string> location);
    // At most `limit` of them, and the time of the next one when more remain.
    struct HistoryPage {
        std::vector<HistoryEntry> entries;
        std::optional<std::chrono::system_clock::time_point> next;
    };
    HistoryPage history(std::chrono::system_clock::time_point since, std::size_t limit) const;
    // Runs a brevantctl command on the board (between two samples) and
    // returns what it printed with --json. Waits at most `timeout` for the
    // command to start: one that has not started by then never runs, so an
    // answer that it did not run holds.
    CommandOutcome runCommand(const std::string &name, const std::vector<std::string> &args,
                              std::chrono::milliseconds timeout);
    // Hands a command to the board's thread and returns at once. `done` gets
    // its outcome once: on the board's thread when it ends, or here when it
    // is refused (not a command, too many waiting, stopping); never when the
    // ticket was abandoned first. Returns null when refused.
    using CommandDone = std::function<void(CommandOutcome)>;
    std::shared_ptr<CommandTicket> submitCommand(const std::string &name, const std::vector<std::string> &args,
                                                 CommandDone done);
    std::size_t pendingCommands() const { return *pending_; }

   private:
    void loop();
    void sampleOnce(const BoardId &board, std::uint64_t binding);
    // Another board answers at this board's device index: drops the link and
    // the index until a rescan finds the board again.
    void lost(std::shared_ptr<BoardView> view, std::uint64_t binding, const BoardId &board,
              const std::optional<std::string> &serial);
    // A command changed the serial number: the view and the entry's id follow.
    void serialChanged();
    void readModuleIdentity(Link &link);
    void readModuleRegisters(Link &link);
    void publish(std::shared_ptr<BoardView> view);
    std::shared_ptr<BoardView> copyView() const;
    void runJobs();

    const ServiceSettings &settings_;
    const BoardPlan plan_;
    const Hooks hooks_;
    Invocation sampling_;  // the settings' sampling, with the board's own MDIO port
    SampleListener onSample_;
    std::unique_ptr<CsvLog> csv_;

    // Guards view_, history_, jobs_, id_, bound_, board_, location_, gone_,
    // binding_ and stop_.
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::shared_ptr<const BoardView> view_;
    std::deque<HistoryEntry> history_;
    std::shared_ptr<const HistoryColumns> columns_;
    std::deque<std::function<void()>> jobs_;
    std::string id_;
    bool bound_ = true;
    BoardId board_;
    std::optional<std::string> location_;
    std::string gone_;  // why it is not listed
    std::uint64_t binding_ = 0;  // counts the changes of where the board is
    bool stop_ = false;
    std::once_flag stopped_;
    std::shared_ptr<std::atomic<std::size_t>> pending_ = std::make_shared<std::atomic<std::size_t>>(0);

    // The board thread's own state.
    std::uint64_t linkBinding_ = 0;  // the binding link_ was opened for
    std::unique_ptr<Link> link_;
    std::optional<std::string> serial_;
    bool reconnect_ = false;
    bool moduleWasPresent_ = false;
    std::uint64_t sinceIdentity_ = 0;
    Json module_;
    std::string moduleProblem_;
    Json moduleRegisters_;
    std::string moduleRegistersProblem_;
    std::thread thread_;
};

// The commands the API may run on a board: those that change it, and none
// that touch files or ask the board for long.
bool isApiCommand(const std::string &name);

}  // namespace brevantctl::serve

#endif

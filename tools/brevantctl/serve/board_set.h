// board_set.h - every board the bench service serves. An entry is a board,
// known by its serial number and its place, not by its device index, which
// shifts when a board before it goes. A thread looks for boards every few
// seconds; whenever the list changed (or a board's thread found another
// board at its index) it reads each listed board's serial number and tells
// each entry where its board is now: a board that appears gets its entry
// (and its thread), one that comes back (at the same place or another) gets
// its old entry back, one that is no longer listed is marked down (or
// missing, when the inventory expects it) and kept. Listeners hear of every
// new view of every board (the live stream).
#ifndef BREVANTCTL_SERVE_BOARD_SET_H
#define BREVANTCTL_SERVE_BOARD_SET_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_monitor.h"

namespace brevantctl::serve {

// Which boards the service takes: the global selection options, as filters.
struct BoardFilter {
    std::optional<int> type;
    std::optional<std::uint16_t> index;
    std::optional<std::string> serial;
};

// A board the bench is expected to carry (a line of --inventory).
struct ExpectedBoard {
    std::string serial;
    std::optional<std::string> name, slot;
    std::optional<unsigned> mdioPort;
};

// Reads an inventory file: a CSV table whose header names its columns,
// serial (needed), name, slot and mdio_port; '#' lines and blank lines are
// skipped. Throws UsageError (with the line) for a bad file.
std::vector<ExpectedBoard> readInventory(const std::string &file);

class BoardSet {
   public:
    using Listener = std::function<void(const std::shared_ptr<const BoardView> &)>;

    BoardSet(ServiceSettings settings, BoardFilter filter, std::vector<ExpectedBoard> inventory = {});
    ~BoardSet();  // stops the rescans and every board's thread
    BoardSet(const BoardSet &) = delete;
    BoardSet &operator=(const BoardSet &) = delete;

    // Looks for boards once now, then every rescan interval on a thread.
    void start();
    const ServiceSettings &settings() const { return settings_; }

    // The boards in the order they were found.
    std::vector<std::shared_ptr<BoardMonitor>> boards() const;
    std::shared_ptr<BoardMonitor> find(const std::string &id) const;
    std::uint64_t rescans() const;

    std::uint64_t listen(Listener listener);
    void unlisten(std::uint64_t token);

   private:
    void rescan();
    void notify(const std::shared_ptr<const BoardView> &view);
    // The id of a board: its serial number when it is fit for a URL, else its
    // type and place; another board's id is not taken again.
    std::string newId(int type, const std::optional<std::string> &serial, const std::optional<std::string> &location,
                      const BoardMonitor *self) const;
    std::shared_ptr<BoardMonitor> makeMonitor(std::string id, BoardId board, std::optional<std::string> serial,
                                              std::optional<std::string> location, BoardPlan plan);
    // A board's thread found another board at its index.
    void lookAgain();
    // A board's serial number changed (sn set): its id follows.
    void renamed(BoardMonitor &monitor);

    const ServiceSettings settings_;
    const BoardFilter filter_;
    // Guards boards_, rescans_, listing_, lookAgain_ and stop_.
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<BoardMonitor>> boards_;
    std::uint64_t rescans_ = 0;
    std::optional<std::string> listing_;  // what the last rescan listed: indices and places
    bool lookAgain_ = false;
    bool stop_ = false;
    std::thread thread_;

    mutable std::mutex listenersLock_;
    std::map<std::uint64_t, Listener> listeners_;
    std::uint64_t nextListener_ = 1;
};

}  // namespace brevantctl::serve

#endif

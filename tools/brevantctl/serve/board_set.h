// board_set.h - every board the bench service serves. A thread looks for
// boards every few seconds: a board that appears gets its monitor (and its
// thread), a board that is no longer listed is marked down and kept, and a
// board that took another's place is added beside the one it replaced.
// Listeners hear of every new view of every board (the live stream).
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

class BoardSet {
   public:
    using Listener = std::function<void(const std::shared_ptr<const BoardView> &)>;

    BoardSet(ServiceSettings settings, BoardFilter filter);
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
    std::string newId(const BoardId &board, const std::optional<std::string> &serial) const;

    const ServiceSettings settings_;
    const BoardFilter filter_;
    mutable std::mutex lock_;  // guards boards_, rescans_ and stop_
    std::condition_variable wake_;
    std::vector<std::shared_ptr<BoardMonitor>> boards_;
    std::uint64_t rescans_ = 0;
    bool stop_ = false;
    std::thread thread_;

    mutable std::mutex listenersLock_;
    std::map<std::uint64_t, Listener> listeners_;
    std::uint64_t nextListener_ = 1;
};

}  // namespace brevantctl::serve

#endif

// board_set.cpp - finding the boards of the bench service, again and again.
#include "board_set.h"

#include <algorithm>

#include "../transport.h"

namespace brevantctl::serve {

namespace {
// A serial number is the board's name in URLs when it is one: printable,
// no spaces, nothing a URL path must escape.
bool urlSafe(const std::string &serial) {
    if (serial.empty()) return false;
    return std::all_of(serial.begin(), serial.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_' ||
               c == '.';
    });
}
}  // namespace

BoardSet::BoardSet(ServiceSettings settings, BoardFilter filter)
    : settings_(std::move(settings)), filter_(std::move(filter)) {}

BoardSet::~BoardSet() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::vector<std::shared_ptr<BoardMonitor>> boards;
    {
        std::lock_guard<std::mutex> hold(lock_);
        boards.swap(boards_);
    }
    boards.clear();  // joins every board's thread
}

void BoardSet::start() {
    rescan();
    thread_ = std::thread([this] {
        const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(settings_.rescanInterval));
        std::unique_lock<std::mutex> hold(lock_);
        while (!stop_) {
            if (wake_.wait_for(hold, interval, [this] { return stop_; })) break;
            hold.unlock();
            rescan();
            hold.lock();
        }
    });
}

std::string BoardSet::newId(const BoardId &board, const std::optional<std::string> &serial) const {
    const std::string fallback = "type" + std::to_string(board.type) + "-index" + std::to_string(board.index);
    std::string id = serial && urlSafe(*serial) ? *serial : fallback;
    // Two boards with one serial number (or a board replaced by one with the
    // same number) keep apart by their place.
    auto taken = [this](const std::string &name) {
        return std::any_of(boards_.begin(), boards_.end(),
                           [&](const std::shared_ptr<BoardMonitor> &b) { return b->id() == name; });
    };
    if (taken(id)) id = id == fallback ? fallback : id + "-" + fallback;
    for (int n = 2; taken(id); ++n) id = fallback + "-" + std::to_string(n);
    return id;
}

void BoardSet::rescan() {
    const std::vector<BoardId> found = findBoards(filter_.type);
    std::vector<std::shared_ptr<BoardMonitor>> current;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++rescans_;
        current = boards_;
    }
    auto listed = [&found](const BoardId &b) {
        return std::any_of(found.begin(), found.end(),
                           [&](const BoardId &f) { return f.type == b.type && f.index == b.index; });
    };
    for (const auto &monitor : current) monitor->setPresent(listed(monitor->board()));
    for (const BoardId &board : found) {
        if (filter_.index && board.index != *filter_.index) continue;
        const bool served = std::any_of(current.begin(), current.end(), [&](const std::shared_ptr<BoardMonitor> &m) {
            return m->board().type == board.type && m->board().index == board.index && !m->replaced();
        });
        if (served) continue;
        // No other thread uses a board the service does not serve yet.
        const std::optional<std::string> serial = readSerial(board).serial;
        if (filter_.serial && serial != filter_.serial) continue;
        // Where it is attached, asked once: samples and scrapes never ask
        // the system again.
        const std::optional<BoardLocation> place = locateBoard(board.type, board.index);
        const std::optional<std::string> location = place ? std::optional<std::string>(place->brief) : std::nullopt;
        std::lock_guard<std::mutex> hold(lock_);
        if (stop_) return;
        boards_.push_back(std::make_shared<BoardMonitor>(newId(board, serial), board, serial, location, settings_,
                                                         [this](const std::shared_ptr<const BoardView> &view) {
                                                             notify(view);
                                                         }));
    }
}

std::vector<std::shared_ptr<BoardMonitor>> BoardSet::boards() const {
    std::lock_guard<std::mutex> hold(lock_);
    return boards_;
}

std::shared_ptr<BoardMonitor> BoardSet::find(const std::string &id) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto &board : boards_) {
        if (board->id() == id) return board;
    }
    return nullptr;
}

std::uint64_t BoardSet::rescans() const {
    std::lock_guard<std::mutex> hold(lock_);
    return rescans_;
}

std::uint64_t BoardSet::listen(Listener listener) {
    std::lock_guard<std::mutex> hold(listenersLock_);
    const std::uint64_t token = nextListener_++;
    listeners_.emplace(token, std::move(listener));
    return token;
}

void BoardSet::unlisten(std::uint64_t token) {
    std::lock_guard<std::mutex> hold(listenersLock_);
    listeners_.erase(token);
}

void BoardSet::notify(const std::shared_ptr<const BoardView> &view) {
    std::lock_guard<std::mutex> hold(listenersLock_);
    for (const auto &listener : listeners_) listener.second(view);
}

}  // namespace brevantctl::serve

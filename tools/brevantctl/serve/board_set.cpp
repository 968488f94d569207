// board_set.cpp - finding the boards of the bench service, again and again.
#include "board_set.h"

#include <algorithm>
#include <fstream>

#include "../transport.h"
#include "../outcome.h"

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


// A place as a part of an id: "bench:2" -> "bench-2", "1-4.1" stays.
std::string placeToken(const std::string &place) {
    std::string token;
    for (char c : place) token += urlSafe(std::string(1, c)) ? c : '-';
    return token;
}

// A serial number that tells boards apart: not unreadable, not blank.
std::optional<std::string> serialKey(const std::optional<std::string> &serial) {
    return serial && !serial->empty() ? serial : std::nullopt;
}

std::string trimmed(const std::string &text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> csvCells(const std::string &line) {
    std::vector<std::string> cells;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = line.find(',', at);
        cells.push_back(trimmed(line.substr(at, comma == std::string::npos ? std::string::npos : comma - at)));
        if (comma == std::string::npos) return cells;
        at = comma + 1;
    }
}
}  // namespace

std::vector<ExpectedBoard> readInventory(const std::string &file) {
    std::ifstream in(file);
    if (!in) throw FileFailure("cannot read the inventory " + file);
    std::vector<ExpectedBoard> boards;
    std::vector<std::string> columns;
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::string text = trimmed(line);
        if (text.empty() || text[0] == '#') continue;
        const std::string where = "the inventory " + file + ", line " + std::to_string(number) + ": ";
        const std::vector<std::string> cells = csvCells(text);
        if (columns.empty()) {
            columns = cells;
            for (const std::string &column : columns) {
                if (column != "serial" && column != "name" && column != "slot" && column != "mdio_port")
                    throw UsageError(where + "the header names the columns serial, name, slot and mdio_port, got '" +
                                     column + "'");
            }
            if (std::find(columns.begin(), columns.end(), "serial") == columns.end())
                throw UsageError(where + "the header must name a serial column (serial,name,slot,mdio_port)");
            continue;
        }
        if (cells.size() > columns.size()) throw UsageError(where + "more cells than the header names");
        ExpectedBoard board;
        for (std::size_t k = 0; k < cells.size(); ++k) {
            const std::string &cell = cells[k];
            if (cell.empty()) continue;
            if (columns[k] == "serial") board.serial = cell;
            else if (columns[k] == "name") board.name = cell;
            else if (columns[k] == "slot") board.slot = cell;
            else board.mdioPort = static_cast<unsigned>(parseNumber(cell, where + "mdio_port", 0, 0xFF));
        }
        checkSerial(board.serial, where + "the serial number");
        for (const ExpectedBoard &other : boards) {
            if (other.serial == board.serial) throw UsageError(where + "serial number " + board.serial + " is listed twice");
        }
        boards.push_back(std::move(board));
    }
    return boards;
}

BoardSet::BoardSet(ServiceSettings settings, BoardFilter filter, std::vector<ExpectedBoard> inventory)
    : settings_(std::move(settings)), filter_(std::move(filter)) {
    // The boards the inventory lists have their entries from the start:
    // missing until found.
    for (std::size_t k = 0; k < inventory.size(); ++k) {
        const ExpectedBoard &expected = inventory[k];
        BoardPlan plan;
        plan.expected = true;
        plan.listed = false;
        plan.name = expected.name;
        plan.slot = expected.slot;
        plan.mdioPort = expected.mdioPort;
        const std::string id = urlSafe(expected.serial) ? expected.serial : "inventory-" + std::to_string(k + 1);
        boards_.push_back(makeMonitor(id, {1, 0}, expected.serial, std::nullopt, plan));
    }
}

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
    for (const auto &board : boards) board->stop();  // joins every board's thread
}

void BoardSet::start() {
    rescan();
    thread_ = std::thread([this] {
        const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(settings_.rescanInterval));
        std::unique_lock<std::mutex> hold(lock_);
        while (!stop_) {
            // A board's thread that found another board at its index asks
            // for a look at once.
            wake_.wait_for(hold, interval, [this] { return stop_ || lookAgain_; });
            if (stop_) break;
            hold.unlock();
            rescan();
            hold.lock();
        }
    });
}

std::shared_ptr<BoardMonitor> BoardSet::makeMonitor(std::string id, BoardId board, std::optional<std::string> serial,
                                                    std::optional<std::string> location, BoardPlan plan) {
    BoardMonitor::Hooks hooks;
    hooks.onLost = [this] { lookAgain(); };
    hooks.onSerial = [this](BoardMonitor &monitor) { renamed(monitor); };
    return std::make_shared<BoardMonitor>(
        std::move(id), board, std::move(serial), std::move(location), settings_,
        [this](const std::shared_ptr<const BoardView> &view) { notify(view); }, std::move(plan), std::move(hooks));
}

std::string BoardSet::newId(int type, const std::optional<std::string> &serial,
                            const std::optional<std::string> &location, const BoardMonitor *self) const {
    // A board whose serial number does not answer is named by its place,
    // which stays while other boards come and go.
    const std::string fallback =
        "type" + std::to_string(type) + "-" + (location ? placeToken(*location) : std::string("unplaced"));
    std::string id = serial && urlSafe(*serial) ? *serial : fallback;
    // Two boards with one serial number keep apart by their place.
    auto taken = [&](const std::string &name) {
        return std::any_of(boards_.begin(), boards_.end(), [&](const std::shared_ptr<BoardMonitor> &b) {
            return b.get() != self && b->id() == name;
        });
    };
    if (taken(id)) id = id == fallback ? fallback : id + "-" + fallback;
    for (int n = 2; taken(id); ++n) id = fallback + "-" + std::to_string(n);
    return id;
}

void BoardSet::lookAgain() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        lookAgain_ = true;
    }
    wake_.notify_all();
}

void BoardSet::renamed(BoardMonitor &monitor) {
    const std::shared_ptr<const BoardView> view = monitor.view();
    std::string id;
    {
        std::lock_guard<std::mutex> hold(lock_);
        id = newId(view->board.type, view->serial, view->location, &monitor);
    }
    monitor.setId(id);
}

void BoardSet::rescan() {
    // What is listed now, and where each board is attached (asked of the
    // system, not of the boards: nothing goes over USB for it).
    struct Found {
        BoardId board;
        std::optional<std::string> location;
        std::optional<std::string> serial;
    };
    std::vector<Found> found;
    std::string listing;
    for (const BoardId &board : findBoards(filter_.type)) {
        if (filter_.index && board.index != *filter_.index) continue;
        const std::optional<BoardLocation> place = locateBoard(board.type, board.index);
        found.push_back({board, place ? std::optional<std::string>(place->brief) : std::nullopt, std::nullopt});
        listing += std::to_string(board.type) + ":" + std::to_string(board.index) + "@" +
                   (place ? place->detail : std::string()) + ";";
    }
    std::vector<std::shared_ptr<BoardMonitor>> current;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++rescans_;
        // Nothing came or went, and every board's thread finds its own board:
        // every entry is where it was.
        if (listing_ == listing && !lookAgain_) return;
        listing_ = listing;
        lookAgain_ = false;
        current = boards_;
    }
    // Who each listed board is. A board's own thread may hold it meanwhile:
    // this is another instance, which waits its turn.
    for (Found &f : found) f.serial = readSerial(f.board).serial;

    std::vector<std::shared_ptr<const BoardView>> views;
    for (const auto &monitor : current) views.push_back(monitor->view());
    std::vector<std::ptrdiff_t> match(found.size(), -1);
    std::vector<bool> taken(current.size(), false);
    auto pair = [&](std::size_t f, std::size_t m) {
        match[f] = static_cast<std::ptrdiff_t>(m);
        taken[m] = true;
    };
    auto pass = [&](auto fits) {
        for (std::size_t f = 0; f < found.size(); ++f) {
            if (match[f] >= 0) continue;
            for (std::size_t m = 0; m < current.size(); ++m) {
                if (!taken[m] && fits(found[f], m)) {
                    pair(f, m);
                    break;
                }
            }
        }
    };
    // The same board at the same place; then at another place (it was
    // moved, or the boards before it went).
    pass([&](const Found &f, std::size_t m) {
        return serialKey(f.serial) && serialKey(views[m]->serial) == serialKey(f.serial) && views[m]->location == f.location;
    });
    pass([&](const Found &f, std::size_t m) {
        return serialKey(f.serial) && serialKey(views[m]->serial) == serialKey(f.serial);
    });
    // A board whose serial number did not answer now: the entry that holds
    // its index and place (its thread checks the serial number itself), or
    // the entry of a board without one at its place.
    pass([&](const Found &f, std::size_t m) {
        if (serialKey(f.serial)) return false;
        const BoardId b = current[m]->board();
        if (current[m]->bound() && b.type == f.board.type && b.index == f.board.index && views[m]->location == f.location)
            return true;
        return f.location && !serialKey(views[m]->serial) && views[m]->location == f.location &&
               views[m]->board.type == f.board.type;
    });

    std::vector<std::shared_ptr<BoardMonitor>> stale;
    for (std::size_t f = 0; f < found.size(); ++f) {
        if (match[f] >= 0) current[static_cast<std::size_t>(match[f])]->bind(found[f].board, found[f].location);
    }
    for (std::size_t m = 0; m < current.size(); ++m) {
        if (taken[m]) continue;
        current[m]->bind(std::nullopt, std::nullopt);
        // An entry of a board without a serial number is its place: another
        // board there now ends it.
        const bool placeTaken = std::any_of(found.begin(), found.end(), [&](const Found &f) {
            return f.location && f.location == views[m]->location;
        });
        if (!current[m]->plan().expected && !serialKey(views[m]->serial) && placeTaken) stale.push_back(current[m]);
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stop_) return;
        for (const auto &gone : stale) boards_.erase(std::find(boards_.begin(), boards_.end(), gone));
        for (std::size_t f = 0; f < found.size(); ++f) {
            if (match[f] >= 0) continue;
            if (filter_.serial && found[f].serial != filter_.serial) continue;
            const Found &board = found[f];
            boards_.push_back(makeMonitor(newId(board.board.type, board.serial, board.location, nullptr), board.board,
                                          board.serial, board.location, {}));
        }
    }
    // Stopped here, outside the lock: a request may still hold an entry
    // dropped now, and its last reference must not wait for the board.
    for (const auto &gone : stale) gone->stop();
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

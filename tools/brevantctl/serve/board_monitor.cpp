// board_monitor.cpp - a board's own thread: connection, sampling, module
// identity, history, CSV file and the commands of the API.
#include "board_monitor.h"

#include <cmath>
#include <cstdio>
#include <future>

#include "../context.h"
#include "../transport.h"
#include "csv_log.h"

namespace brevantctl::serve {

namespace {

const char *const kApiCommands[] = {"port set", "vendor-io", "ftdi", "power", "mdio write", "sn set", "sn clear",
                                    "eeprom write"};

bool sameColumns(const HistoryColumns &columns, const std::vector<Reading> &readings) {
    std::size_t k = 0;
    for (const Reading &r : readings) {
        if (!hasColumn(r)) continue;
        if (k >= columns.keys.size() || columns.keys[k] != r.key) return false;
        ++k;
    }
    return k == columns.keys.size();
}

std::shared_ptr<const HistoryColumns> columnsOf(const std::vector<Reading> &readings) {
    auto columns = std::make_shared<HistoryColumns>();
    for (const Reading &r : readings) {
        if (!hasColumn(r)) continue;
        columns->keys.push_back(r.key);
        columns->units.push_back(r.unit);
        HistoryColumns::Kind kind = HistoryColumns::Kind::Real;
        if (r.value.is_boolean()) kind = HistoryColumns::Kind::Boolean;
        else if (r.value.is_number_integer()) kind = HistoryColumns::Kind::Integer;
        columns->kinds.push_back(kind);
    }
    return columns;
}

// The HTTP status of a failed command, from the error it ended with.
CommandOutcome failedCommand(int status, const std::string &message) {
    CommandOutcome out;
    out.status = status;
    out.body["error"]["code"] = status;
    out.body["error"]["message"] = message;
    return out;
}

}  // namespace

bool isApiCommand(const std::string &name) {
    for (const char *command : kApiCommands) {
        if (name == command) return true;
    }
    return false;
}

BoardMonitor::BoardMonitor(std::string id, BoardId board, std::optional<std::string> serial,
                           std::optional<std::string> location, const ServiceSettings &settings,
                           SampleListener onSample, BoardPlan plan, Hooks hooks)
    : settings_(settings),
      plan_(std::move(plan)),
      hooks_(std::move(hooks)),
      sampling_(settings.sampling),
      onSample_(std::move(onSample)),
      id_(std::move(id)),
      bound_(plan_.listed),
      board_(board),
      location_(std::move(location)),
      serial_(serial) {
    if (plan_.mdioPort) sampling_.options["--mdio-port"] = std::to_string(*plan_.mdioPort);
    if (!bound_) gone_ = "missing: the inventory lists it, and no board with serial number " +
                         displaySerial(serial.value_or("")) + " is attached";
    auto view = std::make_shared<BoardView>();
    view->id = id_;
    view->board = board_;
    view->seen = bound_;
    view->serial = serial;
    view->location = location_;
    view->simulated = simulated();
    view->expected = plan_.expected;
    view->name = plan_.name;
    view->slot = plan_.slot;
    if (!bound_) {
        view->state = "missing";
        view->problem = gone_;
    }
    view_ = view;
    thread_ = std::thread([this] { loop(); });
}

BoardMonitor::~BoardMonitor() { stop(); }

void BoardMonitor::stop() {
    std::call_once(stopped_, [this] {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
        // Commands that were still waiting get their answer.
        std::deque<std::function<void()>> left;
        {
            std::lock_guard<std::mutex> hold(lock_);
            left.swap(jobs_);
        }
        for (auto &job : left) job();
    });
}

std::shared_ptr<const BoardView> BoardMonitor::view() const {
    std::lock_guard<std::mutex> hold(lock_);
    return view_;
}

std::string BoardMonitor::id() const {
    std::lock_guard<std::mutex> hold(lock_);
    return id_;
}

void BoardMonitor::setId(std::string id) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (id_ == id) return;
        id_ = std::move(id);
    }
    publish(copyView());
}

BoardId BoardMonitor::board() const {
    std::lock_guard<std::mutex> hold(lock_);
    return board_;
}

bool BoardMonitor::bound() const {
    std::lock_guard<std::mutex> hold(lock_);
    return bound_;
}

std::shared_ptr<BoardView> BoardMonitor::copyView() const {
    std::lock_guard<std::mutex> hold(lock_);
    return std::make_shared<BoardView>(*view_);
}

std::vector<HistoryEntry> BoardMonitor::history(std::chrono::system_clock::time_point since) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<HistoryEntry> out;
    for (const HistoryEntry &entry : history_) {
        if (entry.time >= since) out.push_back(entry);
    }
    return out;
}

BoardMonitor::HistoryPage BoardMonitor::history(std::chrono::system_clock::time_point since, std::size_t limit) const {
    // Only the page is copied under the lock: at most `limit` samples' values.
    std::lock_guard<std::mutex> hold(lock_);
    HistoryPage page;
    for (const HistoryEntry &entry : history_) {
        if (entry.time < since) continue;
        if (page.entries.size() == limit) {
            page.next = entry.time;
            break;
        }
        page.entries.push_back(entry);
    }
    return page;
}

void BoardMonitor::bind(std::optional<BoardId> board, std::optional<std::string> location) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        const bool same = board ? bound_ && board_.type == board->type && board_.index == board->index &&
                                      location_ == location
                                : !bound_;
        if (same) return;
        ++binding_;
        bound_ = board.has_value();
        if (board) {
            board_ = *board;
            location_ = std::move(location);
        } else {
            // Where it was stays in the view: the last place it was seen.
            const std::string place = location_ ? " (last at " + *location_ + ")" : "";
            gone_ = plan_.expected ? "missing: no board with serial number " + displaySerial(view_->serial.value_or("")) +
                                         " is attached any more" + place
                                   : "gone: the board is not listed any more" + place;
        }
    }
    publish(copyView());
    wake_.notify_all();
}

void BoardMonitor::publish(std::shared_ptr<BoardView> view) {
    std::shared_ptr<const BoardView> shared;
    {
        std::lock_guard<std::mutex> hold(lock_);
        // The entry's name and place are the rescan's: a sample that was
        // under way meanwhile does not bring back the old ones. A board no
        // longer listed is down (or missing), whatever such a sample found:
        // it is not sampled again, so that sample's "up" would otherwise
        // stand for good.
        view->id = id_;
        view->board = board_;
        view->location = location_;
        if (bound_) view->seen = true;
        if (!bound_) {
            view->state = plan_.expected ? "missing" : "down";
            view->problem = gone_;
            // What was read of its module is no longer so.
            view->moduleRegisters = Json();
        }
        shared = std::move(view);
        view_ = shared;
    }
    if (onSample_) onSample_(shared);
}

CommandOutcome BoardMonitor::runCommand(const std::string &name, const std::vector<std::string> &args,
                                        std::chrono::milliseconds timeout) {
    auto promise = std::make_shared<std::promise<CommandOutcome>>();
    std::future<CommandOutcome> answer = promise->get_future();
    const auto ticket = submitCommand(name, args, [promise](CommandOutcome out) { promise->set_value(std::move(out)); });
    // A command that started is waited for: its answer says what it did.
    if (ticket && answer.wait_for(timeout) != std::future_status::ready && ticket->abandon())
        return failedCommand(503, describeBoard(board()) + " is busy: the command did not run in time and will not run");
    return answer.get();
}

std::shared_ptr<CommandTicket> BoardMonitor::submitCommand(const std::string &name, const std::vector<std::string> &args,
                                                           CommandDone done) {
    const Command *command = findCommandByName(name);
    if (command == nullptr || !isApiCommand(name)) {
        done(failedCommand(400, "'" + name + "' is not a command the service runs"));
        return nullptr;
    }
    if (args.size() < command->minArgs || args.size() > command->maxArgs) {
        done(failedCommand(400, std::string(args.size() < command->minArgs ? "missing arguments" : "too many arguments") +
                                    ": " + name + " takes " + (*command->synopsis ? command->synopsis : "none")));
        return nullptr;
    }
    auto ticket = std::make_shared<CommandTicket>(pending_);
    auto job = [this, command, args, done, ticket] {
        if (ticket->claimed_.exchange(true)) return;  // given up on: it never runs
        CommandOutcome out;
        if (!link_) {
            out = failedCommand(503, "not connected: " + describeBoard(board()) + " is not connected");
        } else {
            Invocation inv;
            inv.json = true;
            inv.yes = true;  // the request is the confirmation
            try {
                Context context(inv, args, *link_);
                command->run(context);
                out.body = context.json();
                out.body["board"] = boardJson(link_->id(), link_->knownSerial());
                if (context.deferredFailure()) out = failedCommand(503, *context.deferredFailure());
                // sn set, sn clear and eeprom write change it: the entry follows.
                if (link_->serial() != serial_) serialChanged();
            } catch (const UsageError &e) {
                out = failedCommand(400, e.what());
            } catch (const BoardFailure &e) {
                // "not available: ... type-1 boards only" is the board's kind,
                // not its health.
                const std::string text = e.what();
                out = failedCommand(text.rfind("not available", 0) == 0 ? 409 : 503, text);
                if (text.rfind("not available", 0) != 0) reconnect_ = true;
            } catch (const std::exception &e) {
                out = failedCommand(503, e.what());
            }
        }
        --*pending_;
        done(std::move(out));
    };
    std::optional<CommandOutcome> refusal;
    {
        std::lock_guard<std::mutex> hold(lock_);
        // Jobs given up on still sit in the queue until the board's thread
        // drops them; they count no more.
        if (stop_) {
            refusal = failedCommand(503, "the service is stopping");
        } else if (*pending_ >= kMaxPendingCommands) {
            refusal = failedCommand(429, describeBoard(board_) + " has " + std::to_string(kMaxPendingCommands) +
                                             " commands waiting or running already: send this one when one has ended");
        } else {
            ++*pending_;
            jobs_.emplace_back(std::move(job));
        }
    }
    if (refusal) {
        done(std::move(*refusal));  // outside the lock: `done` may look at the board's view
        return nullptr;
    }
    wake_.notify_all();
    return ticket;
}

void BoardMonitor::runJobs() {
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

void BoardMonitor::loop() {
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(settings_.interval));
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        bool bound = false;
        BoardId board{};
        std::uint64_t binding = 0;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (stop_) break;
            bound = bound_;
            board = board_;
            binding = binding_;
        }
        // The board moved (or went): the link to where it was is dropped.
        if (binding != linkBinding_) {
            link_.reset();
            reconnect_ = false;
            linkBinding_ = binding;
        }
        if (bound) sampleOnce(board, binding);
        // The next tick; ticks missed by a slow sample are skipped, not made up.
        const auto now = std::chrono::steady_clock::now();
        next += interval;
        if (next < now) next = now + interval - (now - next) % interval;
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            if (stop_) break;
            if (!jobs_.empty()) {
                hold.unlock();
                runJobs();
                hold.lock();
                continue;
            }
            if (binding_ != binding) break;
            if (wake_.wait_until(hold, next) == std::cv_status::timeout) break;
        }
    }
    link_.reset();
}

void BoardMonitor::sampleOnce(const BoardId &board, std::uint64_t binding) {
    auto view = copyView();
    const auto started = std::chrono::steady_clock::now();
    if (!link_) {
        try {
            link_ = std::make_unique<Link>(board, std::nullopt);
        } catch (const std::exception &e) {
            view->state = "down";
            view->problem = e.what();
            publish(view);
            return;
        }
        // A board at this index with another serial number is another board.
        const std::optional<std::string> serial = link_->serial();
        if (serial_ && serial != serial_) return lost(view, binding, board, serial);
        if (!serial_ && serial) {
            // A board whose serial number did not answer before: it has one now.
            serial_ = serial;
            view->serial = serial;
            if (hooks_.onSerial) hooks_.onSerial(*this);
        }
        view->serial = serial_;
        moduleWasPresent_ = false;
    } else if (reconnect_) {
        ++view->reconnects;
        // When a board is unplugged the boards after it move up one device
        // index, so the index may now reach another board: the reconnect
        // reads the serial number, and a board found to have another one is
        // not sampled as this one. A serial number that cannot be read
        // proves nothing; the sample then tells whether the board answers.
        std::optional<std::string> other;
        if (!link_->reconnect(&other) && other) return lost(view, binding, board, other);
    }
    reconnect_ = false;

    Context context(sampling_, {}, *link_);
    std::vector<Reading> readings;
    try {
        readings = takeSample(context, *link_);
    } catch (const std::exception &e) {
        readings.push_back(Reading::failed("board", "board", "", e.what()));
    }
    const auto time = std::chrono::system_clock::now();
    std::size_t failed = 0, taken = 0;
    std::string firstFailure;
    bool modulePresent = false;
    for (const Reading &r : readings) {
        if (r.state == Reading::State::Failed) {
            if (failed++ == 0) firstFailure = r.label + ": " + r.why;
        } else if (r.state == Reading::State::Ok) {
            ++taken;
            if (r.key.rfind("module_", 0) == 0) modulePresent = true;
        }
        if (r.key == "module" && r.state == Reading::State::Unavailable) {
            module_ = Json();
            moduleProblem_ = r.why;
        }
    }
    if (failed > 0) reconnect_ = true;
    // The module's identity: when a module appears (a swap shows as a gap or
    // a failed sample) and every so many samples after, so a module swapped
    // between two samples is read afresh.
    if (modulePresent && (!moduleWasPresent_ || module_.is_null() || ++sinceIdentity_ >= settings_.identityEvery)) {
        sinceIdentity_ = 0;
        readModuleIdentity(*link_);
    }
    moduleWasPresent_ = modulePresent;
    // The alarm and status registers, every sample: an alarm is news.
    if (modulePresent) {
        readModuleRegisters(*link_);
    } else {
        moduleRegisters_ = Json();
        moduleRegistersProblem_ = "not read: no module answers" + (moduleProblem_.empty() ? "" : " (" + moduleProblem_ + ")");
    }

    view->time = time;
    view->serial = serial_;
    view->readings = readings;
    view->module = module_;
    view->moduleProblem = moduleProblem_;
    view->moduleRegisters = moduleRegisters_;
    view->moduleRegistersProblem = moduleRegistersProblem_;
    ++view->samples;
    if (failed > 0) ++view->failedSamples;
    view->sampleSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (taken == 0) {
        view->state = "down";
        view->problem = "not answering: " + firstFailure;  // "not answering: supply voltage: no reply"
    } else {
        view->state = "up";
        view->problem = failed > 0 ? std::to_string(failed) + " failed (" + firstFailure + ")" : "";
    }

    HistoryEntry entry;
    entry.time = time;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!columns_ || !sameColumns(*columns_, readings)) columns_ = columnsOf(readings);
        entry.columns = columns_;
    }
    for (const Reading &r : readings) {
        if (!hasColumn(r)) continue;
        const bool ok = r.state == Reading::State::Ok && r.value.is_number();
        double value = std::nan("");
        if (ok) value = r.value.get<double>();
        else if (r.state == Reading::State::Ok && r.value.is_boolean()) value = r.value.get<bool>() ? 1 : 0;
        entry.values.push_back(value);
        entry.failed.push_back(r.state == Reading::State::Failed ? 1 : r.state == Reading::State::Unavailable ? 2 : 0);
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        history_.push_back(std::move(entry));
        while (history_.size() > settings_.historyLength) history_.pop_front();
    }
    if (settings_.csvDir) {
        // After sn set the entry goes by its new serial number, and so do
        // the samples written from then on.
        const std::string name = id();
        if (!csv_ || csv_->board() != name) csv_ = std::make_unique<CsvLog>(*settings_.csvDir, name);
        csv_->append(time, readings);
    }
    publish(view);
}

void BoardMonitor::lost(std::shared_ptr<BoardView> view, std::uint64_t binding, const BoardId &board,
                        const std::optional<std::string> &serial) {
    link_.reset();
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (binding_ == binding) {
            ++binding_;
            bound_ = false;
            gone_ = "gone: " + describeBoard(board) + " is now the board with serial number " +
                    (serial ? displaySerial(*serial) : "(unreadable)") + "; this board is looked for again";
        }
    }
    publish(std::move(view));
    if (hooks_.onLost) hooks_.onLost();
}

void BoardMonitor::serialChanged() {
    serial_ = link_->serial();
    auto view = copyView();
    view->serial = serial_;
    publish(std::move(view));
    if (hooks_.onSerial) hooks_.onSerial(*this);
}

void BoardMonitor::readModuleIdentity(Link &link) {
    const Command *info = findCommandByName("module info");
    if (info == nullptr) return;
    Invocation inv;
    inv.json = true;
    if (auto port = sampling_.value("--mdio-port")) inv.options["--mdio-port"] = *port;
    try {
        Context context(inv, {}, link);
        info->run(context);
        Json identity = context.json();
        identity.erase("board");
        module_ = identity;
        moduleProblem_.clear();
    } catch (const std::exception &e) {
        module_ = Json();
        moduleProblem_ = e.what();
        reconnect_ = true;
    }
}


void BoardMonitor::readModuleRegisters(Link &link) {
    const Command *status = findCommandByName("module status");
    if (status == nullptr) return;
    Invocation inv;
    inv.json = true;
    if (auto port = sampling_.value("--mdio-port")) inv.options["--mdio-port"] = *port;
    try {
        Context context(inv, {}, link);
        status->run(context);
        const Json &read = context.json()["registers"];
        if (!read.is_array()) {
            moduleRegisters_ = Json();
            moduleRegistersProblem_ = "not read: the module does not answer its state register (in Reset or "
                                      "Initialize, or without power?)";
            return;
        }
        // Named as the metrics name them: "module fault status", "network
        // lane 0 alarms and warnings".
        Json registers = Json::array();
        for (const Json &entry : read) {
            Json out = Json::object();
            char reg[8];
            std::snprintf(reg, sizeof reg, "0x%04X", entry["register"].get<unsigned>());
            out["register"] = reg;
            std::string name = entry["name"].get<std::string>();
            if (!entry["lane"].is_null()) name = "network " + name;
            out["name"] = name;
            out["word"] = entry["word"];
            out["nonZero"] = entry["nonZero"];
            registers.push_back(out);
        }
        moduleRegisters_ = registers;
        moduleRegistersProblem_.clear();
    } catch (const std::exception &e) {
        moduleRegisters_ = Json();
        moduleRegistersProblem_ = std::string("not read: ") + e.what();
        reconnect_ = true;
    }
}

}  // namespace brevantctl::serve

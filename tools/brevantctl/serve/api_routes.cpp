// api_routes.cpp - the routes of the bench service and the JSON they answer.
#include "api_routes.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "../columns.h"
#include "../context.h"
#include "../transport.h"
#include "metrics.h"
#include "page_assets.h"

namespace brevantctl::serve {

namespace {

constexpr std::size_t kHistoryPage = 1000, kHistoryPageMax = 10000;

HttpResponse jsonResponse(const Json &body, unsigned status = 200) {
    HttpResponse response;
    response.status = status;
    response.body = dumpJson(body);
    return response;
}

// The board as --json prints it, with where it is attached as list --json
// says it (null when not known).
Json boardOf(const BoardView &view) {
    Json board = boardJson(view.board, view.serial);
    if (!view.simulated) board.erase("simulated");
    board["location"] = view.location ? Json(*view.location) : Json();
    if (!view.seen) board["type"] = board["index"] = Json();  // an inventory board never found
    return board;
}

Json historyReadings(const HistoryEntry &entry) {
    Json readings = Json::object();
    const HistoryColumns &columns = *entry.columns;
    for (std::size_t k = 0; k < columns.keys.size(); ++k) {
        Json item = Json::object();
        if (entry.failed[k] != 0) {
            item["status"] = entry.failed[k] == 1 ? "failed" : "unavailable";
        } else {
            item["status"] = "ok";
            const double v = entry.values[k];
            switch (columns.kinds[k]) {
                case HistoryColumns::Kind::Boolean: item["value"] = v != 0; break;
                case HistoryColumns::Kind::Integer: item["value"] = static_cast<long long>(v); break;
                default: item["value"] = std::isnan(v) ? Json() : Json(v); break;
            }
        }
        if (!columns.units[k].empty()) item["unit"] = columns.units[k];
        readings[columns.keys[k]] = item;
    }
    return readings;
}

// How the page shows each reading, as status and watch do: the label, the
// unit and the decimals of every key the boards' last samples carry, and the
// decimals of each unit. A module monitor carries its unit in its key
// ("module_lane0_txPower_dBm"), so the unit is taken from there.
Json columnsJson(const BoardSet &boards) {
    Json columns = Json::object();
    for (const auto &board : boards.boards()) {
        // The view is held for the loop: the board's thread may publish a
        // new one meanwhile, which frees the old one's readings.
        const std::shared_ptr<const BoardView> view = board->view();
        for (const Reading &r : view->readings) {
            if (columns.contains(r.key)) continue;
            std::string unit = r.unit;
            const std::size_t underscore = r.key.rfind('_');
            if (unit.empty() && underscore != std::string::npos && unitDecimals(r.key.substr(underscore + 1)) >= 0)
                unit = r.key.substr(underscore + 1);
            Json column = Json::object();
            column["label"] = r.label;
            if (!unit.empty()) column["unit"] = unit;
            const int decimals = r.decimals >= 0 ? r.decimals : unitDecimals(unit);
            if (decimals >= 0) column["decimals"] = decimals;
            columns[r.key] = column;
        }
    }
    Json units = Json::object();
    for (const auto &[unit, decimals] : allUnitDecimals()) units[unit] = decimals;
    Json out = Json::object();
    out["columns"] = columns;
    out["decimals"] = units;
    return out;
}

// A write as the service's log and the live stream keep it: one line on
// standard error, and a "command" event.
void audit(const std::shared_ptr<const ServerHooks> &hooks, const HttpRequest &request, const std::string &board,
           const std::string &command, const std::vector<std::string> &args, const CommandOutcome &outcome) {
    const std::string time = timestamp(std::chrono::system_clock::now());
    std::string arguments;
    for (const std::string &arg : args) arguments += " " + arg;
    const std::string result = outcome.status == 200 ? "ok"
                               : outcome.body.contains("error") ? outcome.body["error"].value("message", std::string())
                                                                : std::string();
    std::fprintf(stderr, "%s write from %s: board %s: %s%s: %d %s\n", time.c_str(), request.peer.c_str(), board.c_str(),
                 command.c_str(), arguments.c_str(), outcome.status, result.c_str());
    std::fflush(stderr);
    if (!hooks || !hooks->broadcast) return;
    Json event = Json::object();
    event["time"] = time;
    event["peer"] = request.peer;
    event["id"] = board;
    event["command"] = command;
    event["args"] = args;
    event["status"] = outcome.status;
    event["result"] = outcome.body;
    hooks->broadcast("command", board, dumpJson(event));
}

// Days since 1970 of a Gregorian date (civil-from-days in reverse).
long daysFromCivil(long y, long mo, long d) {
    y -= mo <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::string csvNumber(double value, HistoryColumns::Kind kind) {
    if (std::isnan(value)) return "";
    if (kind == HistoryColumns::Kind::Real) {
        char text[40];
        std::snprintf(text, sizeof text, "%.10g", value);
        return text;
    }
    return std::to_string(static_cast<long long>(value));
}

}  // namespace

std::optional<std::chrono::system_clock::time_point> parseApiTime(const std::string &text) {
    using Clock = std::chrono::system_clock;
    if (text.empty()) return std::nullopt;
    double seconds = 0;
    char *end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (*end == '\0') {
        if (!std::isfinite(number) || number < 0) return std::nullopt;
        seconds = number;
    } else {
        int y, mo, d, h, mi, used = 0;
        double s;
        if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 ||
            static_cast<std::size_t>(used) + 1 != text.size() || text.back() != 'Z')
            return std::nullopt;
        static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap) || h > 23 || mi > 59 ||
            h < 0 || mi < 0 || !(s >= 0 && s < 61))
            return std::nullopt;
        seconds = static_cast<double>(daysFromCivil(y, mo, d)) * 86400.0 + h * 3600.0 + mi * 60.0 + s;
    }
    // The clock counts in small steps in 64 bits and ends some centuries
    // from now: a time past that is its last moment, never a wrapped one.
    const double last = std::chrono::duration<double>(Clock::time_point::max().time_since_epoch()).count();
    if (seconds >= last * 0.999) return Clock::time_point::max();
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

Json boardSummaryJson(const BoardView &view) {
    Json out = Json::object();
    out["id"] = view.id;
    out["board"] = boardOf(view);
    out["state"] = view.state;
    out["problem"] = view.problem.empty() ? Json() : Json(view.problem);
    out["time"] = view.time ? Json(timestamp(*view.time)) : Json();
    out["samples"] = view.samples;
    out["failedSamples"] = view.failedSamples;
    out["module"] = view.module.is_null() ? Json() : Json(view.module);
    if (!view.moduleProblem.empty()) out["moduleProblem"] = view.moduleProblem;
    out["moduleRegisters"] = view.moduleRegisters;
    if (!view.moduleRegistersProblem.empty()) out["moduleRegistersProblem"] = view.moduleRegistersProblem;
    if (view.expected) {
        out["expected"] = true;
        out["name"] = view.name ? Json(*view.name) : Json();
        out["slot"] = view.slot ? Json(*view.slot) : Json();
    }
    return out;
}

Json sampleJson(const BoardView &view) {
    Json out = Json::object();
    out["id"] = view.id;
    out["time"] = view.time ? Json(timestamp(*view.time)) : Json();
    out["board"] = boardOf(view);
    out["state"] = view.state;
    out["readings"] = readingsJson(view.readings);
    return out;
}

std::string ApiRoutes::eventData(const BoardView &view) const {
    Json event = sampleJson(view);
    event["problem"] = view.problem.empty() ? Json() : Json(view.problem);
    event["module"] = view.module;
    event["moduleRegisters"] = view.moduleRegisters;
    if (!view.moduleRegistersProblem.empty()) event["moduleRegistersProblem"] = view.moduleRegistersProblem;
    if (view.expected) {
        event["name"] = view.name ? Json(*view.name) : Json();
        event["slot"] = view.slot ? Json(*view.slot) : Json();
    }
    return dumpJson(event);
}

bool ApiRoutes::isPublic(const HttpRequest &request) const {
    return request.method != "POST" && pageAsset(request.path) != nullptr;
}

HttpResponse ApiRoutes::handle(const HttpRequest &request) {
    const std::string &path = request.path;
    if (const PageAsset *asset = pageAsset(path)) {
        if (request.method == "POST") return errorResponse(405, "the page is read only");
        HttpResponse response;
        response.contentType = asset->contentType;
        response.body.assign(asset->data, asset->size);
        // The page runs only its own files: no other site's scripts, styles,
        // fonts or frames.
        response.headers.emplace_back("Content-Security-Policy",
                                      "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
        return response;
    }
    if (path == "/metrics") {
        if (request.method == "POST") return errorResponse(405, "/metrics is read only");
        HttpResponse response;
        response.contentType = "text/plain; version=0.0.4; charset=utf-8";
        response.body = boardsMetrics();
        if (const auto hooks = this->hooks(); hooks && hooks->metrics) response.body += hooks->metrics();
        return response;
    }
    if (path == "/api/v1" || path == "/api/v1/") {
        Json out = Json::object();
        out["service"] = "brevantctl serve";
        out["interval"] = boards_.settings().interval;
        out["historyLength"] = boards_.settings().historyLength;
        out["allowWrites"] = rules_.allowWrites;
        out["tokenRequired"] = rules_.token.has_value();
        out["simulated"] = simulated();
        out["commands"] = Json::array({"port set", "vendor-io", "ftdi", "power", "mdio write", "sn set", "sn clear",
                                       "eeprom write"});
        return jsonResponse(out);
    }
    if (path == "/api/v1/columns") {
        if (request.method != "GET" && request.method != "HEAD") return errorResponse(405, "the columns are read only");
        return jsonResponse(columnsJson(boards_));
    }
    if (path == "/api/v1/boards") {
        if (request.method != "GET" && request.method != "HEAD") return errorResponse(405, "the board list is read only");
        Json list = Json::array();
        for (const auto &board : boards_.boards()) list.push_back(boardSummaryJson(*board->view()));
        Json out = Json::object();
        out["boards"] = list;
        if (simulated()) out["simulated"] = true;
        return jsonResponse(out);
    }
    const std::string prefix = "/api/v1/boards/";
    if (path.rfind(prefix, 0) == 0) {
        const std::string rest = path.substr(prefix.size());
        const std::size_t slash = rest.find('/');
        return boardRoute(request, rest.substr(0, slash), slash == std::string::npos ? "" : rest.substr(slash + 1));
    }
    return errorResponse(404, "nothing at " + path);
}

HttpResponse ApiRoutes::boardRoute(const HttpRequest &request, const std::string &id, const std::string &what) {
    const std::shared_ptr<BoardMonitor> monitor = boards_.find(id);
    if (!monitor) return errorResponse(404, "no board '" + id + "' (GET /api/v1/boards lists them)");
    const bool post = request.method == "POST";
    if (what == "commands") {
        if (!post) return errorResponse(405, "commands are sent with POST");
        return command(request, monitor);
    }
    if (post) return errorResponse(405, "only commands are sent with POST");
    const std::shared_ptr<const BoardView> view = monitor->view();
    if (what.empty()) return jsonResponse(boardSummaryJson(*view));
    if (what == "sample") {
        if (!view->time) return errorResponse(503, "the board " + id + " has no sample yet: " + view->problem);
        return jsonResponse(sampleJson(*view));
    }
    if (what == "module") {
        if (view->module.is_null())
            return errorResponse(404, "no module identity for " + id +
                                          (view->moduleProblem.empty() ? "" : ": " + view->moduleProblem));
        Json out = Json::object();
        out["board"] = boardOf(*view);
        for (const auto &member : view->module.items()) out[member.key()] = member.value();
        return jsonResponse(out);
    }
    if (what == "history" || what == "history.csv") return history(request, *monitor, *view, what == "history.csv");
    return errorResponse(404, "nothing at " + request.path);
}

}  // namespace brevantctl::serve

namespace brevantctl::serve {

std::string ApiRoutes::routeLabel(const HttpRequest &request) const {
    const std::string &path = request.path;
    if (pageAsset(path) || path == "/metrics" || path == "/api/v1" || path == "/api/v1/columns" ||
        path == "/api/v1/boards" || path == streamPath())
        return path;
    const std::string prefix = "/api/v1/boards/";
    if (path.rfind(prefix, 0) != 0) return "other";
    const std::size_t slash = path.find('/', prefix.size());
    if (slash == std::string::npos) return prefix + "{id}";
    const std::string what = path.substr(slash + 1);
    for (const char *known : {"sample", "module", "history", "history.csv", "commands"}) {
        if (what == known) return prefix + "{id}/" + what;
    }
    return "other";
}

std::string ApiRoutes::boardsMetrics() {
    std::vector<std::shared_ptr<const BoardView>> views;
    for (const auto &board : boards_.boards()) views.push_back(board->view());
    std::lock_guard<std::mutex> hold(metricsLock_);
    // A view is replaced whole at each sample: the same views, the same text.
    if (views != metricsViews_ || metricsText_.empty()) {
        metricsText_ = metricsText(views);
        metricsViews_ = std::move(views);
    }
    return metricsText_;
}

HttpResponse ApiRoutes::command(const HttpRequest &request, const std::shared_ptr<BoardMonitor> &monitor) {
    Json body;
    try {
        body = Json::parse(request.body);
    } catch (const std::exception &) {
        return errorResponse(400, "the body is not JSON");
    }
    if (!body.is_object() || !body.contains("command") || !body["command"].is_string())
        return errorResponse(400, "the body needs \"command\": one of the commands GET /api/v1 lists");
    std::vector<std::string> args;
    if (body.contains("args")) {
        if (!body["args"].is_array()) return errorResponse(400, "\"args\" is a list of numbers and texts");
        for (const Json &arg : body["args"]) {
            if (arg.is_string()) args.push_back(arg.get<std::string>());
            else if (arg.is_number_unsigned()) args.push_back(std::to_string(arg.get<std::uint64_t>()));
            else return errorResponse(400, "\"args\" holds numbers 0 and up and texts only");
        }
    }
    const std::string name = body["command"].get<std::string>();
    const std::string id = monitor->id();

    // The command runs on the board's thread; the request waits, no thread does.
    auto later = std::make_shared<LaterAnswer>();
    later->timeout = commandTimeout_;
    auto ticket = std::make_shared<std::shared_ptr<CommandTicket>>();
    const std::shared_ptr<const ServerHooks> hooks = this->hooks();
    const std::weak_ptr<BoardMonitor> weak = monitor;
    later->start = [=](std::function<void(HttpResponse)> answer) {
        *ticket = monitor->submitCommand(name, args, [=](CommandOutcome outcome) {
            if (const auto board = weak.lock()) {
                if (outcome.body.contains("board")) outcome.body["board"]["location"] = boardOf(*board->view())["location"];
                // The entry stays the board's; sn set changes its id, said here.
                outcome.body["id"] = board->id();
            }
            audit(hooks, request, id, name, args, outcome);
            answer(jsonResponse(outcome.body, static_cast<unsigned>(outcome.status)));
        });
    };
    later->expire = [=]() -> std::optional<HttpResponse> {
        if (!*ticket || !(*ticket)->abandon()) return std::nullopt;  // it runs: its answer is waited for
        CommandOutcome outcome;
        outcome.status = 503;
        outcome.body["error"]["code"] = 503;
        outcome.body["error"]["message"] = id + " is busy: the command did not run in time and will not run";
        audit(hooks, request, id, name, args, outcome);
        return jsonResponse(outcome.body, 503);
    };
    HttpResponse response;
    response.later = std::move(later);
    return response;
}

HttpResponse ApiRoutes::history(const HttpRequest &request, const BoardMonitor &monitor, const BoardView &view,
                                bool csv) {
    std::chrono::system_clock::time_point since{};
    const auto given = request.query.find("since");
    if (given != request.query.end()) {
        const auto parsed = parseApiTime(given->second);
        if (!parsed)
            return errorResponse(400, "since must be an ISO-8601 UTC time (2026-12-07T23:10:01Z) or seconds since "
                                      "1970, got '" + given->second + "'");
        since = *parsed;
    }
    std::size_t limit = kHistoryPage;
    const auto asked = request.query.find("limit");
    if (asked != request.query.end()) {
        char *end = nullptr;
        const unsigned long long n = std::strtoull(asked->second.c_str(), &end, 10);
        if (asked->second.empty() || *end != '\0' || asked->second[0] == '-' || n < 1 || n > kHistoryPageMax)
            return errorResponse(400, "limit must be 1 to " + std::to_string(kHistoryPageMax) + ", got '" +
                                          asked->second + "'");
        limit = static_cast<std::size_t>(n);
    }
    // The page is copied from the board at once (its values only); its text
    // is made and sent a hundred samples at a time.
    auto page = std::make_shared<const BoardMonitor::HistoryPage>(monitor.history(since, limit));
    HttpResponse response;
    if (page->next) response.headers.emplace_back("X-Next-Since", timestamp(*page->next));
    auto at = std::make_shared<std::size_t>(0);
    auto begun = std::make_shared<bool>(false);
    constexpr std::size_t kPiece = 100;
    if (csv) {
        // The columns of the page's first sample; a later sample without one
        // of them leaves its cell empty.
        response.contentType = "text/csv; charset=utf-8";
        const std::shared_ptr<const HistoryColumns> columns =
            page->entries.empty() ? std::make_shared<HistoryColumns>() : page->entries.front().columns;
        response.pieces = [page, columns, at, begun]() -> std::string {
            std::string out;
            if (!*begun) {
                *begun = true;
                out = "time";
                for (std::size_t k = 0; k < columns->keys.size(); ++k)
                    out += "," + csvField(columns->keys[k] + (columns->units[k].empty() ? "" : "_" + columns->units[k]));
                return out + "\n";
            }
            for (std::size_t n = 0; n < kPiece && *at < page->entries.size(); ++n) {
                const HistoryEntry &entry = page->entries[(*at)++];
                out += timestamp(entry.time);
                for (std::size_t k = 0; k < columns->keys.size(); ++k) {
                    std::size_t cell = k;
                    if (entry.columns != columns) {
                        const auto &keys = entry.columns->keys;
                        cell = static_cast<std::size_t>(std::find(keys.begin(), keys.end(), columns->keys[k]) - keys.begin());
                    }
                    out += ",";
                    if (cell < entry.values.size() && entry.failed[cell] == 0)
                        out += csvNumber(entry.values[cell], entry.columns->kinds[cell]);
                }
                out += "\n";
            }
            return out;
        };
        return response;
    }
    Json head = Json::object();
    head["id"] = view.id;
    head["board"] = boardOf(view);
    head["next"] = page->next ? Json(timestamp(*page->next)) : Json();
    std::string opening = dumpJson(head);
    opening.pop_back();  // the closing brace: the samples follow
    opening += ",\"samples\":[";
    auto ended = std::make_shared<bool>(false);
    response.pieces = [page, at, begun, ended, opening]() -> std::string {
        if (!*begun) {
            *begun = true;
            return opening;
        }
        if (*ended) return "";
        std::string out;
        for (std::size_t n = 0; n < kPiece && *at < page->entries.size(); ++n) {
            const HistoryEntry &entry = page->entries[*at];
            Json line = Json::object();
            line["time"] = timestamp(entry.time);
            line["readings"] = historyReadings(entry);
            out += (*at == 0 ? "" : ",") + dumpJson(line);
            ++*at;
        }
        if (*at == page->entries.size()) {
            *ended = true;
            out += "]}";
        }
        return out;
    };
    return response;
}

}  // namespace brevantctl::serve

// api_routes.cpp - the routes of the bench service and the JSON they answer.
#include "api_routes.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "../columns.h"
#include "../context.h"
#include "../transport.h"
#include "metrics.h"
#include "page_assets.h"

namespace brevantctl::serve {

namespace {

constexpr auto kCommandTimeout = std::chrono::seconds(30);

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

// "2026-12-07T23:10:01.123Z", "2026-12-07T23:10:01Z" or seconds since 1970.
std::optional<std::chrono::system_clock::time_point> parseTime(const std::string &text) {
    if (text.empty()) return std::nullopt;
    char *end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (*end == '\0' && std::isfinite(seconds) && seconds >= 0)
        return std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds)));
    int y, mo, d, h, mi;
    double s;
    char z = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%c", &y, &mo, &d, &h, &mi, &s, &z) != 7 || z != 'Z')
        return std::nullopt;
    // Days since 1970 of a Gregorian date (civil-from-days in reverse).
    y -= mo <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days = era * 146097 + doe - 719468;
    const double total = static_cast<double>(days) * 86400.0 + h * 3600.0 + mi * 60.0 + s;
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(total)));
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

}  // namespace

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
        std::vector<std::shared_ptr<const BoardView>> views;
        for (const auto &board : boards_.boards()) views.push_back(board->view());
        response.body = metricsText(views);
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
        const std::string command = body["command"].get<std::string>();
        if (monitor->view()->state == "replaced") return errorResponse(409, "the board " + id + " was replaced");
        CommandOutcome outcome = monitor->runCommand(command, args, kCommandTimeout);
        if (outcome.body.contains("board")) outcome.body["board"]["location"] = boardOf(*monitor->view())["location"];
        // The entry stays the board's; sn set changes its id, said here.
        outcome.body["id"] = monitor->id();
        return jsonResponse(outcome.body, static_cast<unsigned>(outcome.status));
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
    if (what == "history") {
        std::chrono::system_clock::time_point since{};
        const auto given = request.query.find("since");
        if (given != request.query.end()) {
            const auto parsed = parseTime(given->second);
            if (!parsed)
                return errorResponse(400, "since must be an ISO-8601 UTC time (2026-12-07T23:10:01Z) or seconds since "
                                          "1970, got '" + given->second + "'");
            since = *parsed;
        }
        Json samples = Json::array();
        for (const HistoryEntry &entry : monitor->history(since)) {
            Json line = Json::object();
            line["time"] = timestamp(entry.time);
            line["readings"] = historyReadings(entry);
            samples.push_back(line);
        }
        Json out = Json::object();
        out["id"] = view->id;
        out["board"] = boardOf(*view);
        out["samples"] = samples;
        return jsonResponse(out);
    }
    return errorResponse(404, "nothing at " + request.path);
}

}  // namespace brevantctl::serve

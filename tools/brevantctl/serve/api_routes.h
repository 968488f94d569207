// api_routes.h - what the bench service answers: the JSON API under
// /api/v1/, the live stream's events, /metrics and the dashboard page.
//
//   GET  /api/v1                         the service: interval, writes, token, routes
//   GET  /api/v1/boards                  every board: id, board, state, time
//   GET  /api/v1/boards/ID               one board, as in the list
//   GET  /api/v1/boards/ID/sample        its last sample: a watch --json line
//   GET  /api/v1/boards/ID/module        its module: module info --json
//   GET  /api/v1/boards/ID/history?since=TIME&limit=N   its samples since TIME
//                                        (ISO-8601 UTC or seconds since 1970; default:
//                                        all kept), at most N (default 1000, up to
//                                        10000), and "next": the since of the next page
//   GET  /api/v1/boards/ID/history.csv?since=TIME&limit=N   the same as CSV, the
//                                        columns of watch --csv
//   POST /api/v1/boards/ID/commands      {"command":"port set","args":[3,128]}: runs
//                                        one of the commands that change a board on
//                                        the board's thread and answers what brevantctl
//                                        --json prints; 429 when 4 wait already. Each
//                                        is logged on standard error and sent to the
//                                        live stream as a "command" event
//   GET  /api/v1/events[?board=ID]       Server-Sent Events, "sample" per board per
//                                        sample, "command" per write
//   GET  /metrics                        Prometheus text exposition, with the
//                                        service's own series
//   GET  /, /dashboard.js, /dashboard.css   the page
#ifndef BREVANTCTL_SERVE_API_ROUTES_H
#define BREVANTCTL_SERVE_API_ROUTES_H

#include "board_set.h"
#include "http_server.h"

namespace brevantctl::serve {

class ApiRoutes : public Routes {
   public:
    // A command not started within `commandTimeout` is answered 503 and never runs.
    ApiRoutes(BoardSet &boards, const AccessRules &rules,
              std::chrono::milliseconds commandTimeout = std::chrono::seconds(30))
        : boards_(boards), rules_(rules), commandTimeout_(commandTimeout) {}
    HttpResponse handle(const HttpRequest &request) override;
    bool isPublic(const HttpRequest &request) const override;
    std::string streamPath() const override { return "/api/v1/events"; }
    std::string eventData(const BoardView &view) const override;
    std::string routeLabel(const HttpRequest &request) const override;

   private:
    HttpResponse boardRoute(const HttpRequest &request, const std::string &id, const std::string &what);
    HttpResponse command(const HttpRequest &request, const std::shared_ptr<BoardMonitor> &monitor);
    HttpResponse history(const HttpRequest &request, const BoardMonitor &monitor, const BoardView &view, bool csv);
    std::string boardsMetrics();
    BoardSet &boards_;
    const AccessRules &rules_;
    const std::chrono::milliseconds commandTimeout_;
    // The boards' series, rendered once for each set of views (a sample).
    std::mutex metricsLock_;
    std::vector<std::shared_ptr<const BoardView>> metricsViews_;
    std::string metricsText_;
};

// A time as the API takes it: "2026-12-07T23:10:01.123Z", "...01Z" or
// seconds since 1970. nullopt when it is none (or a date that does not
// exist); a time past what the clock holds is the clock's last moment.
std::optional<std::chrono::system_clock::time_point> parseApiTime(const std::string &text);

// The JSON of a board in the list: {"id", "board", "state", "problem",
// "time", "samples", "failedSamples", "module", "moduleRegisters"} (board as
// --json prints it), with "expected", "name" and "slot" for an inventory board.
Json boardSummaryJson(const BoardView &view);
// A board's last sample: {"id", "time", "board", "readings"}.
Json sampleJson(const BoardView &view);

}  // namespace brevantctl::serve

#endif

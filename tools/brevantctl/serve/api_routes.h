// api_routes.h - what the bench service answers: the JSON API under
// /api/v1/, the live stream's events, /metrics and the dashboard page.
//
//   GET  /api/v1                         the service: interval, writes, token, routes
//   GET  /api/v1/boards                  every board: id, board, state, time
//   GET  /api/v1/boards/ID               one board, as in the list
//   GET  /api/v1/boards/ID/sample        its last sample: a watch --json line
//   GET  /api/v1/boards/ID/module        its module: module info --json
//   GET  /api/v1/boards/ID/history?since=TIME   its samples since TIME (ISO-8601 UTC
//                                        or seconds since 1970; default: all kept)
//   POST /api/v1/boards/ID/commands      {"command":"port set","args":[3,128]}: runs
//                                        one of the commands that change a board and
//                                        answers what brevantctl --json prints
//   GET  /api/v1/events[?board=ID]       Server-Sent Events, "sample" per board per sample
//   GET  /metrics                        Prometheus text exposition
//   GET  /, /dashboard.js, /dashboard.css   the page
#ifndef BREVANTCTL_SERVE_API_ROUTES_H
#define BREVANTCTL_SERVE_API_ROUTES_H

#include "board_set.h"
#include "http_server.h"

namespace brevantctl::serve {

class ApiRoutes : public Routes {
   public:
    ApiRoutes(BoardSet &boards, const AccessRules &rules) : boards_(boards), rules_(rules) {}
    HttpResponse handle(const HttpRequest &request) override;
    bool isPublic(const HttpRequest &request) const override;
    std::string streamPath() const override { return "/api/v1/events"; }
    std::string eventData(const BoardView &view) const override;

   private:
    HttpResponse boardRoute(const HttpRequest &request, const std::string &id, const std::string &what);
    BoardSet &boards_;
    const AccessRules &rules_;
};

// The JSON of a board in the list: {"id", "board", "state", "problem",
// "time", "samples", "failedSamples", "module", "moduleRegisters"} (board as
// --json prints it), with "expected", "name" and "slot" for an inventory board.
Json boardSummaryJson(const BoardView &view);
// A board's last sample: {"id", "time", "board", "readings"}.
Json sampleJson(const BoardView &view);

}  // namespace brevantctl::serve

#endif

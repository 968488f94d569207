// http_server.h - the bench service's HTTP server (Boost.Beast over
// Boost.Asio): connections, the access rules every request passes first,
// and the live stream. What a request gets is the routes' business
// (Routes); the server knows no URL but the stream's.
//
// Access rules, in order:
//   Host     names this service: an IP address or localhost (a DNS name
//            may point anywhere, the trick of DNS rebinding); any name
//            when a token guards the service
//   Token    with --token-file every request but the page and its files
//            carries "Authorization: Bearer TOKEN"
//   Changes  requests that change a board need --allow-writes, and
//            without a token come from the service's own page: a JSON
//            body, and no Origin or Sec-Fetch-Site of another site
//   Size     request heads up to 8 KiB, bodies up to 16 KiB
#ifndef BREVANTCTL_SERVE_HTTP_SERVER_H
#define BREVANTCTL_SERVE_HTTP_SERVER_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_set.h"

namespace brevantctl::serve {

struct HttpRequest {
    std::string method;  // "GET"
    std::string path;    // "/api/v1/boards", decoded
    std::map<std::string, std::string> query;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string header(const std::string &name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

struct HttpResponse {
    unsigned status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// An error answer: {"error":{"code":STATUS,"message":"..."}}.
HttpResponse errorResponse(unsigned status, const std::string &message);

class Routes {
   public:
    virtual ~Routes() = default;
    virtual HttpResponse handle(const HttpRequest &request) = 0;
    // Whether a request changes a board (POST and the like).
    virtual bool changesBoard(const HttpRequest &request) const { return request.method != "GET" && request.method != "HEAD"; }
    // Whether a request may be answered without the token: the page.
    virtual bool isPublic(const HttpRequest &request) const = 0;
    // The live stream: its path, and one event's data for a board's view.
    virtual std::string streamPath() const = 0;
    virtual std::string eventData(const BoardView &view) const = 0;
};

struct AccessRules {
    std::optional<std::string> token;
    bool allowWrites = false;
    std::size_t bodyLimit = 16 * 1024;
};

// The listen address: "127.0.0.1:8787", "[::1]:8787", "0.0.0.0:80". Throws
// UsageError when it is not one.
struct ListenAddress {
    std::string host;
    std::uint16_t port = 0;
    bool loopback = false;
};
ListenAddress parseListenAddress(const std::string &text);

class HttpServer {
   public:
    // Binds the address (port 0: any free port) and starts `threads` threads.
    HttpServer(const ListenAddress &address, AccessRules rules, Routes &routes, BoardSet &boards,
               unsigned threads = 4);
    ~HttpServer();  // stops and joins the threads, closing every connection
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    std::uint16_t port() const;
    std::size_t streams() const;  // live streams open

    struct Impl;

   private:
    std::unique_ptr<Impl> impl_;
    std::vector<std::thread> threads_;
};

}  // namespace brevantctl::serve

#endif

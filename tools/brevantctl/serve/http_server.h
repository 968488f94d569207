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
//
// Limits, so that no client can stall /metrics (docs/service.md):
//   Time     a request head within 10 s of its first byte (a new connection:
//            of connecting), 60 s idle between two requests of a kept-alive
//            connection, 30 s for each write of an answer
//   Count    at most 1000 connections (fewer when the process may open fewer
//            descriptors: 64 stay for boards and files); at the cap the
//            connection idle longest is closed for a new one; at most 500
//            live streams, a 503 past that
//   Accept   an accept that fails (no descriptor left) is tried again after
//            100 ms, with the idle connection closed
//   Malformed HTTP is answered 400 and the connection closed.
#ifndef BREVANTCTL_SERVE_HTTP_SERVER_H
#define BREVANTCTL_SERVE_HTTP_SERVER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_set.h"

namespace brevantctl::serve {

struct HttpRequest {
    std::string peer;    // "127.0.0.1:50432", for the audit of writes
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

struct HttpResponse;

// An answer that comes later (a command run on a board's thread), so that no
// I/O thread waits for a board. The server calls `start` once with a function
// that sends the answer (callable from any thread, once); when `timeout`
// passes first it asks `expire` for the answer to send instead, and when that
// gives none (the work started and is waited for), once more after another
// `timeout`, then answers 504.
struct LaterAnswer {
    std::chrono::milliseconds timeout{30000};
    std::function<void(std::function<void(HttpResponse)> answer)> start;
    std::function<std::optional<HttpResponse>()> expire;
};

struct HttpResponse {
    unsigned status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<LaterAnswer> later;  // set: the answer comes later, from it
    // Set: the body comes in pieces, each call the next one and "" after the
    // last, sent chunked as they come (a long history is never one string).
    std::function<std::string()> pieces;
};

// What the server offers the routes: the live stream, and its own counters.
struct ServerHooks {
    // Sends an event ("command" and its JSON) to every live stream that
    // follows the board (or every board).
    std::function<void(const std::string &event, const std::string &board, const std::string &data)> broadcast;
    // The server's own series for /metrics, in the text exposition format.
    std::function<std::string()> metrics;
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
    // The route a request counts under in brevant_http_requests_total: its
    // path with the board's id left out ("/api/v1/boards/{id}/history").
    virtual std::string routeLabel(const HttpRequest &request) const { return request.path; }
    // Called by the server as it starts. The hooks do nothing once that
    // server stopped.
    void attach(ServerHooks hooks) {
        std::lock_guard<std::mutex> hold(hooksLock_);
        hooks_ = std::make_shared<const ServerHooks>(std::move(hooks));
    }

   protected:
    std::shared_ptr<const ServerHooks> hooks() const {
        std::lock_guard<std::mutex> hold(hooksLock_);
        return hooks_;
    }

   private:
    mutable std::mutex hooksLock_;
    std::shared_ptr<const ServerHooks> hooks_;
};

struct AccessRules {
    std::optional<std::string> token;
    bool allowWrites = false;
    std::size_t bodyLimit = 16 * 1024;
};

// How much the server takes on (the defaults are the service's; tests lower them).
struct ServerLimits {
    std::size_t connections = 1000;  // fewer when the descriptor limit is lower
    std::size_t streams = 500;
    std::size_t descriptorReserve = 64;  // descriptors kept for boards and files
    std::chrono::milliseconds headTime{10000}, idleTime{60000}, writeTime{30000};
    std::chrono::milliseconds heartbeat{15000};  // a comment line on each live stream
};

// HTTPS: the certificate chain and the private key, PEM files. Empty: HTTP.
struct TlsFiles {
    std::string certificate, key;
    bool enabled() const { return !certificate.empty(); }
};
// Whether this build of brevantctl serves HTTPS (the Linux build does).
bool tlsAvailable();

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
    // Throws Failure when the TLS files do not load.
    HttpServer(const ListenAddress &address, AccessRules rules, Routes &routes, BoardSet &boards,
               unsigned threads = 4, ServerLimits limits = {}, const TlsFiles &tls = {});
    ~HttpServer();  // stops and joins the threads, closing every connection
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    std::uint16_t port() const;
    std::size_t streams() const;      // live streams open
    std::size_t connections() const;  // connections open
    std::size_t connectionCap() const;

    struct Impl;

   private:
    std::unique_ptr<Impl> impl_;
    std::vector<std::thread> threads_;
};

}  // namespace brevantctl::serve

#endif

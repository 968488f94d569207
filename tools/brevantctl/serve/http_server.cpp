// http_server.cpp - connections, their limits, access rules and the live stream.
#include "http_server.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <deque>
#include <mutex>
#include <type_traits>

#ifndef BREVANT_SERVE_TLS
#define BREVANT_SERVE_TLS 0  // the Linux build defines it 1 and links OpenSSL
#endif

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#if BREVANT_SERVE_TLS
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#endif

#include "../monitoring.h"
#include "process_stats.h"

namespace brevantctl::serve {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t kHeaderLimit = 8 * 1024;
constexpr std::size_t kStreamBacklog = 256;  // events a slow reader may fall behind before it is dropped
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding; nullopt for a broken escape or a NUL byte.
std::optional<std::string> decoded(const std::string &text, bool plusIsSpace) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int hi = hexDigit(text[i + 1]), lo = hexDigit(text[i + 2]);
            if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

// "host:port" or "[v6]:port" -> the host alone, lower case.
std::string hostOf(const std::string &header) {
    if (!header.empty() && header[0] == '[') {
        const std::size_t end = header.find(']');
        return lower(header.substr(0, end == std::string::npos ? header.size() : end + 1));
    }
    return lower(header.substr(0, header.find(':')));
}

bool isIpLiteral(const std::string &host) {
    boost::system::error_code error;
    const std::string bare = host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
    net::ip::make_address(bare, error);
    return !error;
}

// Compares in time that does not depend on where the texts differ.
bool sameSecret(const std::string &a, const std::string &b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    return diff == 0 && !b.empty();
}

}  // namespace

HttpResponse errorResponse(unsigned status, const std::string &message) {
    Json body;
    body["error"]["code"] = status;
    body["error"]["message"] = message;
    HttpResponse response;
    response.status = status;
    response.body = dumpJson(body);
    return response;
}

bool tlsAvailable() { return BREVANT_SERVE_TLS != 0; }

ListenAddress parseListenAddress(const std::string &text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size())
        throw UsageError("--listen must be ADDRESS:PORT (127.0.0.1:8787, [::1]:8787), got '" + text + "'");
    ListenAddress address;
    address.host = text.substr(0, colon);
    if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']')
        address.host = address.host.substr(1, address.host.size() - 2);
    address.port = static_cast<std::uint16_t>(parseNumber(text.substr(colon + 1), "the port of --listen", 0, 65535));
    if (address.host == "localhost") address.host = "127.0.0.1";
    boost::system::error_code error;
    const net::ip::address ip = net::ip::make_address(address.host, error);
    if (error)
        throw UsageError("--listen needs an IP address (127.0.0.1, ::1, 0.0.0.0), got '" + address.host + "'");
    address.loopback = ip.is_loopback();
    return address;
}

// ---- Connections ---------------------------------------------------------------

namespace {

// What the server keeps of each connection: whether it waits between two
// requests (and since when), so the one idle longest can make room.
class Connection {
   public:
    virtual ~Connection() = default;
    virtual void evict() = 0;  // closes it, if it is still idle
    std::atomic<bool> idle{false};
    std::atomic<std::int64_t> idleSince{0};
    bool evicting = false;  // guarded by the server's connection lock
};

// A live stream as the server sees it: where events go.
class StreamSink {
   public:
    virtual ~StreamSink() = default;
    // Queues an event (text as sent) from any thread. `board` "" is for every stream.
    virtual void deliver(std::shared_ptr<const std::string> text, const std::string &board) = 0;
};

// Open while the server runs: board threads that answer a request or send an
// event after the server stopped find it closed and do nothing.
struct Gate {
    std::mutex lock;
    bool open = true;
};

std::int64_t steadyNow() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

std::string peerOf(const tcp::socket &socket) {
    beast::error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    if (error) return "?";
    const std::string address = peer.address().to_string();
    return (peer.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(peer.port());
}

}  // namespace

struct HttpServer::Impl {
    Impl(const ListenAddress &address, AccessRules accessRules, Routes &served, BoardSet &boardSet,
         ServerLimits serverLimits)
        : rules(std::move(accessRules)),
          routes(served),
          boards(boardSet),
          limits(serverLimits),
          loopback(address.loopback),
          acceptor(io),
          acceptRetry(io),
          heartbeat(io) {
        const tcp::endpoint endpoint(net::ip::make_address(address.host), address.port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(net::socket_base::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(net::socket_base::max_listen_connections);
        cap = limits.connections;
        const std::size_t descriptors = descriptorLimit();
        if (descriptors != 0)
            cap = std::min(cap, descriptors > limits.descriptorReserve + 16 ? descriptors - limits.descriptorReserve : 16);
    }

    void accept();
    void admit(tcp::socket socket);
    void beat();
    // The refusal of a request by the access rules, if any.
    std::optional<HttpResponse> refuse(const HttpRequest &request) const;

    std::uint64_t enrol(const std::shared_ptr<Connection> &connection) {
        std::lock_guard<std::mutex> hold(connectionsLock);
        connectionList[++lastId] = connection;
        return lastId;
    }
    void leave(std::uint64_t id) {
        std::lock_guard<std::mutex> hold(connectionsLock);
        connectionList.erase(id);
    }
    // A connection chosen to close that was busy by then.
    void spare(Connection &connection) {
        std::lock_guard<std::mutex> hold(connectionsLock);
        connection.evicting = false;
    }
    // Closes the connection idle longest; false when none is idle.
    bool evictIdle() {
        std::shared_ptr<Connection> oldest;
        // Every connection taken hold of here is let go after the lock: a
        // connection whose own thread let go of it meanwhile ends when this
        // hold ends, and its end takes the lock to leave the list.
        std::vector<std::shared_ptr<Connection>> seen;
        {
            std::lock_guard<std::mutex> hold(connectionsLock);
            seen.reserve(connectionList.size());
            for (const auto &entry : connectionList) {
                auto connection = entry.second.lock();
                if (!connection) continue;
                seen.push_back(connection);
                if (connection->evicting || !connection->idle) continue;
                if (!oldest || connection->idleSince < oldest->idleSince) oldest = connection;
            }
            if (oldest) oldest->evicting = true;
        }
        if (oldest) oldest->evict();
        return oldest != nullptr;
    }
    std::size_t connectionCount() {
        std::lock_guard<std::mutex> hold(connectionsLock);
        return connectionList.size();
    }

    std::uint64_t follow(const std::shared_ptr<StreamSink> &sink) {
        std::lock_guard<std::mutex> hold(streamsLock);
        streamList[++lastStream] = sink;
        return lastStream;
    }
    void unfollow(std::uint64_t id) {
        std::lock_guard<std::mutex> hold(streamsLock);
        streamList.erase(id);
    }
    // One event, serialised once, to every stream that follows its board.
    void broadcast(const std::string &text, const std::string &board, bool sample = false) {
        const auto shared = std::make_shared<const std::string>(text);
        if (sample) {
            std::lock_guard<std::mutex> hold(lastEventsLock);
            lastEvents[board] = shared;
        }
        std::vector<std::shared_ptr<StreamSink>> sinks;
        {
            std::lock_guard<std::mutex> hold(streamsLock);
            sinks.reserve(streamList.size());
            for (const auto &entry : streamList) {
                if (auto sink = entry.second.lock()) sinks.push_back(std::move(sink));
            }
        }
        for (const auto &sink : sinks) sink->deliver(shared, board);
    }

    void count(const std::string &route, unsigned status) {
        std::lock_guard<std::mutex> hold(requestsLock);
        ++requests[{route, status}];
    }
    std::string metricsText();

    AccessRules rules;
    Routes &routes;
    BoardSet &boards;
    ServerLimits limits;
    bool loopback;
    std::size_t cap = 0;
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::atomic<std::size_t> streams{0};
    std::uint64_t sampleListener = 0;

    std::mutex connectionsLock;
    std::map<std::uint64_t, std::weak_ptr<Connection>> connectionList;
    std::uint64_t lastId = 0;
    std::mutex streamsLock;
    std::map<std::uint64_t, std::weak_ptr<StreamSink>> streamList;
    std::uint64_t lastStream = 0;
    std::mutex requestsLock;
    std::map<std::pair<std::string, unsigned>, std::uint64_t> requests;
    std::atomic<std::uint64_t> failedAccepts{0};
    // Each board's last sample event, as sent: a new stream starts with them.
    std::mutex lastEventsLock;
    std::map<std::string, std::shared_ptr<const std::string>> lastEvents;

#if BREVANT_SERVE_TLS
    std::optional<net::ssl::context> tls;
#endif
    net::io_context io;  // after what the connections use, so it goes first
    tcp::acceptor acceptor;
    net::steady_timer acceptRetry, heartbeat;
};

namespace {

template <class Stream>
constexpr bool kTls = false;
#if BREVANT_SERVE_TLS
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
template <>
constexpr bool kTls<TlsStream> = true;
#endif

template <class Stream>
class Session : public Connection, public StreamSink, public std::enable_shared_from_this<Session<Stream>> {
   public:
    template <class... Args>
    explicit Session(HttpServer::Impl &server, tcp::socket socket, Args &&...args)
        : stream_(beast::tcp_stream(std::move(socket)), std::forward<Args>(args)...),
          server_(server),
          timer_(stream_.get_executor()) {
        peer_ = peerOf(lowest().socket());
    }
    ~Session() override {
        server_.leave(id_);
        if (streamId_ != 0) {
            server_.unfollow(streamId_);
            --server_.streams;
        }
    }

    void start() {
        id_ = server_.enrol(this->shared_from_this());
        net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] {
#if BREVANT_SERVE_TLS
            if constexpr (kTls<Stream>) {
                self->lowest().expires_after(self->server_.limits.headTime);
                self->stream_.async_handshake(net::ssl::stream_base::server, [self](beast::error_code error) {
                    if (error) return self->close();
                    self->waitForRequest(true);
                });
                return;
            }
#endif
            self->waitForRequest(true);
        });
    }

    void evict() override {
        net::post(stream_.get_executor(), [self = this->shared_from_this()] {
            if (self->idle) {
                self->close();
            } else {
                self->server_.spare(*self);  // busy again: it may be chosen another time
            }
        });
    }

    void deliver(std::shared_ptr<const std::string> text, const std::string &board) override {
        net::post(stream_.get_executor(), [self = this->shared_from_this(), text = std::move(text), board] {
            self->push(text, board);
        });
    }

   private:
    beast::tcp_stream &lowest() { return beast::get_lowest_layer(stream_); }

    // Between two requests: the first byte of the next one is waited for as
    // long as a connection may stay idle (a new one: as long as a head may
    // take), then the whole head gets its own time.
    void waitForRequest(bool fresh) {
        idleSince = steadyNow();
        idle = true;
        if (buffer_.size() > 0) return readRequest(fresh);
        lowest().expires_after(fresh ? server_.limits.headTime : server_.limits.idleTime);
        stream_.async_read_some(buffer_.prepare(4096), [self = this->shared_from_this(), fresh](beast::error_code error,
                                                                                              std::size_t n) {
            self->buffer_.commit(n);
            if (error) return self->close();
            self->readRequest(fresh);
        });
    }

    void readRequest(bool fresh) {
        idle = false;
        if constexpr (!kTls<Stream>) {
            // A TLS hello (a record of type 22) on the plain port.
            if (fresh && buffer_.size() > 0 && *static_cast<const unsigned char *>(buffer_.data().data()) == 0x16)
                return sendAndClose(errorResponse(400, "this port speaks plain HTTP, not HTTPS"));
        }
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
        parser_->body_limit(server_.rules.bodyLimit);
        lowest().expires_after(server_.limits.headTime);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code error, std::size_t) { self->onRead(error); });
    }

    void onRead(beast::error_code error) {
        route_ = "malformed";
        if (error == http::error::body_limit) return sendAndClose(errorResponse(413, "the request body is larger than " + std::to_string(server_.rules.bodyLimit) + " bytes"));
        if (error == http::error::header_limit) return sendAndClose(errorResponse(431, "the request head is larger than 8 KiB"));
        if (error == http::error::end_of_stream || error == http::error::partial_message) return close();
        if (error && error.category() == http::make_error_code(http::error::bad_method).category())
            return sendAndClose(errorResponse(400, "the request is not well-formed HTTP: " + error.message()));
        if (error) return close();
        const http::request<http::string_body> &raw = parser_->get();
        if (raw.count(http::field::host) > 1) return sendAndClose(errorResponse(400, "the request has two Host headers"));
        if (raw.count(http::field::content_length) > 1)
            return sendAndClose(errorResponse(400, "the request has two Content-Length headers"));
        HttpRequest request;
        request.peer = peer_;
        request.method = std::string(raw.method_string());
        for (const auto &field : raw) request.headers[lower(std::string(field.name_string()))] = std::string(field.value());
        request.body = raw.body();
        const std::string target(raw.target());
        const std::size_t mark = target.find('?');
        std::optional<std::string> path = decoded(target.substr(0, mark), false);
        if (!path || path->empty() || (*path)[0] != '/') return sendAndClose(errorResponse(400, "the request target is not a path"));
        request.path = *path;
        if (mark != std::string::npos) {
            std::size_t start = mark + 1;
            while (start <= target.size()) {
                std::size_t end = target.find('&', start);
                if (end == std::string::npos) end = target.size();
                const std::string pair = target.substr(start, end - start);
                const std::size_t eq = pair.find('=');
                auto key = decoded(pair.substr(0, eq), true);
                auto value = decoded(eq == std::string::npos ? "" : pair.substr(eq + 1), true);
                if (!key || !value) return sendAndClose(errorResponse(400, "the query is not well formed"));
                if (!key->empty()) request.query[*key] = *value;
                start = end + 1;
            }
        }
        keepAlive_ = raw.keep_alive();
        head_ = raw.method() == http::verb::head;
        chunked_ = raw.version() >= 11;
        route_ = server_.routes.routeLabel(request);

        if (std::optional<HttpResponse> refusal = server_.refuse(request)) {
            // A write turned away is in the service's log as a write that ran is.
            if (server_.routes.changesBoard(request))
                std::fprintf(stderr, "%s write from %s refused: %s %s: %u\n",
                             timestamp(std::chrono::system_clock::now()).c_str(), peer_.c_str(), request.method.c_str(),
                             request.path.c_str(), refusal->status);
            return send(*refusal);
        }
        if (request.path == server_.routes.streamPath() && request.method == "GET") return startStream(request);
        HttpResponse response;
        try {
            response = server_.routes.handle(request);
        } catch (const std::exception &e) {
            response = errorResponse(500, e.what());
        }
        if (response.later) return answerLater(std::move(response.later));
        send(response);
    }

    // ---- An answer that comes later: the request waits, no thread does ---------

    void answerLater(std::shared_ptr<LaterAnswer> later) {
        later_ = later;
        waitedOnce_ = false;
        armLater();
        std::weak_ptr<Session> weak = this->shared_from_this();
        later->start([weak, gate = server_.gate](HttpResponse response) {
            std::lock_guard<std::mutex> hold(gate->lock);
            if (!gate->open) return;
            if (auto self = weak.lock()) {
                net::post(self->stream_.get_executor(), [self, response = std::move(response)]() mutable {
                    self->onLaterAnswer(std::move(response));
                });
            }
        });
    }

    void armLater() {
        timer_.expires_after(later_->timeout);
        timer_.async_wait([self = this->shared_from_this()](beast::error_code error) {
            if (!error) self->onLaterTimeout();
        });
    }

    void onLaterAnswer(HttpResponse response) {
        if (!later_) return;
        later_.reset();
        timer_.cancel();
        send(response);
    }

    void onLaterTimeout() {
        if (!later_) return;
        std::optional<HttpResponse> response = later_->expire ? later_->expire() : std::nullopt;
        if (!response && !waitedOnce_) {
            waitedOnce_ = true;
            return armLater();
        }
        later_.reset();
        send(response ? *response
                      : errorResponse(504, "the work started and has not ended in time; what it did goes to the live "
                                           "stream and the service's log when it ends"));
    }

    void send(const HttpResponse &response) {
        if (response.pieces) {
            if (chunked_) return sendPieces(response);
            HttpResponse whole = response;  // an HTTP/1.0 client: in one piece
            whole.pieces = nullptr;
            for (std::string piece; !(piece = response.pieces()).empty();) whole.body += piece;
            return send(whole);
        }
        server_.count(route_, response.status);
        auto message = std::make_shared<http::response<http::string_body>>();
        message->version(11);
        message->result(static_cast<http::status>(response.status));
        message->set(http::field::server, "brevantctl");
        message->set(http::field::content_type, response.contentType);
        message->set(http::field::cache_control, "no-store");
        message->set("X-Content-Type-Options", "nosniff");
        message->set("X-Frame-Options", "DENY");
        message->set("Referrer-Policy", "no-referrer");
        for (const auto &header : response.headers) message->set(header.first, header.second);
        message->body() = head_ ? std::string() : response.body;
        message->prepare_payload();
        if (head_) message->content_length(response.body.size());
        message->keep_alive(keepAlive_);
        // Each answer has its own time, whatever the wait before it took.
        lowest().expires_after(server_.limits.writeTime);
        http::async_write(stream_, *message, [self = this->shared_from_this(), message](beast::error_code error, std::size_t) {
            if (error || !self->keepAlive_) return self->close();
            self->waitForRequest(false);
        });
    }

    // A body in pieces, each written with its own time as it is made.
    void sendPieces(const HttpResponse &response) {
        server_.count(route_, response.status);
        std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                           std::string(http::obsolete_reason(static_cast<http::status>(response.status))) +
                           "\r\nServer: brevantctl\r\nContent-Type: " + response.contentType +
                           "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY"
                           "\r\nReferrer-Policy: no-referrer\r\n";
        for (const auto &header : response.headers) head += header.first + ": " + header.second + "\r\n";
        head += std::string("Transfer-Encoding: chunked\r\n") + (keepAlive_ ? "" : "Connection: close\r\n") + "\r\n";
        pieces_ = head_ ? nullptr : response.pieces;
        writePiece(std::make_shared<const std::string>(std::move(head)));
    }

    void writePiece(std::shared_ptr<const std::string> text) {
        lowest().expires_after(server_.limits.writeTime);
        net::async_write(stream_, net::buffer(*text), [self = this->shared_from_this(), text](beast::error_code error, std::size_t) {
            if (error) return self->close();
            if (!self->pieces_) {
                if (!self->keepAlive_) return self->close();
                return self->waitForRequest(false);
            }
            const std::string piece = self->pieces_();
            if (piece.empty()) {
                self->pieces_ = nullptr;
                return self->writePiece(std::make_shared<const std::string>("0\r\n\r\n"));
            }
            char size[20];
            std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            self->writePiece(std::make_shared<const std::string>(size + piece + "\r\n"));
        });
    }

    void sendAndClose(const HttpResponse &response) {
        keepAlive_ = false;
        send(response);
    }

    void close() {
        idle = false;
        closed_ = true;
        timer_.cancel();
        beast::error_code ignored;
        lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
        lowest().socket().close(ignored);
    }

    // ---- The live stream: one "sample" event per board per sample -------------

    void startStream(const HttpRequest &request) {
        if (server_.streams >= server_.limits.streams)
            return sendAndClose(errorResponse(503, std::to_string(server_.limits.streams) +
                                                       " live streams are open already: try again later"));
        server_.count(route_, 200);
        const auto only = request.query.find("board");
        if (only != request.query.end()) board_ = only->second;
        lowest().expires_never();
        std::string head =
            "HTTP/1.1 200 OK\r\nServer: brevantctl\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\nConnection: keep-alive\r\n\r\nretry: 2000\n\n";
        // The boards as they are now, then every event as it comes.
        for (const auto &monitor : server_.boards.boards()) {
            if (!board_.empty() && monitor->id() != board_) continue;
            std::shared_ptr<const std::string> last;
            {
                std::lock_guard<std::mutex> hold(server_.lastEventsLock);
                const auto found = server_.lastEvents.find(monitor->id());
                if (found != server_.lastEvents.end()) last = found->second;
            }
            head += last ? *last : "event: sample\ndata: " + server_.routes.eventData(*monitor->view()) + "\n\n";
        }
        queue_.push_back(std::make_shared<const std::string>(std::move(head)));
        ++server_.streams;
        streamId_ = server_.follow(this->shared_from_this());
        writeNext();
        // A read that ends when the reader goes away.
        stream_.async_read_some(net::buffer(discard_), [self = this->shared_from_this()](beast::error_code, std::size_t) {
            self->close();
        });
    }

    void push(const std::shared_ptr<const std::string> &text, const std::string &board) {
        if (closed_ || (!board.empty() && !board_.empty() && board != board_)) return;
        if (queue_.size() >= kStreamBacklog) return close();  // a reader that does not keep up
        queue_.push_back(text);
        if (writing_ == 0) writeNext();
    }

    void writeNext() {
        if (queue_.empty() || closed_ || writing_ != 0) return;
        // The events that queued up while the last write was under way go
        // out in one write.
        writing_ = std::min<std::size_t>(queue_.size(), 64);
        std::vector<net::const_buffer> buffers;
        for (std::size_t k = 0; k < writing_; ++k) buffers.push_back(net::buffer(*queue_[k]));
        // Each write has its time; a reader that takes none is dropped.
        timer_.expires_after(server_.limits.writeTime);
        timer_.async_wait([self = this->shared_from_this()](beast::error_code error) {
            if (!error) self->close();
        });
        net::async_write(stream_, buffers, [self = this->shared_from_this()](beast::error_code error, std::size_t) {
            self->timer_.cancel();
            if (error) return self->close();
            self->queue_.erase(self->queue_.begin(), self->queue_.begin() + static_cast<std::ptrdiff_t>(self->writing_));
            self->writing_ = 0;
            self->writeNext();
        });
    }

    Stream stream_;
    HttpServer::Impl &server_;
    net::steady_timer timer_;  // a later answer's time, or a stream write's
    std::string peer_;
    std::uint64_t id_ = 0, streamId_ = 0;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool keepAlive_ = false;
    bool head_ = false;
    bool chunked_ = true;                  // the client takes a chunked body (HTTP/1.1)
    std::function<std::string()> pieces_;  // the rest of a body in pieces
    std::string route_ = "malformed";  // what the request counts under
    std::shared_ptr<LaterAnswer> later_;
    bool waitedOnce_ = false;
    std::string board_;
    std::deque<std::shared_ptr<const std::string>> queue_;  // the strings stay while written
    std::size_t writing_ = 0;                               // queued events under way
    char discard_[64];
    bool closed_ = false;
};

}  // namespace

void HttpServer::Impl::accept() {
    acceptor.async_accept(net::make_strand(io), [this](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted) return;
        if (error) {
            // No descriptor left, most likely: an idle connection makes room,
            // and the next try waits, instead of failing again at once.
            ++failedAccepts;
            evictIdle();
            acceptRetry.expires_after(kAcceptRetry);
            acceptRetry.async_wait([this](beast::error_code waited) {
                if (!waited) accept();
            });
            return;
        }
        admit(std::move(socket));
        accept();
    });
}

void HttpServer::Impl::admit(tcp::socket socket) {
    if (connectionCount() >= cap && !evictIdle()) {
        // Every connection is busy: this one is told so and closed.
        const std::string body = R"({"error":{"code":503,"message":"the service has as many connections as it takes"}})";
        const std::string answer = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        beast::error_code ignored;
        socket.non_blocking(true, ignored);
        socket.write_some(net::buffer(answer), ignored);
        socket.close(ignored);
        count("refused", 503);
        return;
    }
#if BREVANT_SERVE_TLS
    if (tls) return std::make_shared<Session<TlsStream>>(*this, std::move(socket), *tls)->start();
#endif
    std::make_shared<Session<beast::tcp_stream>>(*this, std::move(socket))->start();
}

void HttpServer::Impl::beat() {
    heartbeat.expires_after(limits.heartbeat);
    heartbeat.async_wait([this](beast::error_code error) {
        if (error) return;
        broadcast(": keep-alive\n\n", "");
        beat();
    });
}

std::string HttpServer::Impl::metricsText() {
    std::string out = "# HELP brevant_build_info The version of brevantctl serving.\n# TYPE brevant_build_info gauge\n"
                      "brevant_build_info{version=\"" BREVANTCTL_VERSION "\"} 1\n";
    out += "# HELP brevant_http_requests_total HTTP requests answered, by route and status.\n"
           "# TYPE brevant_http_requests_total counter\n";
    {
        std::lock_guard<std::mutex> hold(requestsLock);
        for (const auto &[key, total] : requests)
            out += "brevant_http_requests_total{route=\"" + key.first + "\",code=\"" + std::to_string(key.second) +
                   "\"} " + std::to_string(total) + "\n";
    }
    std::size_t pending = 0;
    for (const auto &board : boards.boards()) pending += board->pendingCommands();
    auto gauge = [&out](const char *name, const char *help, std::size_t value) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name + " " +
               std::to_string(value) + "\n";
    };
    gauge("brevant_live_streams", "Live streams open.", streams);
    gauge("brevant_pending_commands", "Commands waiting for or running on a board.", pending);
    gauge("brevant_open_connections", "HTTP connections open.", connectionCount());
    return out + processMetricsText();
}

std::optional<HttpResponse> HttpServer::Impl::refuse(const HttpRequest &request) const {
    if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
        HttpResponse response = errorResponse(405, "method " + request.method + " is not served");
        response.headers.emplace_back("Allow", "GET, HEAD, POST");
        return response;
    }
    const std::string hostHeader = request.header("host");
    if (hostHeader.empty()) return errorResponse(400, "the request has no Host header");
    const std::string host = hostOf(hostHeader);
    if (!rules.token && host != "localhost" && !isIpLiteral(host))
        return errorResponse(403, "Host '" + hostHeader + "' is not this service: use its IP address or localhost");
    if (rules.token && !routes.isPublic(request)) {
        const std::string given = request.header("authorization");
        const std::string prefix = "Bearer ";
        if (given.size() <= prefix.size() || lower(given.substr(0, prefix.size())) != "bearer " ||
            !sameSecret(given.substr(prefix.size()), *rules.token)) {
            HttpResponse response = errorResponse(401, "this service needs its token: Authorization: Bearer TOKEN");
            response.headers.emplace_back("WWW-Authenticate", "Bearer");
            return response;
        }
    }
    if (routes.changesBoard(request)) {
        if (!rules.allowWrites)
            return errorResponse(403, "writes are off: start the service with --allow-writes to change boards");
        if (!rules.token) {
            // Without a token, only the service's own page may change a
            // board: a browser names another site in Origin and
            // Sec-Fetch-Site, and a JSON body cannot come from a plain form.
            const std::string origin = request.header("origin");
            if (!origin.empty() && lower(origin) != "http://" + lower(hostHeader))
                return errorResponse(403, "a request from " + origin + " may not change a board");
            const std::string site = request.header("sec-fetch-site");
            if (!site.empty() && site != "same-origin" && site != "none")
                return errorResponse(403, "a request from another site may not change a board");
            if (lower(request.header("content-type")).rfind("application/json", 0) != 0)
                return errorResponse(415, "a request that changes a board carries a JSON body (Content-Type: application/json)");
            if (!loopback) return errorResponse(403, "changes need the token on a service that is not on loopback");
        }
    }
    return std::nullopt;
}

HttpServer::HttpServer(const ListenAddress &address, AccessRules rules, Routes &routes, BoardSet &boards,
                       unsigned threads, ServerLimits limits, const TlsFiles &tls)
    : impl_(std::make_unique<Impl>(address, std::move(rules), routes, boards, limits)) {
    if (tls.enabled()) {
#if BREVANT_SERVE_TLS
        try {
            impl_->tls.emplace(net::ssl::context::tls_server);
            impl_->tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                                    net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                                    net::ssl::context::no_tlsv1_1);
            impl_->tls->use_certificate_chain_file(tls.certificate);
            impl_->tls->use_private_key_file(tls.key, net::ssl::context::pem);
        } catch (const std::exception &e) {
            throw Failure("cannot load the TLS certificate " + tls.certificate + " and key " + tls.key + ": " + e.what());
        }
#else
        throw UsageError("this build of brevantctl serves no HTTPS: put a reverse proxy in front (docs/service.md)");
#endif
    }
    Impl &impl = *impl_;
    // Each sample's event is written once and shared by every stream.
    impl.sampleListener = boards.listen([&impl](const std::shared_ptr<const BoardView> &view) {
        impl.broadcast("event: sample\ndata: " + impl.routes.eventData(*view) + "\n\n", view->id, true);
    });
    ServerHooks hooks;
    hooks.broadcast = [&impl, gate = impl.gate](const std::string &event, const std::string &board, const std::string &data) {
        std::lock_guard<std::mutex> hold(gate->lock);
        if (gate->open) impl.broadcast("event: " + event + "\ndata: " + data + "\n\n", board);
    };
    hooks.metrics = [&impl, gate = impl.gate] {
        std::lock_guard<std::mutex> hold(gate->lock);
        return gate->open ? impl.metricsText() : std::string();
    };
    routes.attach(std::move(hooks));
    impl.accept();
    impl.beat();
    for (unsigned k = 0; k < threads; ++k) threads_.emplace_back([this] { impl_->io.run(); });
}

HttpServer::~HttpServer() {
    {
        std::lock_guard<std::mutex> hold(impl_->gate->lock);
        impl_->gate->open = false;
    }
    impl_->boards.unlisten(impl_->sampleListener);
    net::post(impl_->io, [this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        impl_->acceptRetry.cancel();
        impl_->heartbeat.cancel();
    });
    impl_->io.stop();
    for (std::thread &thread : threads_) thread.join();
}

std::uint16_t HttpServer::port() const { return impl_->acceptor.local_endpoint().port(); }

std::size_t HttpServer::streams() const { return impl_->streams; }

std::size_t HttpServer::connections() const { return impl_->connectionCount(); }

std::size_t HttpServer::connectionCap() const { return impl_->cap; }

}  // namespace brevantctl::serve

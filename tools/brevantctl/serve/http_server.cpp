// http_server.cpp - connections, access rules and the live stream.
#include "http_server.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <deque>
#include <mutex>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace brevantctl::serve {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t kHeaderLimit = 8 * 1024;
constexpr std::size_t kStreamBacklog = 256;  // events a slow reader may fall behind before it is dropped

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

struct HttpServer::Impl {
    Impl(const ListenAddress &address, AccessRules accessRules, Routes &served, BoardSet &boardSet)
        : rules(std::move(accessRules)), routes(served), boards(boardSet), loopback(address.loopback), acceptor(io) {
        const tcp::endpoint endpoint(net::ip::make_address(address.host), address.port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(net::socket_base::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(net::socket_base::max_listen_connections);
    }

    void accept();
    // The refusal of a request by the access rules, if any.
    std::optional<HttpResponse> refuse(const HttpRequest &request) const;

    // The live streams' listeners, so that the server can stop hearing
    // from the boards before its connections go.
    std::uint64_t listen(BoardSet::Listener listener) {
        std::lock_guard<std::mutex> hold(listenersLock);
        const std::uint64_t token = boards.listen(std::move(listener));
        listeners.push_back(token);
        return token;
    }
    void unlisten(std::uint64_t token) {
        boards.unlisten(token);
        std::lock_guard<std::mutex> hold(listenersLock);
        listeners.erase(std::remove(listeners.begin(), listeners.end(), token), listeners.end());
    }
    void unlistenAll() {
        std::lock_guard<std::mutex> hold(listenersLock);
        for (std::uint64_t token : listeners) boards.unlisten(token);
        listeners.clear();
    }

    AccessRules rules;
    Routes &routes;
    BoardSet &boards;
    bool loopback;
    std::atomic<std::size_t> streams{0};
    std::mutex listenersLock;
    std::vector<std::uint64_t> listeners;
    net::io_context io;  // after what the connections use, so it goes first
    tcp::acceptor acceptor;
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
   public:
    Session(tcp::socket socket, HttpServer::Impl &server) : stream_(std::move(socket)), server_(server) {}
    ~Session() {
        if (listener_ != 0) {
            server_.unlisten(listener_);
            --server_.streams;
        }
    }

    void start() {
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->read(); });
    }

   private:
    void read() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
        parser_->body_limit(server_.rules.bodyLimit);
        stream_.expires_after(std::chrono::seconds(30));
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) { self->onRead(error); });
    }

    void onRead(beast::error_code error) {
        if (error == http::error::body_limit) return sendAndClose(errorResponse(413, "the request body is larger than " + std::to_string(server_.rules.bodyLimit) + " bytes"));
        if (error == http::error::header_limit) return sendAndClose(errorResponse(431, "the request head is larger than 8 KiB"));
        if (error) return close();
        const http::request<http::string_body> &raw = parser_->get();
        HttpRequest request;
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

        if (std::optional<HttpResponse> refusal = server_.refuse(request)) return send(*refusal);
        if (request.path == server_.routes.streamPath() && request.method == "GET") return startStream(request);
        HttpResponse response;
        try {
            response = server_.routes.handle(request);
        } catch (const std::exception &e) {
            response = errorResponse(500, e.what());
        }
        send(response);
    }

    void send(const HttpResponse &response) {
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
        http::async_write(stream_, *message, [self = shared_from_this(), message](beast::error_code error, std::size_t) {
            if (error || !self->keepAlive_) return self->close();
            self->read();
        });
    }

    void sendAndClose(const HttpResponse &response) {
        keepAlive_ = false;
        send(response);
    }

    void close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
    }

    // ---- The live stream: one "sample" event per board per sample -------------

    void startStream(const HttpRequest &request) {
        const auto only = request.query.find("board");
        if (only != request.query.end()) board_ = only->second;
        stream_.expires_never();
        std::string head =
            "HTTP/1.1 200 OK\r\nServer: brevantctl\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\nConnection: keep-alive\r\n\r\nretry: 2000\n\n";
        // The boards as they are now, then every new view as it comes.
        for (const auto &monitor : server_.boards.boards()) {
            const auto view = monitor->view();
            if (board_.empty() || view->id == board_) head += event(*view);
        }
        queue_.push_back(std::make_shared<std::string>(std::move(head)));
        ++server_.streams;
        // The listener runs on a board's thread, under the board set's
        // listener lock, and takes no hold on the session there: were it
        // the last holder, the session would end on that thread and, in
        // ending, ask for that same lock again.
        std::weak_ptr<Session> weak = shared_from_this();
        listener_ = server_.listen([weak, executor = stream_.get_executor()](const std::shared_ptr<const BoardView> &view) {
            net::post(executor, [weak, view] {
                if (auto self = weak.lock()) self->push(*view);
            });
        });
        writeNext();
        // A read that ends when the reader goes away.
        stream_.async_read_some(net::buffer(discard_), [self = shared_from_this()](beast::error_code, std::size_t) {
            self->closed_ = true;
            self->close();
        });
    }

    std::string event(const BoardView &view) const {
        return "event: sample\ndata: " + server_.routes.eventData(view) + "\n\n";
    }

    void push(const BoardView &view) {
        if (closed_ || (!board_.empty() && view.id != board_)) return;
        if (queue_.size() >= kStreamBacklog) {
            closed_ = true;
            return close();  // a reader that does not keep up
        }
        queue_.push_back(std::make_shared<std::string>(event(view)));
        if (queue_.size() == 1) writeNext();
    }

    void writeNext() {
        if (queue_.empty() || closed_) return;
        auto text = queue_.front();
        net::async_write(stream_, net::buffer(*text), [self = shared_from_this(), text](beast::error_code error, std::size_t) {
            if (error) {
                self->closed_ = true;
                return self->close();
            }
            self->queue_.pop_front();
            self->writeNext();
        });
    }

    beast::tcp_stream stream_;
    HttpServer::Impl &server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool keepAlive_ = false;
    bool head_ = false;
    std::uint64_t listener_ = 0;
    std::string board_;
    std::deque<std::shared_ptr<std::string>> queue_;
    char discard_[64];
    bool closed_ = false;
};

}  // namespace

void HttpServer::Impl::accept() {
    acceptor.async_accept(net::make_strand(io), [this](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted) return;
        if (!error) std::make_shared<Session>(std::move(socket), *this)->start();
        accept();
    });
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
                       unsigned threads)
    : impl_(std::make_unique<Impl>(address, std::move(rules), routes, boards)) {
    impl_->accept();
    for (unsigned k = 0; k < threads; ++k) threads_.emplace_back([this] { impl_->io.run(); });
}

HttpServer::~HttpServer() {
    impl_->unlistenAll();
    net::post(impl_->io, [this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
    });
    impl_->io.stop();
    for (std::thread &thread : threads_) thread.join();
}

std::uint16_t HttpServer::port() const { return impl_->acceptor.local_endpoint().port(); }

std::size_t HttpServer::streams() const { return impl_->streams; }

}  // namespace brevantctl::serve

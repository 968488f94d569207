// serve_command.cpp - brevantctl serve: the bench service. Finds the boards,
// samples each on its own thread, and serves them until Ctrl-C.
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "../context.h"
#include "../handlers.h"
#include "../service_note.h"
#include "../terminal.h"
#include "../transport.h"
#include "api_routes.h"
#include "board_set.h"
#include "http_server.h"
#include "process_stats.h"

namespace brevantctl::serve {

namespace {

const char kServeDetails[] =
    "Finds the boards of both types (the selection options narrow which: --type, --index, --serial), connects "
    "each, and samples every board each --interval on a thread of its own: the readings of status, and the "
    "module's monitors as watch --module reads them, with the module's identity read when a module appears. It "
    "keeps each board's last sample and its last 3600 samples (--history), looks for boards again every 5 s "
    "(a board that goes is marked down, one that comes is added), and serves a dashboard at /, a JSON API under "
    "/api/v1/, live Server-Sent Events at /api/v1/events and Prometheus metrics at /metrics, until Ctrl-C. "
    "It listens on loopback unless --listen names another address, which needs --token-file. Nothing changes "
    "a board without --allow-writes. --csv-dir appends each board's samples to DIR/<serial>.csv in the "
    "columns of watch --csv. A board is followed by its serial number and place, whatever its device index: one "
    "unplugged and plugged back (here or elsewhere) keeps its entry. --inventory FILE lists the boards the bench "
    "should carry; one that is not attached is shown as missing. --tls-cert and --tls-key serve HTTPS instead of "
    "HTTP (the Linux build). Every write is logged on standard error. On Ctrl-C or SIGTERM it stops within 5 s, "
    "even with a board in the middle of a slow transfer.";

// How long a stop may take: the boards' threads are asked to end, and a
// board in the middle of a slow transfer is left to the system after this.
constexpr auto kStopTime = std::chrono::seconds(4);

std::atomic<bool> stopRequested{false};
extern "C" void onStop(int) { stopRequested = true; }

double secondsOption(const Invocation &inv, const char *name, double fallback, double min, double max) {
    const std::optional<std::string> text = inv.value(name);
    if (!text) return fallback;
    char *end = nullptr;
    const double seconds = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0' || !std::isfinite(seconds) || seconds < min || seconds > max)
        throw UsageError(std::string(name) + " must be " + decimal(min) + " to " + decimal(max) +
                         " seconds (decimals allowed), got '" + *text + "'");
    return seconds;
}

std::string readToken(const std::string &file) {
#ifndef _WIN32
    // As ssh does with a private key: a token others can read is no secret.
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        throw UsageError("the token file " + file + " can be read or changed by other users (mode " + mode +
                         "): make it yours alone with chmod 600 " + file);
    }
#endif
    std::ifstream in(file, std::ios::binary);
    if (!in) throw FileFailure("cannot read the token file " + file);
    std::stringstream text;
    text << in.rdbuf();
    std::string token = text.str();
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
    if (token.size() < 16) throw UsageError("the token in " + file + " must be at least 16 characters");
    for (char c : token) {
        if (c <= ' ' || c > '~') throw UsageError("the token in " + file + " must be printable ASCII without spaces");
    }
    return token;
}

void runServe(Context &c) {
    const Invocation &inv = c.invocation();
    ServiceSettings settings;
    settings.interval = secondsOption(inv, "--interval", 1.0, 0.05, 3600);
    settings.rescanInterval = secondsOption(inv, "--rescan", 5.0, 0.1, 3600);
    settings.historyLength = c.optionNumber("--history", 1, 1000000).value_or(3600);
    if (auto dir = inv.value("--csv-dir")) settings.csvDir = *dir;
    settings.sampling.options["--module"] = "";
    if (auto port = inv.value("--mdio-port"))
        settings.sampling.options["--mdio-port"] = std::to_string(parseNumber(*port, "--mdio-port", 0, 0xFF));
    std::vector<ExpectedBoard> inventory;
    if (auto file = inv.value("--inventory")) inventory = readInventory(*file);
    const ListenAddress address = parseListenAddress(inv.value("--listen").value_or("127.0.0.1:8787"));
    AccessRules rules;
    rules.allowWrites = inv.flag("--allow-writes");
    if (auto file = inv.value("--token-file")) rules.token = readToken(*file);
    if (!address.loopback && !rules.token)
        throw UsageError("--listen " + address.host + " reaches beyond this computer: give --token-file as well");
    TlsFiles tls;
    if (auto cert = inv.value("--tls-cert")) tls.certificate = *cert;
    if (auto key = inv.value("--tls-key")) tls.key = *key;
    if (tls.certificate.empty() != tls.key.empty()) throw UsageError("--tls-cert and --tls-key go together");
    if (tls.enabled() && !tlsAvailable())
        throw UsageError("this build of brevantctl serves no HTTPS: put a reverse proxy in front (docs/service.md)");
    BoardFilter filter;
    if (inv.type) filter.type = parseBoardType(*inv.type);
    if (inv.index) filter.index = static_cast<std::uint16_t>(parseNumber(*inv.index, "--index", 0, kLastDeviceIndex));
    filter.serial = inv.serial;
    if (settings.csvDir) {
        std::error_code error;
        std::filesystem::create_directories(*settings.csvDir, error);
        if (!std::filesystem::is_directory(*settings.csvDir))
            throw FileFailure("cannot create the folder " + *settings.csvDir);
    }

    silenceProgress();
    noteSimulated();
    raiseDescriptorLimit();
    // Held by a pointer: a stop that takes too long leaves it to the system.
    auto boardsHeld = std::make_unique<BoardSet>(settings, filter, inventory);
    BoardSet &boards = *boardsHeld;
    ApiRoutes routes(boards, rules);
    std::unique_ptr<HttpServer> server;
    try {
        server = std::make_unique<HttpServer>(address, rules, routes, boards, 4, ServerLimits{}, tls);
    } catch (const Failure &) {
        throw;
    } catch (const std::exception &e) {
        throw Failure("cannot listen on " + address.host + ":" + std::to_string(address.port) + ": " + e.what());
    }
    const std::string host = address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
    const std::string url = std::string(tls.enabled() ? "https://" : "http://") + host + ":" + std::to_string(server->port()) + "/";
    ServiceNote note(url);
    boards.start();
    std::vector<BoardId> held;
    for (const auto &board : boards.boards()) held.push_back(board->board());
    note.update(held);
    std::printf("brevantctl serve: %zu board%s at %s (writes %s%s)\n", held.size(), held.size() == 1 ? "" : "s",
                url.c_str(), rules.allowWrites ? "allowed" : "off", rules.token ? ", token required" : "");
    flushStdout();
    c.printed();
    if (rules.token && !address.loopback && !tls.enabled())
        std::fprintf(stderr, "brevantctl serve: warning: the token travels in clear text on %s: give --tls-cert and "
                             "--tls-key, or put a TLS reverse proxy in front\n", address.host.c_str());

    stopRequested = false;
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
    while (!stopRequested) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::vector<BoardId> now;
        for (const auto &board : boards.boards()) now.push_back(board->board());
        if (now.size() != held.size()) {
            held = now;
            note.update(held);
        }
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    server.reset();
    // The boards' threads end after their sample or command; a board in the
    // middle of a slow transfer may take long, so the stop waits a set time
    // and then leaves it to the system (each sample is on disk already).
    std::atomic<bool> stopped{false};
    std::thread stopping([&] {
        boardsHeld.reset();
        stopped = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + kStopTime;
    while (!stopped && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!stopped) {
        std::printf("brevantctl serve: stopped (a board still in a transfer was left to end with the process)\n");
        flushStdout();
        std::fflush(stderr);
        std::_Exit(0);
    }
    stopping.join();
    std::printf("brevantctl serve: stopped\n");
}

CommandRegistration registration({
    {"serve", "", 0, 0, "the bench service: every board on a web page, a JSON API and Prometheus metrics",
     kServeDetails, true, runServe,
     {{"--listen", 0, "ADDR:PORT", "where to listen (default 127.0.0.1:8787)"},
      {"--interval", 0, "SECONDS", "time between two samples of a board (default 1)"},
      {"--allow-writes", 0, nullptr, "let the API and the page change boards"},
      {"--token-file", 0, "FILE", "a bearer token every API request must carry (needed off loopback)"},
      {"--csv-dir", 0, "DIR", "append each board's samples to DIR/<serial>.csv"},
      {"--history", 0, "N", "samples kept per board (default 3600)"},
      {"--rescan", 0, "SECONDS", "time between two looks for boards (default 5)"},
      {"--mdio-port", 0, "N", "the MDIO port the modules answer on (default 1; the inventory may set it per board)"},
      {"--inventory", 0, "FILE", "the boards the bench should carry (CSV: serial,name,slot,mdio_port): one absent is missing"},
      {"--tls-cert", 0, "FILE", "serve HTTPS with this PEM certificate chain (with --tls-key)"},
      {"--tls-key", 0, "FILE", "the PEM private key of --tls-cert"}}},
});

}  // namespace
}  // namespace brevantctl::serve

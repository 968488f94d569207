// board_server.cpp - serves virtual boards to brevant.dll running under Wine.
//
// Each board is the virtual board firmware (vboard::Board) behind one
// pseudo-terminal in raw mode. The server links the terminal's slave side
// into the Wine prefix as the board's endpoint,
//     <dosdevices>/usb#vid_04d8&pid_8348#<serial>#{5354fa28-...}/mchp_ep1,
// so that CreateFileA on "\\?\usb#vid_04d8&pid_8348#<serial>#{...}\MCHP_EP1"
// opens it, and answers what the DLL writes there. A terminal is a byte
// stream: the DLL's 64-byte reports are cut out of it 64 bytes at a time,
// and each reply goes back in one write.
//
// A control terminal (linked at --control) takes one command per line and
// answers one line, "ok ..." or "error ...":
//     silent <serial> 0|1   stop or resume answering queries
//     late <serial> <ms>    hold the board's next reply back for <ms>
//     vanish <serial>       unplug: close the board's terminal, drop its link
//     state <serial>        the board's recorded state, as key=value pairs
//
// Usage: brevant_board_server --dosdevices DIR --control PATH --ready FILE
//                             TYPE:SERIAL...
// The ready file is written once every link is in place.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "vboard/board.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kReportSize = 64;
const char kInterfaceClass[] = "{5354fa28-6d14-4e35-a1f5-75bb54e6030f}";

volatile sig_atomic_t stopping = 0;
void onSignal(int) { stopping = 1; }

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "board server: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// A pseudo-terminal in raw mode: no echo, no line editing, no translation of
// any byte. The server keeps the slave side open too, so the master never
// sees a hang-up while no program has the endpoint open.
struct Terminal {
    int master = -1;
    int slave = -1;
    std::string slavePath;

    void open() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) die("posix_openpt");
        const char *name = ptsname(master);
        if (name == nullptr) die("ptsname");
        slavePath = name;
        slave = ::open(name, O_RDWR | O_NOCTTY);
        if (slave < 0) die("open " + slavePath);
        termios t;
        if (tcgetattr(slave, &t) != 0) die("tcgetattr");
        cfmakeraw(&t);
        if (tcsetattr(slave, TCSANOW, &t) != 0) die("tcsetattr");
    }
    void close() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
        master = slave = -1;
    }
};

bool writeAll(int fd, const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct ServedBoard {
    std::unique_ptr<vboard::Board> board;
    Terminal terminal;
    fs::path folder;  // the interface's folder in dosdevices
    std::vector<std::uint8_t> pending;  // bytes of a report still coming in
    bool present = true;
    // Replies held back, in order, with the time each goes out.
    struct Held {
        Clock::time_point at;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Held> held;
    std::chrono::milliseconds lateNext{0};  // delay of the next reply

    // Cuts whole reports out of what arrived and answers each.
    void take(const std::uint8_t *data, std::size_t size) {
        pending.insert(pending.end(), data, data + size);
        std::size_t used = 0;
        while (pending.size() - used >= kReportSize) {
            std::optional<hostwin::Reply> reply = board->onWrite(pending.data() + used, kReportSize);
            used += kReportSize;
            if (!reply || reply->bytes.empty()) continue;
            if (lateNext.count() == 0 && held.empty()) {
                writeAll(terminal.master, reply->bytes.data(), reply->bytes.size());
                continue;
            }
            // A reply never overtakes one held back before it.
            Clock::time_point at = Clock::now() + lateNext;
            if (!held.empty()) at = std::max(at, held.back().at);
            held.push_back({at, std::move(reply->bytes)});
            lateNext = std::chrono::milliseconds(0);
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
    }

    // Sends the held replies whose time has come.
    void release() {
        const Clock::time_point now = Clock::now();
        while (!held.empty() && held.front().at <= now) {
            if (present) writeAll(terminal.master, held.front().bytes.data(), held.front().bytes.size());
            held.pop_front();
        }
    }

    void unplug() {
        terminal.close();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        present = false;
    }
};

std::string describe(vboard::Board &board) {
    std::lock_guard<std::mutex> hold(board.mutex());
    const vboard::BoardState &s = board.state();
    std::ostringstream out;
    out << "resets=" << s.resets << " bootresets=" << s.bootResets
        << " vendorio=" << unsigned(s.vendorIO) << " power=" << unsigned(s.power) << " sense=";
    bool first = true;
    for (const auto &[selector, value] : s.senseEnabled) {
        out << (first ? "" : ",") << selector << ':' << value;
        first = false;
    }
    return out.str();
}

class Server {
   public:
    std::vector<std::unique_ptr<ServedBoard>> boards;
    Terminal control;
    std::string controlLine;

    ServedBoard *find(const std::string &serial) {
        for (auto &b : boards)
            if (b->board->serial() == serial) return b.get();
        return nullptr;
    }

    std::string command(const std::string &line) {
        std::istringstream in(line);
        std::string verb, serial;
        in >> verb >> serial;
        ServedBoard *b = find(serial);
        if (b == nullptr) return "error no board " + serial;
        if (verb == "silent") {
            int on = 0;
            in >> on;
            std::lock_guard<std::mutex> hold(b->board->mutex());
            b->board->knobs().silent = on != 0;
            return "ok";
        }
        if (verb == "late") {
            int ms = 0;
            in >> ms;
            if (ms <= 0) return "error late needs milliseconds";
            b->lateNext = std::chrono::milliseconds(ms);
            return "ok";
        }
        if (verb == "vanish") {
            b->unplug();
            return "ok";
        }
        if (verb == "state") {
            // reports() takes the board's lock itself.
            const std::size_t reports = b->board->reports().size();
            return "ok reports=" + std::to_string(reports) + " " + describe(*b->board);
        }
        return "error unknown command " + verb;
    }

    void takeControl(const char *data, std::size_t size) {
        controlLine.append(data, size);
        std::size_t end;
        while ((end = controlLine.find('\n')) != std::string::npos) {
            std::string line = controlLine.substr(0, end);
            controlLine.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::string answer = command(line) + "\n";
            writeAll(control.master, reinterpret_cast<const std::uint8_t *>(answer.data()),
                     answer.size());
        }
    }

    void run() {
        std::vector<pollfd> fds;
        std::vector<ServedBoard *> owners;
        while (!stopping) {
            fds.clear();
            owners.clear();
            fds.push_back({control.master, POLLIN, 0});
            owners.push_back(nullptr);
            for (auto &b : boards) {
                if (!b->present) continue;
                fds.push_back({b->terminal.master, POLLIN, 0});
                owners.push_back(b.get());
            }
            // Wake up in time for the next held reply.
            long wait = 500;
            for (auto &b : boards) {
                if (b->held.empty()) continue;
                const auto due = std::chrono::duration_cast<std::chrono::milliseconds>(
                    b->held.front().at - Clock::now());
                wait = std::min<long>(wait, std::max<long>(0, static_cast<long>(due.count()) + 1));
            }
            if (poll(fds.data(), fds.size(), static_cast<int>(wait)) < 0) {
                if (errno == EINTR) continue;
                die("poll");
            }
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                std::uint8_t buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) continue;  // the server holds the slave: no hang-up
                if (owners[i] == nullptr) {
                    takeControl(reinterpret_cast<const char *>(buffer), static_cast<std::size_t>(n));
                } else if (owners[i]->present) {
                    owners[i]->take(buffer, static_cast<std::size_t>(n));
                }
            }
            for (auto &b : boards) b->release();
        }
    }
};

void link(const std::string &target, const fs::path &at) {
    std::error_code ignored;
    fs::remove(at, ignored);
    fs::create_symlink(target, at);
}

}  // namespace

int main(int argc, char **argv) {
    fs::path dosdevices, controlPath, readyPath;
    Server server;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dosdevices" && i + 1 < argc) {
            dosdevices = argv[++i];
        } else if (arg == "--control" && i + 1 < argc) {
            controlPath = argv[++i];
        } else if (arg == "--ready" && i + 1 < argc) {
            readyPath = argv[++i];
        } else if (arg.size() > 2 && (arg[0] == '0' || arg[0] == '1') && arg[1] == ':') {
            auto b = std::make_unique<ServedBoard>();
            b->board = std::make_unique<vboard::Board>(arg[0] - '0', arg.substr(2));
            server.boards.push_back(std::move(b));
        } else {
            std::fprintf(stderr,
                         "usage: %s --dosdevices DIR --control PATH --ready FILE TYPE:SERIAL...\n",
                         argv[0]);
            return 2;
        }
    }
    if (dosdevices.empty() || controlPath.empty() || readyPath.empty() || server.boards.empty()) {
        std::fprintf(stderr, "board server: --dosdevices, --control, --ready and boards needed\n");
        return 2;
    }

    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    signal(SIGPIPE, SIG_IGN);

    for (auto &b : server.boards) {
        b->terminal.open();
        char productId[8];
        std::snprintf(productId, sizeof productId, "%04x", unsigned(b->board->productId()));
        b->folder = dosdevices / ("usb#vid_04d8&pid_" + std::string(productId) + "#" +
                                  lower(b->board->serial()) + "#" + kInterfaceClass);
        fs::create_directories(b->folder);
        link(b->terminal.slavePath, b->folder / "mchp_ep1");
    }
    server.control.open();
    link(server.control.slavePath, controlPath);

    if (FILE *ready = std::fopen(readyPath.c_str(), "w")) {
        std::fprintf(ready, "%d\n", int(getpid()));
        std::fclose(ready);
    } else {
        die("write " + readyPath.string());
    }

    server.run();
    for (auto &b : server.boards) {
        if (b->present) b->unplug();
    }
    server.control.close();
    std::error_code ignored;
    fs::remove(controlPath, ignored);
    return 0;
}

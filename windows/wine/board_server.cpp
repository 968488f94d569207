// board_server.cpp - serves virtual boards to brevant.dll running under Wine.
//
// Each board is the virtual board firmware (vboard::Board) behind one
// pseudo-terminal. The server links the terminal's slave side into the Wine
// prefix as the board's endpoint,
//     <dosdevices>/usb#vid_04d8&pid_8348#<serial>#{5354fa28-...}/mchp_ep1,
// so that CreateFileA on "\\?\usb#vid_04d8&pid_8348#<serial>#{...}\MCHP_EP1"
// opens it, and answers what the DLL writes there. The DLL's 64-byte reports
// are cut out of the byte stream 64 bytes at a time.
//
// Replies behave as USB packets do: each reply is handed to exactly one read.
// A terminal is a byte stream, so the board's terminal runs in line mode and
// each reply goes out as one line: its bytes (those the line discipline would
// act on escaped by the literal-next character), then an end-of-file
// character, which ends the line without adding to it. A read takes at most
// one line. A reply is written only once the one before it was read, and when
// a read took only part of a reply the rest is dropped, as a USB packet is
// never split between two reads. (Wine reads a terminal as a serial port: a
// read ends with what has come only under the timeouts the test programs set
// on their read pipes, see usb_pipes.h.)
//
// A control terminal (linked at --control) takes one command per line and
// answers one line, "ok ..." or "error ...":
//     silent <serial> 0|1   stop or resume answering queries
//     late <serial> <ms> [<b0>:<b3>]
//                           hold the board's next reply back for <ms>; with
//                           <b0>:<b3> (hex), the next reply to a report whose
//                           bytes 0 and 3 are those
//     vanish <serial>       unplug: close the board's terminal, drop its link
//     state <serial>        the board's recorded state, as key=value pairs
//                           (queued=<n>: replies not in the terminal yet)
//
// Usage: brevant_board_server --dosdevices DIR --control PATH --ready FILE
//                             TYPE:SERIAL...
// The ready file is written once every link is in place.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
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

// A pseudo-terminal. The server keeps the slave side open too, so the master
// never sees a hang-up while no program has the endpoint open. In raw mode
// (the control terminal) nothing is translated; in packet mode (a board) the
// slave reads one line at a time, and no byte but the line end, end-of-file
// and literal-next characters means anything to the line discipline.
constexpr std::uint8_t kEndOfFile = 0x04;
constexpr std::uint8_t kLiteralNext = 0x16;

struct Terminal {
    int master = -1;
    int slave = -1;
    std::string slavePath;

    void open(bool packets) {
        // Reads never block: the server looks at every terminal each round.
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) die("posix_openpt");
        const char *name = ptsname(master);
        if (name == nullptr) die("ptsname");
        slavePath = name;
        slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave < 0) die("open " + slavePath);
        termios t;
        if (tcgetattr(slave, &t) != 0) die("tcgetattr");
        cfmakeraw(&t);
        if (packets) {
            // Line mode without echo, signals or flow control; every special
            // character but these two is disabled (0 is never special).
            t.c_lflag = ICANON | IEXTEN;
            for (cc_t &c : t.c_cc) c = 0;
            t.c_cc[VEOF] = kEndOfFile;
            t.c_cc[VLNEXT] = kLiteralNext;
            t.c_cc[VMIN] = 1;
        }
        if (tcsetattr(slave, TCSANOW, &t) != 0) die("tcsetattr");
    }
    void close() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
        master = slave = -1;
    }
    // Bytes the slave side has not read yet (end-of-file characters are not
    // counted).
    std::size_t unread() const {
        int n = 0;
        if (ioctl(slave, FIONREAD, &n) != 0 || n < 0) return 0;
        return static_cast<std::size_t>(n);
    }
};

bool writeAll(int fd, const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // The terminal is full: wait a bounded time for room.
            pollfd room{fd, POLLOUT, 0};
            if (poll(&room, 1, 1000) <= 0) return false;
            continue;
        }
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
    // Replies not written yet, in order, with the time each may go out.
    struct Queued {
        Clock::time_point at;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Queued> queued;
    std::chrono::milliseconds lateNext{0};  // delay of the next reply
    int lateFor = -1;  // bytes 0 and 3 of the report whose reply is late, or -1
    // Length of the reply in the terminal that no read has taken whole yet
    // (0: none).
    std::size_t inTerminal = 0;

    // Cuts whole reports out of what arrived and answers each. A report
    // comes once the program's read before it has ended, so the rest of a
    // reply that read took only part of is dropped here.
    void take(const std::uint8_t *data, std::size_t size) {
        pending.insert(pending.end(), data, data + size);
        std::size_t used = 0;
        while (pending.size() - used >= kReportSize) {
            settle();
            const std::uint8_t *report = pending.data() + used;
            const bool late = lateFor < 0 || lateFor == (report[0] << 8 | report[3]);
            std::optional<hostwin::Reply> reply = board->onWrite(report, kReportSize);
            used += kReportSize;
            if (!reply || reply->bytes.empty()) continue;
            // A reply never overtakes one queued before it.
            Clock::time_point at = Clock::now() + (late ? lateNext : std::chrono::milliseconds(0));
            if (!queued.empty()) at = std::max(at, queued.back().at);
            queued.push_back({at, std::move(reply->bytes)});
            if (late) {
                lateNext = std::chrono::milliseconds(0);
                lateFor = -1;
            }
            release();
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
    }

    // Whether the reply in the terminal has been read: whole (nothing of it
    // left), or in part (the rest is dropped).
    void settle() {
        if (inTerminal == 0 || !present) return;
        const std::size_t left = terminal.unread();
        if (left == inTerminal) return;
        if (left > 0) tcflush(terminal.slave, TCIFLUSH);
        inTerminal = 0;
    }

    // Writes the next reply once its time has come and the one before it
    // was read.
    void release() {
        settle();
        if (!present) {
            queued.clear();
            return;
        }
        if (inTerminal != 0 || queued.empty() || queued.front().at > Clock::now()) return;
        std::vector<std::uint8_t> line;
        for (std::uint8_t c : queued.front().bytes) {
            if (c == '\n' || c == kEndOfFile || c == kLiteralNext) line.push_back(kLiteralNext);
            line.push_back(c);
        }
        line.push_back(kEndOfFile);
        inTerminal = queued.front().bytes.size();
        queued.pop_front();
        writeAll(terminal.master, line.data(), line.size());
        // The line discipline takes a write in a moment, on a worker of its
        // own; polling the slave side waits for it, so that from here on a
        // reply missing from the terminal is one that was read.
        pollfd taken{terminal.slave, POLLIN, 0};
        poll(&taken, 1, 0);
    }

    // Whether the server must look again soon: a reply waits to be read.
    bool busy() const { return present && (inTerminal != 0 || !queued.empty()); }

    void unplug() {
        terminal.close();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        present = false;
        queued.clear();
        inTerminal = 0;
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
            b->lateFor = -1;
            unsigned first = 0, fourth = 0;
            std::string which;
            if (in >> which) {
                if (std::sscanf(which.c_str(), "%x:%x", &first, &fourth) != 2 || first > 0xFF || fourth > 0xFF)
                    return "error late takes <b0>:<b3> in hex";
                b->lateFor = static_cast<int>(first << 8 | fourth);
            }
            return "ok";
        }
        if (verb == "vanish") {
            b->unplug();
            return "ok";
        }
        if (verb == "state") {
            // reports() takes the board's lock itself.
            const std::size_t reports = b->board->reports().size();
            return "ok reports=" + std::to_string(reports) + " queued=" + std::to_string(b->queued.size()) +
                   " " + describe(*b->board);
        }
        return "error unknown command " + verb;
    }

    // Takes in what programs wrote to the boards so far: a command on the
    // control terminal sees every report written before it was sent.
    void catchUp() {
        for (auto &b : boards) {
            while (b->present) {
                pollfd ready{b->terminal.master, POLLIN, 0};
                if (poll(&ready, 1, 0) <= 0 || (ready.revents & POLLIN) == 0) break;
                std::uint8_t buffer[4096];
                const ssize_t n = ::read(b->terminal.master, buffer, sizeof buffer);
                if (n <= 0) break;
                b->take(buffer, static_cast<std::size_t>(n));
            }
        }
    }

    void takeControl(const char *data, std::size_t size) {
        controlLine.append(data, size);
        std::size_t end;
        while ((end = controlLine.find('\n')) != std::string::npos) {
            std::string line = controlLine.substr(0, end);
            controlLine.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            catchUp();
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
            // Look again soon while a reply waits to be read or to go out.
            long wait = 500;
            for (auto &b : boards) {
                if (!b->busy()) continue;
                long mine = 1;
                if (b->inTerminal == 0) {
                    const auto due = std::chrono::duration_cast<std::chrono::milliseconds>(
                        b->queued.front().at - Clock::now());
                    mine = std::max<long>(0, static_cast<long>(due.count()) + 1);
                }
                wait = std::min(wait, mine);
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
        b->terminal.open(true);
        char productId[8];
        std::snprintf(productId, sizeof productId, "%04x", unsigned(b->board->productId()));
        b->folder = dosdevices / ("usb#vid_04d8&pid_" + std::string(productId) + "#" +
                                  lower(b->board->serial()) + "#" + kInterfaceClass);
        fs::create_directories(b->folder);
        link(b->terminal.slavePath, b->folder / "mchp_ep1");
    }
    server.control.open(false);
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

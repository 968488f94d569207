// state_file.cpp - the locked merge of changed boards into the state file.
#include "vboard/state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

namespace vboard {

namespace {

constexpr char kHeader[] = "brevant-bench-state 1";

// The position a "board P T S" line names; false for any other line.
bool boardLine(const std::string &line, std::size_t &position) {
    if (line.compare(0, 6, "board ") != 0) return false;
    char *end = nullptr;
    const unsigned long value = std::strtoul(line.c_str() + 6, &end, 10);
    if (end == line.c_str() + 6 || *end != ' ') return false;
    position = value;
    return true;
}

// The sections of a state file text by position. Anything that is not a
// state file gives none; lines before the first board line are dropped.
std::map<std::size_t, std::string> sections(const std::string &text) {
    std::map<std::size_t, std::string> out;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return out;
    std::string *current = nullptr;
    while (std::getline(in, line)) {
        if (line == "end") break;
        std::size_t position = 0;
        if (boardLine(line, position)) {
            current = &out[position];
            current->clear();
        }
        if (current != nullptr) *current += line + "\n";
    }
    return out;
}

bool readAll(int fd, std::string &text) {
    char chunk[8192];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

bool writeAll(int fd, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// Holds an exclusive flock on a file for its lifetime.
class Lock {
   public:
    explicit Lock(const std::string &path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    error_ = errno;
                    ::close(fd_);
                    fd_ = -1;
                    return;
                }
            }
        } else {
            error_ = errno;
        }
    }
    ~Lock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    bool held() const { return fd_ >= 0; }
    int error() const { return error_; }

   private:
    int fd_;
    int error_ = 0;
};

}  // namespace

std::string mergeStateText(const std::string &current, const std::map<std::size_t, std::string> &changed) {
    std::map<std::size_t, std::string> all = sections(current);
    for (const auto &section : changed) all[section.first] = section.second;
    std::string text = std::string(kHeader) + "\n";
    for (const auto &section : all) text += section.second;
    return text + "end\n";
}

std::string saveMergedState(const std::string &path, const std::map<std::size_t, std::string> &changed,
                            const std::map<std::size_t, std::string> &all) {
    const Lock lock(path + ".lock");
    if (!lock.held()) return std::string("cannot lock ") + path + ".lock: " + std::strerror(lock.error());
    std::string current;
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in >= 0) {
        const bool read = readAll(in, current);
        ::close(in);
        if (!read) current.clear();
    } else if (errno != ENOENT) {
        return std::string("cannot read ") + path + ": " + std::strerror(errno);
    }
    if (in >= 0 && changed.empty()) return std::string();
    // A file another program created meanwhile has its boards: only the
    // changed ones go in. No file at all: this run's view of every board.
    const std::string text = mergeStateText(current, in >= 0 ? changed : all);
    // A sibling file renamed over the old one: an interrupted save leaves the
    // previous state whole.
    const std::string temporary = path + ".new" + std::to_string(static_cast<long>(::getpid()));
    const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) return std::string("cannot write ") + temporary + ": " + std::strerror(errno);
    const bool written = writeAll(out, text);
    const int error = errno;
    if (::close(out) != 0 || !written) {
        ::unlink(temporary.c_str());
        return std::string("cannot write ") + temporary + ": " + std::strerror(written ? errno : error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.c_str());
        return std::string("cannot replace ") + path + ": " + std::strerror(renameError);
    }
    return std::string();
}

}  // namespace vboard

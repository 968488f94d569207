// files.cpp - image files: sibling temporary files, atomic replacement and
// whole reads, with the system's reason in every message.
#include "files.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include "interrupt.h"
#include "outcome.h"
#include "terminal.h"

namespace brevantctl {

namespace fs = std::filesystem;

namespace {

int openExclusive(const std::string &path) {
#ifdef _WIN32
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
}

long processId() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

// The temporary file being written, removed when Ctrl-C or a termination
// signal ends the program before it is complete (one output file at a time).
char pendingPath[4096];
using Handler = void (*)(int);
Handler previousInt = SIG_DFL, previousTerm = SIG_DFL;

extern "C" void removePending(int signal) {
    if (pendingPath[0] != '\0') {
#ifdef _WIN32
        _unlink(pendingPath);
#else
        unlink(pendingPath);
#endif
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void watchPending(const std::string &path) {
    // While an InterruptWatch lives a signal only stops the transfer, and
    // the OutputFile going removes the temporary file.
    if (InterruptWatch::active()) return;
    if (path.size() >= sizeof pendingPath) return;
    std::memcpy(pendingPath, path.c_str(), path.size() + 1);
    previousInt = std::signal(SIGINT, removePending);
    previousTerm = std::signal(SIGTERM, removePending);
}

void forgetPending() {
    if (pendingPath[0] == '\0') return;
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    pendingPath[0] = '\0';
}

}  // namespace

OutputFile::OutputFile(const std::string &path, bool force) : path_(path) {
    if (path_ == "-") {
        if (isTerminal(stdout))
            throw UsageError("standard output is a terminal; the image is binary, so redirect it to a file or pipe");
        setBinary(stdout);
        file_ = stdout;
        return;
    }
    std::error_code ec;
    // Saving to a symbolic link writes the file it points to, as cp does,
    // rather than replacing the link with a file of its own.
    target_ = path_;
    if (fs::is_symlink(fs::symlink_status(path_, ec))) {
        const fs::path resolved = fs::weakly_canonical(path_, ec);
        if (!ec) target_ = resolved.string();
    }
    const fs::file_status status = fs::status(target_, ec);
    if (fs::is_directory(status)) fail("it is a directory", EISDIR);
    if (fs::exists(status) && !fs::is_regular_file(status))
        fail("it is not a regular file (an image replaces the file it is saved to)", 0);
    // Renaming over a file needs only its folder to be writable: the file's
    // own protection is honoured here, also for root, who may write anything.
    if (fs::exists(status) && !force) {
        const bool noWriteBits = (status.permissions() & (fs::perms::owner_write | fs::perms::group_write |
                                                          fs::perms::others_write)) == fs::perms::none;
#ifdef _WIN32
        const bool denied = false;
#else
        const bool denied = ::access(target_.c_str(), W_OK) != 0 && errno == EACCES;
#endif
        if (noWriteBits || denied) fail("it is write-protected (--force replaces it)", 0);
    }
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary_ = target_ + ".part" + std::to_string(processId()) + "-" + std::to_string(attempt);
        fd = openExclusive(temporary_);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int error = errno;
        temporary_.clear();
        fail("cannot create a file in its folder", error);
    }
    watchPending(temporary_);
#ifndef _WIN32
    // A replaced file keeps its permissions.
    struct stat old {};
    if (fs::exists(status) && ::stat(target_.c_str(), &old) == 0) (void)::fchmod(fd, old.st_mode & 07777);
#endif
#ifdef _WIN32
    file_ = _fdopen(fd, "wb");
#else
    file_ = fdopen(fd, "wb");
#endif
    if (file_ == nullptr) {
        const int error = errno;
#ifdef _WIN32
        _close(fd);
#else
        ::close(fd);
#endif
        fail("cannot open", error);
    }
}

OutputFile::~OutputFile() {
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    forgetPending();
}

void OutputFile::fail(const std::string &what, int error) {
    const std::string name = path_ == "-" ? std::string("standard output") : "'" + path_ + "'";
    throw FileFailure("cannot write " + name + ": " + what + (error != 0 ? std::string(": ") + std::strerror(error) : ""));
}

void OutputFile::write(const std::vector<std::uint8_t> &bytes) {
    errno = 0;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
        fail("write error", errno);
}

void OutputFile::commit() {
    errno = 0;
    if (file_ == stdout) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) fail("write error", errno);
        return;
    }
    std::FILE *file = file_;
    file_ = nullptr;
    const bool flushed = std::fflush(file) == 0 && !std::ferror(file);
    int error = errno;
#ifndef _WIN32
    const bool synced = flushed && ::fsync(fileno(file)) == 0;
    if (flushed && !synced) error = errno;
#else
    const bool synced = flushed;
#endif
    const bool closed = std::fclose(file) == 0;
    if (!closed && synced) error = errno;
    if (!flushed || !synced || !closed) fail("write error", error);
    std::error_code ec;
    fs::rename(temporary_, target_, ec);
    if (ec) fail("cannot replace it: " + ec.message(), 0);
    temporary_.clear();
    forgetPending();
}

std::vector<std::uint8_t> readInput(const std::string &path, std::size_t limit) {
    const bool standardInput = path == "-";
    const std::string name = standardInput ? std::string("standard input") : "'" + path + "'";
    std::FILE *file = stdin;
    if (standardInput) {
        setBinary(stdin);
    } else {
        std::error_code ec;
        if (fs::is_directory(path, ec)) throw FileFailure("cannot read " + name + ": " + std::strerror(EISDIR));
        file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) throw FileFailure("cannot read " + name + ": " + std::strerror(errno));
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[8192];
    errno = 0;
    while (bytes.size() <= limit) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) break;
    }
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    if (!standardInput) std::fclose(file);
    if (failed) throw FileFailure("cannot read " + name + ": " + (error != 0 ? std::strerror(error) : "read error"));
    if (bytes.size() > limit + 1) bytes.resize(limit + 1);
    return bytes;
}

}  // namespace brevantctl

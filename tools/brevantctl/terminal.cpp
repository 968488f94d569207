// terminal.cpp - the terminal checks (the one place that differs between
// Windows and POSIX) and the progress bar.
#include "terminal.h"

#include <atomic>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace brevantctl {

bool isTerminal(std::FILE *stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void setBinary(std::FILE *stream) {
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

std::string formatDuration(double seconds) {
    const long total = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
    char text[32];
    if (total < 60)
        std::snprintf(text, sizeof text, "%ld s", total);
    else if (total < 3600)
        std::snprintf(text, sizeof text, "%ld min %02ld s", total / 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld h %02ld min", total / 3600, total / 60 % 60);
    return text;
}

namespace {
std::atomic<bool> progressSilenced{false};
}  // namespace

void silenceProgress() { progressSilenced = true; }

Progress::Progress(std::string label, std::uint32_t total, std::string unit)
    : label_(std::move(label)), total_(total), unit_(std::move(unit)), shown_(total > 0 && !progressSilenced && isTerminal(stderr)),
      start_(std::chrono::steady_clock::now()), lastDraw_(start_) {
    if (shown_) draw(0, 0);
}

Progress::~Progress() {
    if (shown_) {
        // Clear the bar so that what follows starts on a clean line.
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
        std::fflush(stderr);
    }
}

void Progress::update(std::uint32_t done) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    draw(done, std::chrono::duration<double>(now - start_).count());
}

void Progress::draw(std::uint32_t done, double elapsed) {
    constexpr unsigned kWidth = 30;
    const unsigned percent = static_cast<unsigned>(static_cast<std::uint64_t>(done) * 100u / total_);
    const unsigned filled = percent * kWidth / 100u;
    std::string bar(filled, '#');
    bar.append(kWidth - filled, '.');
    std::string speed = "";
    if (elapsed > 0 && done > 0) {
        const double rate = done / elapsed;
        char text[64];
        if (!unit_.empty())
            std::snprintf(text, sizeof text, "  %.0f %s/s", rate, unit_.c_str());
        else if (rate < 10000)
            std::snprintf(text, sizeof text, "  %.0f B/s", rate);
        else if (rate < 10e6)
            std::snprintf(text, sizeof text, "  %.1f kB/s", rate / 1e3);
        else
            std::snprintf(text, sizeof text, "  %.1f MB/s", rate / 1e6);
        speed = std::string(text) + "  " + formatDuration((total_ - done) / rate) + " left";
    }
    char line[256];
    const int size = std::snprintf(line, sizeof line, "\r%s [%s] %3u%% %u/%u%s", label_.c_str(), bar.c_str(), percent,
                                   done, total_, speed.c_str());
    const std::size_t width = size > 0 ? static_cast<std::size_t>(size) : 0;
    // Pad over a longer line drawn before.
    std::fprintf(stderr, "%s%*s", line, width_ > width ? static_cast<int>(width_ - width) : 0, "");
    if (width > width_) width_ = width;
    std::fflush(stderr);
}

}  // namespace brevantctl

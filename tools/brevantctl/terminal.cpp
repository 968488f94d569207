// terminal.cpp - the terminal check (the one place that differs between
// Windows and POSIX) and the progress bar.
#include "terminal.h"

#ifdef _WIN32
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

Progress::Progress(std::string label, std::uint32_t total)
    : label_(std::move(label)), total_(total), shown_(total > 0 && isTerminal(stderr)) {
    update(0);
}

Progress::~Progress() {
    if (shown_ && lastPercent_ <= 100) {
        // Clear the bar so that what follows starts on a clean line.
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(label_.size() + 60), "");
        std::fflush(stderr);
    }
}

void Progress::update(std::uint32_t done) {
    if (!shown_) return;
    const unsigned percent = static_cast<unsigned>(static_cast<std::uint64_t>(done) * 100u / total_);
    if (percent != lastPercent_) draw(percent);
}

void Progress::draw(unsigned percent) {
    constexpr unsigned kWidth = 40;
    const unsigned filled = percent * kWidth / 100u;
    std::string bar(filled, '#');
    bar.append(kWidth - filled, '.');
    std::fprintf(stderr, "\r%s [%s] %3u%%", label_.c_str(), bar.c_str(), percent);
    std::fflush(stderr);
    lastPercent_ = percent;
}

}  // namespace brevantctl

// terminal.h - whether a stream is a terminal, binary mode for standard
// streams, and a progress bar drawn only on a terminal.
#ifndef BREVANTCTL_TERMINAL_H
#define BREVANTCTL_TERMINAL_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace brevantctl {

bool isTerminal(std::FILE *stream);
// Standard input or output carries bytes untranslated (Windows).
void setBinary(std::FILE *stream);

// "12 s", "4 min 05 s", "1 h 02 min"
std::string formatDuration(double seconds);

// Progress bars are off for the rest of the process (the bench service,
// whose boards are read on threads of their own).
void silenceProgress();

// A one-line bar on standard error with the byte rate and the time left,
// redrawn at most ten times a second. Draws nothing when standard error is
// not a terminal, or after silenceProgress().
class Progress {
   public:
    // `unit` names what is counted in the rate ("registers"); bytes by default.
    Progress(std::string label, std::uint32_t total, std::string unit = "");
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(std::uint32_t done);

   private:
    void draw(std::uint32_t done, double elapsed);

    std::string label_;
    std::uint32_t total_;
    std::string unit_;
    bool shown_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
    std::size_t width_ = 0;
};

}  // namespace brevantctl

#endif

// terminal.h - whether a stream is a terminal, and a progress bar drawn only
// there.
#ifndef BREVANTCTL_TERMINAL_H
#define BREVANTCTL_TERMINAL_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace brevantctl {

bool isTerminal(std::FILE *stream);

// A one-line bar on standard error, redrawn when the percentage changes.
// Draws nothing when standard error is not a terminal.
class Progress {
   public:
    Progress(std::string label, std::uint32_t total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(std::uint32_t done);

   private:
    void draw(unsigned percent);

    std::string label_;
    std::uint32_t total_;
    bool shown_;
    unsigned lastPercent_ = 101;
};

}  // namespace brevantctl

#endif

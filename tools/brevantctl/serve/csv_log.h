// csv_log.h - a board's samples appended to DIR/<board>.csv in the columns
// watch --csv writes, one line per sample, flushed as it is written. A file
// that exists is continued, never truncated: rows follow its header. When a
// sample brings a column the header lacks (a module plugged in later), the
// file is renamed to DIR/<board>.<time>.csv and a new one begins. A board
// given another serial number (sn set) continues in its new name's file.
#ifndef BREVANTCTL_SERVE_CSV_LOG_H
#define BREVANTCTL_SERVE_CSV_LOG_H

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "../monitoring.h"

namespace brevantctl::serve {

class CsvLog {
   public:
    CsvLog(const std::string &dir, const std::string &board);
    ~CsvLog();
    CsvLog(const CsvLog &) = delete;
    CsvLog &operator=(const CsvLog &) = delete;

    // Appends one row; a file that cannot be written is reported once on
    // standard error, and the service goes on.
    void append(std::chrono::system_clock::time_point time, const std::vector<Reading> &readings);
    const std::string &path() const { return path_; }
    const std::string &board() const { return board_; }

   private:
    bool open(const std::vector<Reading> &readings);
    void fail(const std::string &what);

    std::string dir_, board_, path_;
    std::FILE *file_ = nullptr;
    std::vector<std::string> columns_;  // after "time"
    bool reported_ = false;
};

}  // namespace brevantctl::serve

#endif

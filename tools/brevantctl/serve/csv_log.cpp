// csv_log.cpp - appending samples to a board's CSV file.
#include "csv_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace brevantctl::serve {

namespace {

// The fields of one CSV line (the header's names carry no quotes or commas
// but a quoted one is read back whole).
std::vector<std::string> fields(const std::string &line) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') out.back() += '"', ++i;
            else if (c == '"') quoted = false;
            else out.back() += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            out.emplace_back();
        } else if (c != '\r') {
            out.back() += c;
        }
    }
    return out;
}

// Board ids are serial numbers (printable, no spaces) or "type1-index0";
// anything a file name cannot hold becomes '_'.
std::string fileName(const std::string &board) {
    std::string name;
    for (char c : board) name += std::strchr("/\\:*?\"<>|", c) != nullptr ? '_' : c;
    return name;
}

}  // namespace

CsvLog::CsvLog(const std::string &dir, const std::string &board)
    : dir_(dir), board_(board), path_((std::filesystem::path(dir) / (fileName(board) + ".csv")).string()) {}

CsvLog::~CsvLog() {
    if (file_ != nullptr) std::fclose(file_);
}

void CsvLog::fail(const std::string &what) {
    if (!reported_) std::fprintf(stderr, "brevantctl: serve: %s: %s\n", path_.c_str(), what.c_str());
    reported_ = true;
}

bool CsvLog::open(const std::vector<Reading> &readings) {
    std::vector<std::string> wanted;
    for (const Reading &r : readings) {
        if (hasColumn(r)) wanted.push_back(csvColumn(r));
    }
    if (file_ != nullptr) {
        if (std::all_of(wanted.begin(), wanted.end(), [&](const std::string &c) {
                return std::find(columns_.begin(), columns_.end(), c) != columns_.end();
            }))
            return true;
        std::fclose(file_);
        file_ = nullptr;
    }
    std::error_code error;
    if (std::filesystem::exists(path_, error)) {
        // Continue the file when its header holds every column; otherwise put
        // it aside under the time it was set aside.
        std::ifstream in(path_);
        std::string header;
        std::getline(in, header);
        std::vector<std::string> names = fields(header);
        const bool fits = !names.empty() && names.front() == "time" &&
                          std::all_of(wanted.begin(), wanted.end(), [&](const std::string &c) {
                              return std::find(names.begin() + 1, names.end(), c) != names.end();
                          });
        if (fits) {
            file_ = std::fopen(path_.c_str(), "ab");
            if (file_ == nullptr) {
                fail(std::strerror(errno));
                return false;
            }
            columns_.assign(names.begin() + 1, names.end());
            return true;
        }
        std::string stamp = timestamp(std::chrono::system_clock::now());
        for (char &c : stamp) c = c == ':' ? '-' : c;
        const std::filesystem::path aside =
            std::filesystem::path(path_).replace_extension("").string() + "." + stamp + ".csv";
        std::filesystem::rename(path_, aside, error);
        if (error) {
            fail("cannot set the file aside for new columns: " + error.message());
            return false;
        }
    }
    file_ = std::fopen(path_.c_str(), "ab");
    if (file_ == nullptr) {
        fail(std::strerror(errno));
        return false;
    }
    columns_ = wanted;
    std::string header = "time";
    for (const std::string &c : columns_) header += "," + csvField(c);
    std::fprintf(file_, "%s\n", header.c_str());
    return true;
}

void CsvLog::append(std::chrono::system_clock::time_point time, const std::vector<Reading> &readings) {
    if (!open(readings)) return;
    std::string row = timestamp(time);
    for (const std::string &column : columns_) {
        row += ',';
        for (const Reading &r : readings) {
            if (hasColumn(r) && csvColumn(r) == column) {
                row += csvField(r.cell());
                break;
            }
        }
    }
    if (std::fprintf(file_, "%s\n", row.c_str()) < 0 || std::fflush(file_) != 0) fail(std::strerror(errno));
}

}  // namespace brevantctl::serve

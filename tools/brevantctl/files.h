// files.h - the files of EEPROM images: written through a sibling temporary
// file renamed over the target when complete, read whole; "-" stands for
// standard output or input.
#ifndef BREVANTCTL_FILES_H
#define BREVANTCTL_FILES_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace brevantctl {

// An output file opened before any work is done, so a path that cannot be
// written fails at once. The data goes to a temporary file beside `path`;
// commit() renames it over `path`. Dropped without commit() the temporary file
// is removed and `path` is left as it was. "-" writes standard output
// (refused on a terminal: the data is binary). A write-protected file is
// refused, as cp does, unless `force`.
class OutputFile {
   public:
    explicit OutputFile(const std::string &path, bool force = false);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    void write(const std::vector<std::uint8_t> &bytes);
    void commit();
    bool isStdout() const { return path_ == "-"; }
    const std::string &path() const { return path_; }

   private:
    [[noreturn]] void fail(const std::string &what, int error);

    std::string path_;
    std::string target_;  // path_, or the file it links to
    std::string temporary_;
    std::FILE *file_ = nullptr;
};

// The bytes of `path` ("-": standard input), at most `limit` + 1 of them so
// that a file too large shows without reading it all. FileFailure naming the
// file when it cannot be read.
std::vector<std::uint8_t> readInput(const std::string &path, std::size_t limit);

}  // namespace brevantctl

#endif

// service_note.h - while brevantctl serve holds boards, it leaves a note
// (one small file per service process, in the temporary folder) saying
// which boards it holds and where it listens. Another brevantctl that finds
// a board busy reads the notes to say who holds it.
#ifndef BREVANTCTL_SERVICE_NOTE_H
#define BREVANTCTL_SERVICE_NOTE_H

#include <optional>
#include <string>
#include <vector>

#include "board.h"

namespace brevantctl {

// Writes this process's note; the destructor takes it away.
class ServiceNote {
   public:
    explicit ServiceNote(std::string url);
    ~ServiceNote();
    ServiceNote(const ServiceNote &) = delete;
    ServiceNote &operator=(const ServiceNote &) = delete;
    // The boards the service holds now.
    void update(const std::vector<BoardId> &boards);

   private:
    std::string url_, path_;
};

// "brevantctl serve (process 1234) holds it and serves it at http://..."
// when a running service's note names the board.
std::optional<std::string> serviceHolding(const BoardId &board);

// The folder of the notes (tests point it elsewhere with
// BREVANTCTL_SERVICE_NOTES).
std::string serviceNoteFolder();

// This process's id, and whether a process runs (the note's writer may have
// died without taking it away).
unsigned long currentProcessId();
bool processRuns(unsigned long pid);

}  // namespace brevantctl

#endif

// doctor_checks.h - the battery of brevantctl doctor on one board.
#ifndef BREVANTCTL_DOCTOR_CHECKS_H
#define BREVANTCTL_DOCTOR_CHECKS_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "doctor.h"

namespace brevantctl {

struct DoctorOptions {
    std::uint8_t mdioPort = 1;
    bool writes = false;
    // Says a write to the board before it runs.
    std::function<void(const std::string &)> announce;
};

class BoardDoctor {
   public:
    BoardDoctor(const BoardId &id, WireTap &tap, const DoctorOptions &options);
    ~BoardDoctor();
    BoardDoctor(const BoardDoctor &) = delete;
    BoardDoctor &operator=(const BoardDoctor &) = delete;

    // Runs every check in order; a board that does not connect gets the
    // rest as not run.
    std::vector<Check> run();
    // The serial number when the EEPROM head was read; the location the
    // wire log gave the board.
    const std::optional<std::string> &serial() const { return serial_; }
    const std::string &location() const { return location_; }

   private:
    std::vector<WireLine> lines();
    Check &add(const std::string &name);
    void skip(const std::string &name, const std::string &reason);

    void connect();
    void ping();
    void queries();
    void roundTrips();
    void framing();
    void echo();
    void lateReplies();
    void eepromHead();
    void module();
    void monitors();
    void writes();

    BoardId id_;
    WireTap &tap_;
    const DoctorOptions &options_;
    CFP2INSTANCE *instance_;
    bool connected_ = false;
    std::vector<Check> checks_;
    std::optional<std::string> serial_;
    std::string location_;
    std::vector<std::uint8_t> pingReport_;
    // Each query's exchange as the wire showed it, by query name.
    std::vector<std::pair<std::string, WireExchange>> replies_;
    unsigned lateCollected_ = 0;     // replies read right after a read that timed out
    bool previousTimedOut_ = false;
    bool tooLong_ = false;        // a reply longer than asked reached the library
    bool queriesWorked_ = false;  // at least one query gave its whole reply
};

}  // namespace brevantctl

#endif

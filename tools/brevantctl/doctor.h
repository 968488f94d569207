// doctor.h - what the parts of brevantctl doctor share: a check and its
// outcome, the lines of the run's wire log, and the board's whole packets.
#ifndef BREVANTCTL_DOCTOR_H
#define BREVANTCTL_DOCTOR_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "json.h"

namespace brevantctl {

// One check of the battery. `reason` says in words what was found and holds
// no times, so a replayed run gives the same reason; `measured` holds the
// times, `facts` the numbers and bytes behind both.
struct Check {
    enum class Status { Ok, Warning, Failed, Skipped };
    std::string name;
    Status status = Status::Ok;
    std::string reason;
    std::string measured;
    std::vector<std::string> detail;  // further lines of the readable summary
    Json facts = Json::object();
};
const char *statusWord(Check::Status status);

// One transfer line of the wire log (docs/wire-log.md).
struct WireLine {
    bool report = false;  // a report written; otherwise a reply read
    std::string location, serial;
    std::uint32_t asked = 0, got = 0;
    std::optional<std::uint32_t> waitMs;
    std::uint64_t tookUs = 0;
    std::string outcome;  // ok, timeout, gone, error
    std::vector<std::uint8_t> bytes;
};
std::optional<WireLine> parseWireLine(const std::string &text);

// A report and the reply read that ended its exchange.
struct WireExchange {
    std::optional<WireLine> report, reply;
};

// The wire log of this run: BREVANT_WIRE_LOG when the user set it (the
// lines from where it ended when the run began), otherwise a temporary
// file, removed at the end. Set up before the library's first call.
class WireTap {
   public:
    WireTap();
    ~WireTap();
    WireTap(const WireTap &) = delete;
    WireTap &operator=(const WireTap &) = delete;
    // Whether the log can be read back.
    bool available() const { return !path_.empty(); }
    // The transfer lines written since the last take.
    std::vector<WireLine> take();
    // The whole text the run added to the log.
    std::string text() const;

   private:
    std::string path_;
    bool temporary_ = false;
    long start_ = 0;  // where the run's lines begin
    long taken_ = 0;  // where the next take begins
};

// A whole-packet exchange through the library's diagnostic entry point:
// nullopt where the build has none (the Windows DLL).
struct PacketRead {
    enum class Outcome { Ok, Timeout, Gone, Error, NotConnected } outcome;
    std::uint32_t received = 0;
    std::vector<std::uint8_t> bytes;  // what the buffer holds
};
std::optional<PacketRead> packetExchange(CFP2INSTANCE *instance, const std::uint8_t *report,
                                         std::uint32_t capacity, std::uint32_t waitMs);

// Bytes as "56 45 53 4B".
std::string spacedHex(const std::vector<std::uint8_t> &bytes);

}  // namespace brevantctl

#endif

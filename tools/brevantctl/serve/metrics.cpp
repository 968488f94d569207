// metrics.cpp - Prometheus text exposition of the boards' last samples.
#include "metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>

namespace brevantctl::serve {

namespace {

// A label value: backslash, quote and line feed escaped; bytes outside
// printable ASCII (board bytes are not UTF-8) as \xNN text.
std::string labelValue(const std::string &text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\\\x%02X", static_cast<unsigned>(byte));
            out += escaped;
        } else out += c;
    }
    return out;
}

std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

struct Family {
    std::string type, help;
    std::vector<std::string> lines;
};

class Exposition {
   public:
    void add(const std::string &name, const char *type, const char *help, const std::string &labels, double value) {
        Family &family = families_[name];
        if (family.type.empty()) {
            family.type = type;
            family.help = help;
            order_.push_back(name);
        }
        family.lines.push_back(name + "{" + labels + "} " + number(value));
    }
    std::string text() const {
        std::string out;
        for (const std::string &name : order_) {
            const Family &family = families_.at(name);
            out += "# HELP " + name + " " + family.help + "\n# TYPE " + name + " " + family.type + "\n";
            for (const std::string &line : family.lines) out += line + "\n";
        }
        return out;
    }

   private:
    std::map<std::string, Family> families_;
    std::vector<std::string> order_;
};

// The module states the register sheet names, as module status shows them.
const char *const kModuleStates[] = {"Initialize", "Low-Power", "High-Power-up", "TX-Off",         "TX-Turn-on",
                                     "Ready",      "Fault",     "TX-Turn-off",   "High-Power-down"};

// "module_lane3_txPower_mW" -> lane 3, "txPower_mW".
bool laneKey(const std::string &key, unsigned &lane, std::string &rest) {
    const std::string prefix = "module_lane";
    if (key.rfind(prefix, 0) != 0) return false;
    std::size_t i = prefix.size(), digits = 0;
    lane = 0;
    while (i < key.size() && key[i] >= '0' && key[i] <= '9') lane = lane * 10 + static_cast<unsigned>(key[i++] - '0'), ++digits;
    if (digits == 0 || i >= key.size() || key[i] != '_') return false;
    rest = key.substr(i + 1);
    return true;
}

}  // namespace

std::string metricsText(const std::vector<std::shared_ptr<const BoardView>> &views) {
    Exposition e;
    // The location is where the board is attached, not its device index,
    // which shifts when another board goes: a series keeps its identity.
    // Not known, it is empty, which Prometheus reads as no location.
    // A board whose serial number does not answer (or is blank) is named as
    // the API names it, never "".
    std::vector<std::string> boardLabels;
    for (const auto &view : views)
        boardLabels.push_back("serial=\"" +
                              labelValue(view->serial && !view->serial->empty() ? *view->serial : view->id) +
                              "\",type=\"" +
                              std::to_string(view->board.type) + "\",location=\"" +
                              labelValue(view->location.value_or("")) + "\"");
    for (std::size_t i = 0; i < views.size(); ++i) {
        const auto &view = views[i];
        const std::string &labels = boardLabels[i];
        if (view->expected) {
            // The inventory's boards, found or not: an alert can fire for a
            // board that was never there since a restart.
            const std::string expected = "serial=\"" + labelValue(view->serial.value_or("")) + "\",name=\"" +
                                         labelValue(view->name.value_or("")) + "\",slot=\"" +
                                         labelValue(view->slot.value_or("")) + "\"";
            e.add("brevant_board_expected", "gauge", "A board the inventory lists.", expected, 1);
            e.add("brevant_board_missing", "gauge", "Whether a board the inventory lists is absent (1) or attached (0).",
                  expected, view->state == "missing" ? 1 : 0);
        }
        if (!view->seen) continue;  // never found: no type, no place
        // One board listed twice (found again at another device index) is
        // one set of series, the later entry's: two series with the same
        // labels would spoil the scrape.
        if (std::find(boardLabels.begin() + static_cast<std::ptrdiff_t>(i) + 1, boardLabels.end(), labels) !=
            boardLabels.end())
            continue;
        e.add("brevant_up", "gauge", "Whether the board answered its last sample (1) or not (0).", labels,
              view->state == "up" ? 1 : 0);
        e.add("brevant_samples_total", "counter", "Samples taken of the board.", labels,
              static_cast<double>(view->samples));
        e.add("brevant_failed_samples_total", "counter", "Samples in which at least one reading failed.", labels,
              static_cast<double>(view->failedSamples));
        e.add("brevant_reconnects_total", "counter", "Times the board's connection was opened again after a failure.",
              labels, static_cast<double>(view->reconnects));
        if (view->time) {
            e.add("brevant_last_sample_timestamp_seconds", "gauge", "When the last sample was taken (Unix time).",
                  labels, std::chrono::duration<double>(view->time->time_since_epoch()).count());
            e.add("brevant_sample_duration_seconds", "gauge", "How long the last sample took.", labels,
                  view->sampleSeconds);
        }
        const bool up = view->state == "up";
        bool modulePresent = false;
        for (const Reading &r : view->readings)
            modulePresent = modulePresent || (r.state == Reading::State::Ok && r.key.rfind("module_", 0) == 0);
        e.add("brevant_module_present", "gauge", "Whether the board is up and a module answers in its cage (1) or not (0).",
              labels, up && modulePresent ? 1 : 0);
        // A board that is down has no current readings: its module series go.
        if (!up) continue;
        for (const Reading &r : view->readings) {
            if (r.key == "module_state" && r.state == Reading::State::Ok && r.value.is_string()) {
                // An enumeration: every state the register sheet names, one
                // of them 1; a word it does not name is "other".
                const std::string word = r.value.get<std::string>();
                bool named = false;
                for (const char *state : kModuleStates) {
                    named = named || word == state;
                    e.add("brevant_module_state", "gauge", "The module's state: 1 for the state it is in, 0 for the others.",
                          labels + ",state=\"" + state + "\"", word == state ? 1 : 0);
                }
                e.add("brevant_module_state", "gauge", "", labels + ",state=\"other\"", named ? 0 : 1);
                continue;
            }
            if (r.state != Reading::State::Ok || !r.value.is_number()) continue;
            const double v = r.value.get<double>();
            unsigned lane = 0;
            std::string rest;
            if (r.key == "vcc") {
                e.add("brevant_board_supply_volts", "gauge", "The board's supply voltage.", labels, v);
            } else if (r.key.rfind("temp", 0) == 0 && r.key.size() > 4 && std::isdigit(static_cast<unsigned char>(r.key[4]))) {
                e.add("brevant_board_temperature_celsius", "gauge", "The board's temperature sensors.",
                      labels + ",sensor=\"" + r.key.substr(4) + "\"", v);
            } else if (r.key == "current_monitor") {
                e.add("brevant_board_current_monitor", "gauge", "The board's 16-bit current monitor, raw.", labels, v);
            } else if (r.key == "module_temperature_C") {
                e.add("brevant_module_temperature_celsius", "gauge", "The module's temperature.", labels, v);
            } else if (r.key == "module_supplyVoltage_V") {
                e.add("brevant_module_supply_volts", "gauge", "The module's supply voltage.", labels, v);
            } else if (laneKey(r.key, lane, rest)) {
                const std::string laneLabels = labels + ",lane=\"" + std::to_string(lane) + "\"";
                if (rest == "laserBias_mA")
                    e.add("brevant_module_laser_bias_amperes", "gauge", "Each lane's laser bias current.", laneLabels, v / 1000);
                else if (rest == "txPower_mW")
                    e.add("brevant_module_tx_power_watts", "gauge", "Each lane's transmitted optical power.", laneLabels, v / 1000);
                else if (rest == "rxPower_mW")
                    e.add("brevant_module_rx_power_watts", "gauge", "Each lane's received optical power.", laneLabels, v / 1000);
            }
        }
        if (view->moduleRegisters.is_array()) {
            for (const Json &reg : view->moduleRegisters)
                e.add("brevant_module_status_register", "gauge",
                      "The module's alarm and status registers, each a raw 16-bit word (bits not decoded).",
                      labels + ",register=\"" + reg["register"].get<std::string>() + "\",name=\"" +
                          labelValue(reg["name"].get<std::string>()) + "\"",
                      reg["word"].get<double>());
        }
        if (view->module.is_object()) {
            auto text = [&view](const char *key) {
                const auto it = view->module.find(key);
                return it != view->module.end() && it->is_string() ? it->get<std::string>() : std::string();
            };
            e.add("brevant_module_info", "gauge", "The module in the board's cage: vendor, part and serial number.",
                  labels + ",vendor=\"" + labelValue(text("vendorName")) + "\",part=\"" +
                      labelValue(text("partNumber")) + "\",module_serial=\"" + labelValue(text("serialNumber")) + "\"",
                  1);
        }
    }
    return e.text();
}

}  // namespace brevantctl::serve

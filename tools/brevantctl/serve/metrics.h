// metrics.h - the boards' last samples in the Prometheus text exposition
// format. Built from the views alone: a scrape never touches USB.
//
// Every series carries the labels serial, type and location (where the board
// is attached, as list shows it: "bench:0", "1-4.1"; empty when not known);
// lane series add lane, board temperatures sensor.
//   brevant_up                                1 when the last sample got readings
//   brevant_board_supply_volts                type-1 boards
//   brevant_board_temperature_celsius         {sensor}
//   brevant_board_current_monitor             the raw 16-bit value
//   brevant_module_temperature_celsius
//   brevant_module_supply_volts
//   brevant_module_laser_bias_amperes         {lane}
//   brevant_module_tx_power_watts             {lane}
//   brevant_module_rx_power_watts             {lane}
//   brevant_module_present                    1 when up and a module answers, else 0
//   brevant_module_state                      {state}: one series per state word the
//                                             register sheet names and "other", one of them 1
//   brevant_module_status_register            {register, name}: the raw alarm and status words
//   brevant_module_info                       1, {vendor, part, module_serial}
//   brevant_board_expected, brevant_board_missing   {serial, name, slot}: the inventory's
//                                             boards (no type or location labels)
// The module series and the readings go while a board is down. A board
// whose serial number does not answer carries its API id as its serial.
//   brevant_samples_total, brevant_failed_samples_total, brevant_reconnects_total
//   brevant_sample_duration_seconds, brevant_last_sample_timestamp_seconds
#ifndef BREVANTCTL_SERVE_METRICS_H
#define BREVANTCTL_SERVE_METRICS_H

#include <memory>
#include <string>
#include <vector>

#include "board_monitor.h"

namespace brevantctl::serve {

std::string metricsText(const std::vector<std::shared_ptr<const BoardView>> &views);

}  // namespace brevantctl::serve

#endif

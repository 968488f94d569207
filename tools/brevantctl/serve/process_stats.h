// process_stats.h - the bench service's own process as the system sees it:
// the descriptor limit it raises at start, and its CPU time, memory and
// descriptors in /metrics under the names Prometheus client libraries use
// (process_cpu_seconds_total, ...). Read from /proc on Linux; elsewhere
// the limit is unknown and the process series are left out.
#ifndef BREVANTCTL_SERVE_PROCESS_STATS_H
#define BREVANTCTL_SERVE_PROCESS_STATS_H

#include <cstddef>
#include <string>

namespace brevantctl::serve {

// Raises the soft limit of open descriptors to the hard one (a connection
// is a descriptor). Returns the soft limit then in force, 0 when unknown.
std::size_t raiseDescriptorLimit();
// The soft limit of open descriptors now, 0 when unknown.
std::size_t descriptorLimit();

// process_cpu_seconds_total, process_resident_memory_bytes,
// process_virtual_memory_bytes, process_open_fds, process_max_fds and
// process_start_time_seconds in the text exposition format; "" where /proc
// is not there.
std::string processMetricsText();

}  // namespace brevantctl::serve

#endif

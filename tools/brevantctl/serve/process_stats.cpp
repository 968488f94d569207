// process_stats.cpp - descriptor limit and process metrics from /proc.
#include "process_stats.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#ifdef __linux__
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace brevantctl::serve {

#ifdef __linux__

std::size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 1u << 20 : static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    return limit.rlim_cur == RLIM_INFINITY ? 1u << 20 : static_cast<std::size_t>(limit.rlim_cur);
}

namespace {

std::string number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void gauge(std::string &out, const char *name, const char *type, const char *help, double value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
           number(value) + "\n";
}

std::size_t openDescriptors() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    std::size_t count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count > 0 ? count - 1 : 0;  // the directory's own descriptor
}

// The boot time, seconds since 1970, from /proc/stat's btime.
double bootTime() {
    std::ifstream in("/proc/stat");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("btime ", 0) == 0) return std::stod(line.substr(6));
    }
    return 0;
}

}  // namespace

std::string processMetricsText() {
    std::ifstream in("/proc/self/stat");
    std::string stat;
    if (!std::getline(in, stat)) return "";
    // The command name, in parentheses, may hold spaces: fields follow its end.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return "";
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f;
    for (std::string field; fields >> field;) f.push_back(field);
    // From field 3 (state) on: utime is field 14, stime 15, starttime 22,
    // vsize 23, rss 24 (in pages).
    auto at = [&](std::size_t field) { return field - 3 < f.size() ? std::stod(f[field - 3]) : 0.0; };
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    std::string out;
    gauge(out, "process_cpu_seconds_total", "counter", "User and system CPU time the service spent, in seconds.",
          (at(14) + at(15)) / ticks);
    gauge(out, "process_resident_memory_bytes", "gauge", "Resident memory of the service, in bytes.", at(24) * page);
    gauge(out, "process_virtual_memory_bytes", "gauge", "Virtual memory of the service, in bytes.", at(23));
    gauge(out, "process_open_fds", "gauge", "Descriptors the service has open.",
          static_cast<double>(openDescriptors()));
    gauge(out, "process_max_fds", "gauge", "The service's limit of open descriptors.",
          static_cast<double>(descriptorLimit()));
    gauge(out, "process_start_time_seconds", "gauge", "When the service started, in seconds since 1970.",
          bootTime() + at(22) / ticks);
    return out;
}

#else

std::size_t raiseDescriptorLimit() { return 0; }
std::size_t descriptorLimit() { return 0; }
std::string processMetricsText() { return ""; }

#endif

}  // namespace brevantctl::serve

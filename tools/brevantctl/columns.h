// columns.h - the columns of readings and of the board list, from the one
// definition brevantctl shares with the Python package
// (python/brevant/columns.txt, built in).
#ifndef BREVANTCTL_COLUMNS_H
#define BREVANTCTL_COLUMNS_H

#include <map>
#include <string>
#include <vector>

namespace brevantctl {

struct ReadingColumn {
    std::string key;    // "vcc", "temp0"
    std::string unit;   // "V", or empty
    bool type1Only;     // the type-0 board does not have it
    std::string label;  // "supply voltage", "temperature 0"
};

// The column of the reading `key` ("temp3" takes the temp# row with its
// sensor number); throws std::logic_error for a key the table lacks.
ReadingColumn readingColumn(const std::string &key);
// The header words of list, in order.
const std::vector<std::string> &listColumns();
// Decimals of a value in `unit`; -1 for a unit without a rule.
int unitDecimals(const std::string &unit);
// Every unit with a rule, and its decimals ("V" 4, "C" 2, ...).
const std::map<std::string, int> &allUnitDecimals();

}  // namespace brevantctl

#endif

// columns.cpp - reads the built-in column table.
#include "columns.h"

#include <map>
#include <sstream>
#include <stdexcept>

#include "columns_table.h"  // kColumnTable: the text of python/brevant/columns.txt

namespace brevantctl {

namespace {

struct Table {
    std::vector<ReadingColumn> readings;
    std::vector<std::string> list;
    std::map<std::string, int> decimals;
};

const Table &table() {
    static const Table parsed = [] {
        Table t;
        std::istringstream in(kColumnTable);
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string kind;
            if (!(words >> kind) || kind[0] == '#') continue;
            if (kind == "reading") {
                ReadingColumn c;
                std::string type;
                words >> c.key >> c.unit >> type;
                if (c.unit == "-") c.unit.clear();
                c.type1Only = type == "1";
                std::getline(words >> std::ws, c.label);
                t.readings.push_back(c);
            } else if (kind == "list") {
                for (std::string word; words >> word;) t.list.push_back(word);
            } else if (kind == "decimals") {
                std::string unit;
                int n = -1;
                words >> unit >> n;
                t.decimals[unit] = n;
            }
        }
        return t;
    }();
    return parsed;
}

std::string replaced(std::string text, const std::string &number) {
    const std::size_t at = text.find('#');
    if (at != std::string::npos) text.replace(at, 1, number);
    return text;
}

}  // namespace

ReadingColumn readingColumn(const std::string &key) {
    for (const ReadingColumn &c : table().readings) {
        if (c.key == key) return c;
        const std::size_t hash = c.key.find('#');
        if (hash == std::string::npos || key.compare(0, hash, c.key, 0, hash) != 0 || key.size() <= hash) continue;
        const std::string number = key.substr(hash);
        if (number.find_first_not_of("0123456789") != std::string::npos) continue;
        ReadingColumn sensor = c;
        sensor.key = key;
        sensor.label = replaced(c.label, number);
        return sensor;
    }
    throw std::logic_error("no column '" + key + "' in the column table");
}

const std::vector<std::string> &listColumns() { return table().list; }

int unitDecimals(const std::string &unit) {
    const auto it = table().decimals.find(unit);
    return it == table().decimals.end() ? -1 : it->second;
}

const std::map<std::string, int> &allUnitDecimals() { return table().decimals; }

}  // namespace brevantctl

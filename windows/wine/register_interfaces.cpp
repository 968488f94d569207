// register_interfaces.cpp - registers the device interfaces of boards with
// Windows (under Wine), so that SetupAPI lists them to brevant.dll.
//
// Usage: brevant_register_interfaces PRODUCTID:SERIAL...   (e.g. 8348:CD000002)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "interfaces.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PRODUCTID:SERIAL...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::size_t colon = arg.find(':');
        if (colon == std::string::npos || colon + 1 == arg.size()) {
            std::fprintf(stderr, "not PRODUCTID:SERIAL: %s\n", arg.c_str());
            return 2;
        }
        const unsigned productId =
            static_cast<unsigned>(std::strtoul(arg.substr(0, colon).c_str(), nullptr, 16));
        const std::string error = wine_bench::registerInterface(productId, arg.substr(colon + 1));
        if (!error.empty()) {
            std::fprintf(stderr, "%s: %s\n", arg.c_str(), error.c_str());
            return 1;
        }
    }
    return 0;
}

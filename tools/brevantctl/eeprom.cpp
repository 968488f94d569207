// eeprom.cpp - the EEPROM commands (hex dump, byte writes, images) and the
// serial number kept in its first eight bytes.
#include <algorithm>
#include <cstdio>

#include "files.h"
#include "handlers.h"
#include "interrupt.h"
#include "terminal.h"

namespace brevantctl {

namespace {

constexpr std::uint32_t kEepromSize = 0x20000;
constexpr std::uint32_t kEepromLast = kEepromSize - 1;
constexpr std::uint32_t kSerialSize = 8;

std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// "the type-1 board VBRD0001 at device index 0", for questions.
std::string boardName(Context &c) {
    Link &link = c.board();
    const std::optional<std::string> &serial = link.serial();
    std::string name = "type-" + std::to_string(link.id().type) + " board";
    if (serial) name += " " + displaySerial(*serial);
    return name + " at device index " + std::to_string(link.id().index);
}

std::vector<std::uint8_t> readEeprom(Context &c, std::uint32_t address, std::uint32_t count, const char *label) {
    std::vector<std::uint8_t> bytes(count);
    c.board();  // connected (and the simulator notice said) before the bar is drawn
    Progress progress(label, count >= 4096 ? count : 0);  // a bar only for long transfers
    const InterruptWatch signals;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (signals.interrupted())
            throw Interrupted("interrupted after reading " + std::to_string(i) + " of " + std::to_string(count) +
                              " bytes from " + hex(address, 5));
        c.expectReply(veskcfp2_eepromRead(c.instance(), static_cast<std::int32_t>(address + i), &bytes[i]),
                      "the EEPROM read at " + hex(address + i, 5));
        progress.update(i + 1);
    }
    return bytes;
}

void writeEeprom(Context &c, std::uint32_t address, const std::vector<std::uint8_t> &bytes, const char *label) {
    const std::uint32_t count = static_cast<std::uint32_t>(bytes.size());
    // The serial number is EEPROM bytes 0-7: once any of them may have
    // changed, the board's serial is read again when it is next asked for.
    if (count > 0 && address < kSerialSize) c.board().forgetSerial();
    c.board();  // connected (and the simulator notice said) before the bar is drawn
    Progress progress(label, count >= 4096 ? count : 0);
    const InterruptWatch signals;
    for (std::uint32_t i = 0; i < count; ++i) {
        // Stops between two bytes: the one in flight is written whole.
        if (signals.interrupted()) {
            std::string written = i == 0 ? std::string("nothing was written")
                                         : "wrote " + std::to_string(i) + " of " + std::to_string(count) + " bytes, " +
                                               hex(address, 5) + "-" + hex(address + i - 1, 5);
            throw Interrupted("interrupted: " + written + "; " + hex(address + i, 5) + "-" +
                              hex(address + count - 1, 5) + " still hold their old bytes");
        }
        c.expectSent(veskcfp2_eepromWrite(c.instance(), static_cast<std::int32_t>(address + i), bytes[i]),
                     "the EEPROM write at " + hex(address + i, 5));
        progress.update(i + 1);
    }
}

// Rows of 16 bytes: "0x00010  41 42 ...  AB..". A row equal to the one before
// shows as "*" once, as hexdump -C does; after such a run the address past
// the last byte closes the dump so its end stays visible.
void hexDump(Context &c, std::uint32_t address, const std::vector<std::uint8_t> &bytes) {
    bool squeezing = false;
    for (std::size_t row = 0; row < bytes.size(); row += 16) {
        const std::size_t end = std::min(row + 16, bytes.size());
        if (row >= 16 && end - row == 16 &&
            std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(row), bytes.begin() + static_cast<std::ptrdiff_t>(end),
                       bytes.begin() + static_cast<std::ptrdiff_t>(row - 16))) {
            if (!squeezing) c.line("*");
            squeezing = true;
            continue;
        }
        squeezing = false;
        std::string hexPart, textPart;
        for (std::size_t i = row; i < end; ++i) {
            char cell[4];
            std::snprintf(cell, sizeof cell, " %02X", static_cast<unsigned>(bytes[i]));
            hexPart += cell;
            textPart += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
        }
        hexPart.resize(16 * 3, ' ');
        c.line(hex(static_cast<std::uint32_t>(address + row), 5) + " " + hexPart + "  " + textPart);
    }
    if (squeezing) c.line(hex(static_cast<std::uint32_t>(address + bytes.size()), 5));
}

// The range --offset and --length give: first address and byte count; the
// count is nullopt when --length is not given.
struct Range {
    std::uint32_t offset = 0;
    std::optional<std::uint32_t> length;
    bool given = false;
};

Range rangeOptions(const Context &c) {
    Range range;
    range.offset = c.optionNumber("--offset", 0, kEepromLast).value_or(0);
    // Past --offset the EEPROM has less room: the message says from where.
    if (const std::optional<std::string> length = c.invocation().value("--length"))
        range.length = parseNumber(*length, range.offset != 0 ? "--length from " + hex(range.offset, 5) : "--length", 1,
                                   kEepromSize - range.offset);
    range.given = c.invocation().value("--offset") || range.length;
    return range;
}

}  // namespace

void runEepromRead(Context &c) {
    const std::uint32_t address = c.number(0, "ADDR", 0, kEepromLast);
    const std::uint32_t count = c.argCount() > 1 ? c.number(1, address != 0 ? ("COUNT from " + hex(address, 5)).c_str() : "COUNT", 1, kEepromSize - address) : 1;
    const std::vector<std::uint8_t> bytes = readEeprom(c, address, count, "eeprom read");
    hexDump(c, address, bytes);
    c.json()["address"] = address;
    c.json()["data"] = hexString(bytes);
}

void runEepromWrite(Context &c) {
    const std::uint32_t address = c.number(0, "ADDR", 0, kEepromLast);
    if (c.argCount() - 1 > kEepromSize - address)
        throw UsageError(std::to_string(c.argCount() - 1) + " bytes from " + hex(address, 5) +
                         " run past the end of the EEPROM (" + hex(kEepromLast, 5) + ")");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i < c.argCount(); ++i) bytes.push_back(static_cast<std::uint8_t>(c.number(i, "BYTE", 0, 0xFF)));
    c.confirm([&] {
        return "Write " + std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes") + " at " +
               hex(address, 5) + " of the EEPROM of the " + boardName(c) + "?";
    });
    writeEeprom(c, address, bytes, "eeprom write");
    c.line("wrote " + std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte at " : " bytes from ") + hex(address, 5));
    c.json()["address"] = address;
    c.json()["data"] = hexString(bytes);
}

void runEepromSave(Context &c) {
    const Range range = rangeOptions(c);
    const std::uint32_t length = range.length.value_or(kEepromSize - range.offset);
    if (c.arg(0) == "-" && c.invocation().json)
        throw UsageError("FILE '-' writes the image to standard output, which leaves no room for --json");
    // From here Ctrl-C stops the save between two bytes (and before the
    // first), says so and removes the temporary file.
    const InterruptWatch signals;
    // The file first: a path that cannot be written fails before minutes of
    // reading, and the old file stays whole until the new image is complete.
    OutputFile out(c.arg(0), c.invocation().flag("--force"));
    c.board();
    std::vector<std::uint8_t> image;
    try {
        image = readEeprom(c, range.offset, length, "eeprom save");
    } catch (const Interrupted &e) {
        throw Interrupted(std::string(e.what()) +
                          (out.isStdout() ? std::string("; standard output got nothing")
                                          : "; '" + out.path() + "' was left as it was"));
    }
    out.write(image);
    out.commit();
    if (out.isStdout()) {
        c.printed();
        return;
    }
    c.line("saved " + std::to_string(image.size()) + " bytes " +
           (range.offset != 0 ? "from " + hex(range.offset, 5) + " " : std::string()) + "to " + out.path());
    c.json()["file"] = out.path();
    c.json()["address"] = range.offset;
    c.json()["bytes"] = image.size();
}

void runEepromLoad(Context &c) {
    const std::string &file = c.arg(0);
    Range range = rangeOptions(c);
    if (file == "-") c.stdinIsData();
    std::vector<std::uint8_t> image = readInput(file, kEepromSize);
    const std::string name = file == "-" ? std::string("standard input") : "'" + file + "'";
    if (!range.given) {
        if (image.size() != kEepromSize)
            throw FileFailure(name + " is not a whole EEPROM image: it has " +
                              (image.size() > kEepromSize ? "more than " + std::to_string(kEepromSize)
                                                          : std::to_string(image.size())) +
                              " bytes, an image has " + std::to_string(kEepromSize) +
                              " (--offset and --length load part of the EEPROM)");
    } else if (range.length) {
        if (image.size() < *range.length)
            throw FileFailure(name + " has " + std::to_string(image.size()) + " bytes, fewer than --length " +
                              std::to_string(*range.length));
        image.resize(*range.length);
    } else {
        if (image.empty()) throw FileFailure(name + " is empty");
        if (image.size() > kEepromSize - range.offset)
            throw FileFailure(name + " has " + (image.size() > kEepromSize ? "more than " : std::string()) +
                              std::to_string(std::min<std::size_t>(image.size(), kEepromSize)) + " bytes, more than fit from " +
                              hex(range.offset, 5) + " to the end of the EEPROM (" +
                              std::to_string(kEepromSize - range.offset) + ")");
    }
    c.checkConfirmable();

    // The serial number lives in the first bytes: say so when the image
    // would give this board another board's serial number.
    if (range.offset < kSerialSize) {
        const std::optional<std::string> current = c.board().serial();
        std::string after = current ? *current : std::string();
        after.resize(kSerialSize, ' ');
        for (std::size_t i = range.offset; i < kSerialSize && i - range.offset < image.size(); ++i)
            after[i] = static_cast<char>(image[i - range.offset]);
        after = trimmed(after);
        if (!current || after != *current) {
            std::fprintf(stderr, "brevantctl: eeprom load: warning: the image's serial number '%s' differs from the %s's '%s'\n",
                         displaySerial(after).c_str(), c.board().describe().c_str(),
                         current ? displaySerial(*current).c_str() : "(unreadable)");
        }
    }
    c.confirm([&] {
        return "Write " + std::to_string(image.size()) + " bytes from " + name + " to the EEPROM of the " +
               boardName(c) + " from " + hex(range.offset, 5) + "?";
    });
    writeEeprom(c, range.offset, image, "eeprom load");
    const bool verify = c.invocation().flag("--verify");
    if (verify) {
        const std::vector<std::uint8_t> back =
            readEeprom(c, range.offset, static_cast<std::uint32_t>(image.size()), "eeprom verify");
        const auto diff = std::mismatch(image.begin(), image.end(), back.begin());
        if (diff.first != image.end()) {
            const std::uint32_t at = range.offset + static_cast<std::uint32_t>(diff.first - image.begin());
            throw BoardFailure("verify failed: the " + c.board().describe() + " holds " + hex(*diff.second, 2) +
                               " at " + hex(at, 5) + " where " + hex(*diff.first, 2) + " was written");
        }
    }
    c.line("loaded " + std::to_string(image.size()) + " bytes from " + (file == "-" ? std::string("standard input") : file) +
           " at " + hex(range.offset, 5) + (verify ? ", verified" : ""));
    c.json()["file"] = file;
    c.json()["address"] = range.offset;
    c.json()["bytes"] = image.size();
    c.json()["verified"] = verify;
}

void runSnGet(Context &c) {
    std::uint8_t serial[8] = {};
    if (veskcfp2_getSN(c.instance(), serial) != 1)
        throw BoardFailure("no reply: the " + c.board().describe() + " did not give its serial number");
    const std::string text = trimmed(std::string(serial, serial + 8));
    c.line(displaySerial(text));
    c.json()["serial"] = text;
}

void runSnSet(Context &c) {
    const std::string &text = c.arg(0);
    checkSerial(text, "TEXT");
    c.confirm([&] {
        const std::optional<std::string> &old = c.board().serial();
        return "Change the serial number of the " + boardName(c) + " from '" +
               (old ? displaySerial(*old) : std::string("(unreadable)")) + "' to '" + text + "'?";
    });
    if (veskcfp2_setSN(c.instance(), reinterpret_cast<const std::uint8_t *>(text.data()),
                       static_cast<std::int32_t>(text.size())) != 1)
        throw BoardFailure("failed: the " + c.board().describe() +
                           " did not take the serial number (it may now be partly written)");
    // Every write reached the board; read it back, since a write that did
    // not stick (a worn cell) would otherwise pass unseen.
    c.board().forgetSerial();
    const std::optional<std::string> &kept = c.board().serial();
    if (!kept)
        throw BoardFailure("not verified: the " + c.board().describe() +
                           " took the serial number but did not give it back when read");
    if (*kept != text)
        throw BoardFailure("not kept: the " + c.board().describe() + " holds '" + displaySerial(*kept) +
                           "' after '" + text + "' was written (an EEPROM write did not stick)");
    c.line("serial number set to '" + text + "'");
    c.json()["serial"] = text;
}

void runSnClear(Context &c) {
    c.confirm([&] { return "Blank the serial number of the " + boardName(c) + "?"; });
    const std::uint8_t none = 0;
    if (veskcfp2_setSN(c.instance(), &none, 0) != 1)
        throw BoardFailure("failed: the " + c.board().describe() + " did not take the blank serial number");
    c.board().forgetSerial();
    c.line("serial number cleared");
    c.json()["serial"] = "";
}

}  // namespace brevantctl

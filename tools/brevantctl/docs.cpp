// docs.cpp - the man page, the bash completion script and the versions.
#include "docs.h"

#include <algorithm>
#include <cstdio>

#include "brevant.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <climits>
#include <cstdlib>
#endif

namespace brevantctl {

std::string commandSynopsis(const Command &command) {
    std::string text = command.name;
    for (const Option &option : commandOptions(command)) {
        text += std::string(" [") + option.name;
        if (option.value != nullptr) text += std::string(" ") + option.value;
        text += "]";
    }
    if (*command.synopsis != '\0') text += std::string(" ") + command.synopsis;
    return text;
}

std::string wrapped(const std::string &text, std::size_t width) {
    std::string out, line;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return out + line;
}

namespace {

// Text for a troff line: backslashes and dashes escaped, no leading dot.
std::string roff(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

std::string optionLabel(const Option &option) {
    std::string text;
    if (option.shortName != 0) text += std::string("\\fB\\-") + option.shortName + "\\fR, ";
    text += "\\fB" + roff(option.name) + "\\fR";
    if (option.value != nullptr) text += std::string(" \\fI") + roff(option.value) + "\\fR";
    return text;
}

}  // namespace

void printManPage(const std::vector<Option> &global) {
    std::printf(".TH BREVANTCTL 1 \"\" \"brevantctl %s\" \"User Commands\"\n", BREVANTCTL_VERSION);
    std::printf(".SH NAME\nbrevantctl \\- drive a USB board that carries a CFP2 optical module\n");
    std::printf(".SH SYNOPSIS\n.B brevantctl\n[\\fIoptions\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]\n");
    std::printf(".SH DESCRIPTION\n%s\n",
                roff("brevantctl drives the boards through the brevant library: it lists them, reads their monitors, "
                     "ports, MDIO registers and EEPROM, and changes them. Every command but list works on one board, "
                     "chosen with --type, --index or --serial (the first board found when none is given). Numbers "
                     "are decimal or 0x hex and are checked against their argument's range. Commands that change "
                     "the EEPROM, the serial number or reset into the boot loader ask for confirmation on a "
                     "terminal; without one they refuse unless --yes is given.")
                    .c_str());
    std::printf(".SH OPTIONS\n");
    for (const Option &option : global) std::printf(".TP\n%s\n%s\n", optionLabel(option).c_str(), roff(option.help).c_str());
    std::printf(".SH COMMANDS\n");
    for (const Command &command : commands()) {
        std::printf(".TP\n\\fB%s\\fR", roff(command.name).c_str());
        if (*command.synopsis != '\0') std::printf(" \\fI%s\\fR", roff(command.synopsis).c_str());
        std::printf("\n%s.", roff(command.summary).c_str());
        if (*command.details != '\0') std::printf(" %s", roff(command.details).c_str());
        std::printf("\n");
        for (const Option &option : commandOptions(command))
            std::printf(".RS\n.TP\n%s\n%s\n.RE\n", optionLabel(option).c_str(), roff(option.help).c_str());
    }
    std::printf(".SH EXIT STATUS\n.TP\n0\nsuccess\n.TP\n1\n%s\n.TP\n2\n%s\n.TP\n130\n%s\n",
                roff("the board or a file operation failed: no board found (also for list), no connection, no or "
                     "short reply, a reading of status that failed, a watch without one whole sample (with --all: of any one board), a module "
                     "without power (module monitor), an EEPROM write that did not stick (eeprom load --verify, "
                     "sn set), a file that cannot be read or written, a question answered no")
                    .c_str(),
                roff("usage error: an unknown command or option, a missing or extra argument, a number out of "
                     "range, a bad serial number, or a change without a terminal to confirm on and without --yes")
                    .c_str(),
                roff("interrupted (Ctrl-C or SIGTERM) during eeprom save or eeprom load, which stop between two "
                     "bytes and say how far they got")
                    .c_str());
    std::printf(".SH JSON\n%s\n",
                roff("With --json a command prints one JSON object on standard output. The board a command worked "
                     "on is the member board: {\"type\":1,\"index\":0,\"serial\":\"VBRD0001\"}. Byte strings are "
                     "hex strings. A failure prints {\"error\":{\"code\":1,\"message\":\"...\"}}, with the "
                     "exit status as code; a command that printed readings before failing adds the error member "
                     "to them.")
                    .c_str());
    std::printf(".SH ENVIRONMENT\n.TP\n.B BREVANT_SIMULATOR\n%s\n.TP\n.B BREVANT_LIBRARY\n%s\n"
                ".TP\n.B BREVANT_BENCH\n%s\n.TP\n.B BREVANT_BENCH_STATE\n%s\n.TP\n.B BREVANT_WIRE_LOG\n%s\n",
                roff("1, true, yes or on (any case): the Linux library reaches the simulated bench instead of real "
                     "boards, as --simulator does. Unset, empty, 0, false, no or off: real boards; any other value "
                     "also means real boards, and the library names it on standard error.")
                    .c_str(),
                roff("read by the Python package (python3 -m brevant), not by brevantctl: the library file to load. "
                     "brevantctl uses the library it was linked with.")
                    .c_str(),
                roff("with the simulator: the bench file that describes its boards, one a line (TYPE SERIAL "
                     "[vcc=V] [tempN=C] [latency=MS] [reply-bytes=N] [hang-after=N] [module=cfp2-sr4|none] "
                     "[module-port=N] [stuck-eeprom=ADDR[-ADDR],...] [pace=MS] [pad=N] [replay=FILE]); unset: a type-1 board VBRD0001 and "
                     "a type-0 board VBRD0002")
                    .c_str(),
                roff("with the simulator: the file that keeps the boards' state (EEPROM, ports, MDIO registers) "
                     "between runs; unset: $XDG_STATE_HOME/brevant/bench-state, else "
                     "~/.local/state/brevant/bench-state")
                    .c_str(),
                roff("a file to which the library appends every report and reply, one line per transfer with the "
                     "time, the board's location and serial number, the bytes, the counts and the outcome. It holds "
                     "the EEPROM bytes read, serial numbers included. doctor reads the run's lines from it.")
                    .c_str());
    std::printf(".SH FILES\n.TP\n.I ~/.local/state/brevant/bench-state\n%s\n.TP\n"
                ".I /etc/udev/rules.d/60-brevant.rules\n%s\n",
                roff("the simulated bench's state file (see BREVANT_BENCH_STATE). Each run writes only the boards "
                     "whose state it changed, merged under a lock (bench-state.lock beside it), so several runs "
                     "may use the bench at once.")
                    .c_str(),
                roff("on Linux, the udev rule that lets the user at the machine open the boards; installed as "
                     "lib/udev/rules.d/60-brevant.rules under the install prefix, to be copied here.")
                    .c_str());
    std::printf(".SH EXAMPLES\n.nf\n%s\n.fi\n",
                roff("brevantctl list\n"
                     "brevantctl -t 1 status --sensors 0,1\n"
                     "brevantctl -t 1 watch --csv --interval 10 > burn-in.csv\n"
                     "brevantctl -s LAB-7 eeprom save board.bin\n"
                     "brevantctl -t 0 eeprom load --verify board.bin")
                    .c_str());
    std::printf(".SH SEE ALSO\n%s\n",
                roff("lsusb(8), udevadm(8), ethtool(8) (whose -m module view brevantctl module resembles); "
                     "python3 -m brevant, the Python package's command line; docs/brevantctl.md in the brevant "
                     "sources.")
                    .c_str());
}

void printBashCompletion(const std::vector<Option> &global) {
    std::vector<std::string> firsts;
    std::string families, optionsByCommand, withValue;
    for (const Option &option : global) {
        if (option.value == nullptr) continue;
        withValue += std::string(" ") + option.name;
        if (option.shortName != 0) withValue += std::string(" -") + option.shortName;
    }
    for (const Command &command : commands()) {
        const std::string name = command.name;
        const std::size_t space = name.find(' ');
        const std::string first = name.substr(0, space);
        if (std::find(firsts.begin(), firsts.end(), first) == firsts.end()) {
            firsts.push_back(first);
            if (space != std::string::npos) {
                std::string members;
                for (const Command &other : commands()) {
                    const std::string otherName = other.name;
                    if (otherName.compare(0, first.size() + 1, first + " ") == 0)
                        members += (members.empty() ? "" : " ") + otherName.substr(first.size() + 1);
                }
                families += "    " + first + ") members=\"" + members + "\" ;;\n";
            }
        }
        std::string options;
        for (const Option &option : commandOptions(command)) {
            options += std::string(" ") + option.name;
            if (option.value != nullptr && withValue.find(std::string(" ") + option.name + " ") == std::string::npos &&
                withValue.find(std::string(" ") + option.name) == std::string::npos) {
                withValue += std::string(" ") + option.name;
                if (option.shortName != 0) withValue += std::string(" -") + option.shortName;
            }
        }
        if (!options.empty()) optionsByCommand += "    \"" + name + "\") opts=\"$opts" + options + "\" ;;\n";
    }
    std::string globals, firstList;
    for (const Option &option : global) globals += std::string(" ") + option.name;
    for (const std::string &first : firsts) firstList += (firstList.empty() ? "" : " ") + first;

    std::printf("# bash completion for brevantctl, generated from its command table.\n"
                "_brevantctl() {\n"
                "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
                "  local with_value=\"%s \"\n"
                "  local words=() i w\n"
                "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
                "    w=${COMP_WORDS[i]}\n"
                "    if [[ \"$with_value\" == *\" $w \"* ]]; then ((i++)); continue; fi\n"
                "    [[ $w == -* ]] && continue\n"
                "    words+=(\"$w\")\n"
                "  done\n"
                "  case \"$prev\" in\n"
                "    --type|-t)\n"
                "      # Only list takes any; a list typed after the option counts too.\n"
                "      local types=\"0 1\" rest\n"
                "      for rest in \"${words[@]}\" \"${COMP_WORDS[@]:COMP_CWORD+1}\"; do\n"
                "        [[ $rest == list ]] && types=\"0 1 any\"\n"
                "      done\n"
                "      COMPREPLY=($(compgen -W \"$types\" -- \"$cur\")); return ;;\n"
                "  esac\n"
                "  if [[ \"$with_value\" == *\" $prev \"* ]]; then return; fi\n"
                "  local members=\n"
                "  case \"${words[0]}\" in\n%s"
                "  esac\n"
                "  if [[ ${#words[@]} -eq 0 && $cur != -* ]]; then\n"
                "    COMPREPLY=($(compgen -W \"%s help\" -- \"$cur\")); return\n"
                "  fi\n"
                "  if [[ ${#words[@]} -eq 1 && -n $members && $cur != -* ]]; then\n"
                "    COMPREPLY=($(compgen -W \"$members\" -- \"$cur\")); return\n"
                "  fi\n"
                "  local command=${words[0]}\n"
                "  [[ -n $members ]] && command=\"${words[0]} ${words[1]}\"\n"
                "  local opts=\"%s\"\n"
                "  case \"$command\" in\n%s"
                "  esac\n"
                "  if [[ $cur == -* ]]; then\n"
                "    COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\")); return\n"
                "  fi\n"
                "  case \"$command\" in\n"
                "    \"eeprom save\"|\"eeprom load\") COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n"
                "    ftdi) COMPREPLY=($(compgen -W \"on off\" -- \"$cur\")) ;;\n"
                "  esac\n"
                "}\n"
                "complete -o filenames -F _brevantctl brevantctl\n",
                withValue.c_str(), families.c_str(), firstList.c_str(), globals.c_str() + 1, optionsByCommand.c_str());
}

std::string libraryVersion() {
#ifdef _WIN32
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&veskcfp2_connect), &module))
        return "unknown";
    char path[MAX_PATH] = {};
    if (GetModuleFileNameA(module, path, MAX_PATH) == 0) return "unknown";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    std::string info(size, '\0');
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoA(path, 0, size, info.data()) ||
        !VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length) || fixed == nullptr)
        return std::string("unknown (") + path + ")";
    char text[MAX_PATH + 64];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu (%s)", static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                  static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                  static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)), path);
    return text;
#else
    // The library file's name carries its version: libbrevant.so.1.0.0.
    void *handle = dlopen("libbrevant.so." BREVANTCTL_SOVERSION, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return "unknown";
    struct link_map *map = nullptr;
    std::string version = "unknown";
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
        char resolved[PATH_MAX];
        if (realpath(map->l_name, resolved) != nullptr) {
            const std::string path = resolved;
            const std::size_t at = path.rfind(".so.");
            version = (at != std::string::npos ? path.substr(at + 4) : std::string("unknown")) + " (" + path + ")";
        }
    }
    dlclose(handle);
    return version;
#endif
}

}  // namespace brevantctl

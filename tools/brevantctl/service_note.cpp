// service_note.cpp - the notes of running bench services.
#include "service_note.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "json.h"

namespace brevantctl {

namespace fs = std::filesystem;

std::string serviceNoteFolder() {
    const char *given = std::getenv("BREVANTCTL_SERVICE_NOTES");
    if (given != nullptr && *given != '\0') return given;
    std::error_code error;
    const fs::path temp = fs::temp_directory_path(error);
    return ((error ? fs::path(".") : temp) / "brevantctl-serve").string();
}

ServiceNote::ServiceNote(std::string url) : url_(std::move(url)) {
    std::error_code error;
    fs::create_directories(serviceNoteFolder(), error);
    path_ = (fs::path(serviceNoteFolder()) / (std::to_string(currentProcessId()) + ".json")).string();
    update({});
}

ServiceNote::~ServiceNote() {
    std::error_code error;
    fs::remove(path_, error);
}

void ServiceNote::update(const std::vector<BoardId> &boards) {
    Json note = Json::object();
    note["pid"] = currentProcessId();
    note["url"] = url_;
    Json list = Json::array();
    for (const BoardId &board : boards) list.push_back(Json::array({board.type, board.index}));
    note["boards"] = list;
    // Written beside and renamed over, so a reader never sees half a note.
    const std::string temporary = path_ + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << dumpJson(note) << "\n";
        if (!out) return;
    }
    std::error_code error;
    fs::rename(temporary, path_, error);
}

std::optional<std::string> serviceHolding(const BoardId &board) {
    std::error_code error;
    fs::directory_iterator it(serviceNoteFolder(), error);
    if (error) return std::nullopt;
    for (const fs::directory_entry &entry : it) {
        if (entry.path().extension() != ".json") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        const Json note = Json::parse(text.str(), nullptr, false);
        if (!note.is_object() || !note.contains("pid") || !note["pid"].is_number_unsigned() || !note.contains("boards") ||
            !note["boards"].is_array() || !note.contains("url") || !note["url"].is_string())
            continue;
        const unsigned long pid = note["pid"].get<unsigned long>();
        if (pid == currentProcessId() || !processRuns(pid)) continue;
        for (const Json &held : note["boards"]) {
            if (held == Json::array({board.type, board.index}))
                return "brevantctl serve (process " + std::to_string(pid) + ") holds it and serves it at " +
                       note["url"].get<std::string>();
        }
    }
    return std::nullopt;
}

}  // namespace brevantctl

// page_assets.h - the dashboard's files, built into the program from
// tools/brevantctl/serve/page/ (cmake/embed-files.cmake writes their bytes
// into a source file), so the page needs no file system and no network.
#ifndef BREVANTCTL_SERVE_PAGE_ASSETS_H
#define BREVANTCTL_SERVE_PAGE_ASSETS_H

#include <cstddef>
#include <string>

namespace brevantctl::serve {

struct PageAsset {
    const char *path;  // "/", "/dashboard.js"
    const char *contentType;
    const char *data;
    std::size_t size;
};

// The file served at `path`; nullptr for any other path.
const PageAsset *pageAsset(const std::string &path);

}  // namespace brevantctl::serve

#endif

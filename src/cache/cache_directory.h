#pragma once

#include <string>
#include <vector>

#include "cache/frame_store.h"

namespace skv {

// Points the store at the folder the user named; what the host calls whenever its "Disk
// Cache" path may have changed. A temporary folder in use is given up (deleted with its
// files) for another folder. When `path` cannot be opened and temporaries are allowed, a new
// temporary folder "skv…" in the system temporary folder takes its place: `path` receives it
// and it is recorded for purgeTempFolders. Re-choosing the folder already in use changes
// nothing. False when the store is left without a directory (frames then live in RAM only).
bool chooseCacheDirectory(BFS& store, std::string& path, bool allowTemporary);

// Deletes every temporary cache folder recorded since the library was loaded (those still
// present), then forgets them. Called once when the plug-in is unloaded.
void purgeTempFolders();

// The recorded temporary cache folders, in creation order.
std::vector<std::string> temporaryCacheFolders();

}  // namespace skv

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/sdk/ae_types.h"

namespace skv::app {

// What a plug-in's description record declares.
struct PluginDescription {
    uint32_t kind = 0;
    std::string name;
    std::string category;
    std::string entryPoint;
    std::string matchName;
    uint16_t piplVersionMajor = 0, piplVersionMinor = 0;
    uint16_t specVersionMajor = 0, specVersionMinor = 0;
    uint32_t effectVersion = 0;
    uint32_t infoFlags = 0;
    uint32_t outFlags = 0;
    uint32_t outFlags2 = 0;
    uint32_t reservedInfo = 0;
};

// The bytes of a named section of an ELF64 library file. Throws HostError (plug-in) naming the
// file when it is not a readable ELF64 file or has no such section.
std::vector<uint8_t> readElfSection(const std::string& path, const std::string& section);

// Parses a description record; throws HostError (plug-in) with `origin` in the message when it
// is malformed.
PluginDescription parsePipl(const uint8_t* data, size_t size, const std::string& origin);

// Throws HostError (plug-in) when the description is not that of an effect this host can
// drive: an effect, entered through EntryPointFunc, rendering through SmartFX.
void checkDescription(const PluginDescription& description, const std::string& origin);

// The plug-in library: its description is read and checked from the file before any of its
// code is loaded.
class PluginLibrary {
  public:
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const std::string& path() const { return path_; }
    const PluginDescription& description() const { return description_; }
    PF_EntryPointFunc entryPoint() const { return entry_; }

    // The plug-in installed next to this program.
    static std::string defaultPath();

  private:
    std::string path_;
    PluginDescription description_;
    void* handle_ = nullptr;
    PF_EntryPointFunc entry_ = nullptr;
};

}  // namespace skv::app

#include "plugin_library.h"

#include <dlfcn.h>
#include <elf.h>
#include <unistd.h>

#include <limits.h>
#include <cstring>
#include <fstream>

#include "host/sdk/pipl.h"
#include "host_error.h"

namespace skv::app {
namespace {

[[noreturn]] void fail(const std::string& origin, const std::string& what) {
    throw HostError(kExitPlugin, origin + ": " + what);
}

uint16_t u16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

std::vector<uint8_t> readElfSection(const std::string& path, const std::string& section) {
    std::ifstream file(path, std::ios::binary);
    if (!file) fail(path, "cannot open the plug-in library");
    file.seekg(0, std::ios::end);
    const uint64_t fileSize = uint64_t(file.tellg());
    file.seekg(0);
    const auto readAt = [&](uint64_t offset, void* out, uint64_t bytes) {
        if (offset > fileSize || bytes > fileSize - offset)
            fail(path, "not a valid ELF file (a table lies beyond the end of the file)");
        file.seekg(std::streamoff(offset));
        file.read(static_cast<char*>(out), std::streamsize(bytes));
        if (!file) fail(path, "cannot read the plug-in library");
    };

    Elf64_Ehdr header;
    if (fileSize < sizeof header) fail(path, "not an ELF file (too short)");
    readAt(0, &header, sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        fail(path, "not an ELF file (magic number doesn't match)");
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB)
        fail(path, "not a 64-bit little-endian library");
    if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 ||
        header.e_shstrndx >= header.e_shnum)
        fail(path, "not a valid ELF file (section table)");

    std::vector<Elf64_Shdr> sections(header.e_shnum);
    readAt(header.e_shoff, sections.data(), uint64_t(header.e_shnum) * sizeof(Elf64_Shdr));
    const Elf64_Shdr& names = sections[header.e_shstrndx];
    if (names.sh_size > (1u << 24)) fail(path, "not a valid ELF file (section names)");
    std::vector<char> nameTable(names.sh_size + 1, '\0');
    readAt(names.sh_offset, nameTable.data(), names.sh_size);

    for (const Elf64_Shdr& s : sections) {
        if (s.sh_name >= names.sh_size || section != &nameTable[s.sh_name]) continue;
        if (s.sh_type == SHT_NOBITS || s.sh_size > (1u << 20))
            fail(path, "the section " + section + " is empty or too large");
        std::vector<uint8_t> bytes(s.sh_size);
        readAt(s.sh_offset, bytes.data(), s.sh_size);
        return bytes;
    }
    fail(path,
         "has no plug-in description (no " + section + " section): not a Skyvane-style effect");
}

PluginDescription parsePipl(const uint8_t* data, size_t size, const std::string& origin) {
    const auto bad = [&](const std::string& why) {
        fail(origin, "malformed plug-in description: " + why);
    };
    if (size < 10) bad("too short");
    if (u16(data) != pipl::kVersion) bad("unknown version " + std::to_string(u16(data)));
    const uint32_t count = u32(data + 6);
    PluginDescription d;
    size_t offset = 10;
    const auto pascal = [&](const uint8_t* p, uint32_t length) {
        if (length < 1 || p[0] + 1u > length) bad("string longer than its property");
        return std::string(reinterpret_cast<const char*>(p + 1), p[0]);
    };
    for (uint32_t i = 0; i < count; ++i) {
        if (size - offset < 16) bad("property " + std::to_string(i) + " truncated");
        const uint8_t* p = data + offset;
        const uint32_t vendor = u32(p), key = u32(p + 4), length = u32(p + 12);
        if (length > size - offset - 16)
            bad("property " + std::to_string(i) + " longer than the record");
        const uint8_t* value = p + 16;
        offset += 16 + length;
        if (vendor != pipl::kVendor) continue;
        const auto word = [&] {
            if (length < 4) bad("numeric property too short");
            return u32(value);
        };
        if (key == pipl::kKind)
            d.kind = word();
        else if (key == pipl::kName)
            d.name = pascal(value, length);
        else if (key == pipl::kCategory)
            d.category = pascal(value, length);
        else if (key == pipl::kMatchName)
            d.matchName = pascal(value, length);
        else if (key == pipl::kEntryPointX64)
            d.entryPoint.assign(reinterpret_cast<const char*>(value),
                                strnlen(reinterpret_cast<const char*>(value), length));
        else if (key == pipl::kPiPLVersion) {
            word();
            d.piplVersionMajor = u16(value);
            d.piplVersionMinor = u16(value + 2);
        } else if (key == pipl::kSpecVersion) {
            word();
            d.specVersionMajor = u16(value);
            d.specVersionMinor = u16(value + 2);
        } else if (key == pipl::kEffectVersion)
            d.effectVersion = word();
        else if (key == pipl::kInfoFlags)
            d.infoFlags = word();
        else if (key == pipl::kGlobalOutFlags)
            d.outFlags = word();
        else if (key == pipl::kGlobalOutFlags2)
            d.outFlags2 = word();
        else if (key == pipl::kReservedInfo)
            d.reservedInfo = word();
    }
    return d;
}

void checkDescription(const PluginDescription& d, const std::string& origin) {
    if (d.kind != pipl::kKindAEEffect) fail(origin, "the plug-in is not an effect");
    if (d.entryPoint.empty()) fail(origin, "the plug-in description names no entry point");
    if (d.name.empty()) fail(origin, "the plug-in description has no name");
    if (!(d.outFlags2 & PF_OutFlag2_SUPPORTS_SMART_RENDER))
        fail(origin, "the effect does not render through SmartFX, which this host needs");
    if (d.specVersionMajor < 13) fail(origin, "the effect was written for an older host protocol");
}

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
    const std::vector<uint8_t> record = readElfSection(path, pipl::kSectionName);
    description_ = parsePipl(record.data(), record.size(), path);
    checkDescription(description_, path);
    // Never unmapped: the plug-in keeps process-wide objects (its log, the CUDA state) alive for
    // the life of the process, as a plug-in of the compositing host stays loaded.
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle_) {
        const char* why = ::dlerror();
        fail(path, std::string("cannot load the plug-in: ") + (why ? why : "unknown error"));
    }
    entry_ = reinterpret_cast<PF_EntryPointFunc>(::dlsym(handle_, description_.entryPoint.c_str()));
    if (!entry_) {
        ::dlclose(handle_);
        handle_ = nullptr;
        fail(path, "the plug-in does not export its entry point " + description_.entryPoint);
    }
}

PluginLibrary::~PluginLibrary() {
    if (handle_) ::dlclose(handle_);
}

std::string PluginLibrary::defaultPath() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "libskyvane_effect.so";
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.find_last_of('/') + 1);
    return dir + "libskyvane_effect.so";
}

}  // namespace skv::app

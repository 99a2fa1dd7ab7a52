#pragma once

// The plug-in's description record (PiPL) in its binary layout, as the plug-in embeds it and
// the host reads it from the library file before calling any code.
//
// Layout, little-endian:
//   u16 version (1), u32 reserved (0), u32 property count,
//   then per property: vendor (4 bytes), key (4 bytes), u32 id (0), u32 length, data padded
//   to a multiple of 4 bytes (the length includes the padding).
// Vendor codes and keys are stored byte-reversed, as the PiPL format does on little-endian
// systems. Strings are Pascal strings (a length byte, then the characters) except the entry
// point, a NUL-terminated C string.

#include <cstdint>

namespace skv::pipl {

// The ELF section that carries the record in the plug-in library.
inline constexpr const char* kSectionName = ".skv_pipl";

inline constexpr uint16_t kVersion = 1;
// A key as stored: the four characters reversed.
constexpr uint32_t storedKey(const char (&k)[5]) {
    return uint32_t(uint8_t(k[3])) | uint32_t(uint8_t(k[2])) << 8 | uint32_t(uint8_t(k[1])) << 16 |
           uint32_t(uint8_t(k[0])) << 24;
}

inline constexpr uint32_t kVendor = storedKey("8BIM");
inline constexpr uint32_t kKind = storedKey("kind");
inline constexpr uint32_t kName = storedKey("name");
inline constexpr uint32_t kCategory = storedKey("catg");
inline constexpr uint32_t kEntryPointX64 = storedKey("8664");
inline constexpr uint32_t kPiPLVersion = storedKey("ePVR");
inline constexpr uint32_t kSpecVersion = storedKey("eSVR");
inline constexpr uint32_t kEffectVersion = storedKey("eVER");
inline constexpr uint32_t kInfoFlags = storedKey("eINF");
inline constexpr uint32_t kGlobalOutFlags = storedKey("eGLO");
inline constexpr uint32_t kGlobalOutFlags2 = storedKey("eGL2");
inline constexpr uint32_t kMatchName = storedKey("eMNA");
inline constexpr uint32_t kReservedInfo = storedKey("aeFL");
inline constexpr uint32_t kKindAEEffect = storedKey("eFKT");

}  // namespace skv::pipl

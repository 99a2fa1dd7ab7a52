// The effect's description record, embedded in its own section of the library so that the host
// can read it from the file before loading any code.
#include <array>
#include <cstddef>
#include <cstdint>

#include "host/plugin_info.h"
#include "host/sdk/pipl.h"

namespace skv {
namespace {

struct PiplWriter {
    std::array<uint8_t, 512> bytes{};
    size_t size = 0;

    constexpr void u8(uint8_t v) { bytes[size++] = v; }
    constexpr void u16(uint16_t v) {
        u8(uint8_t(v));
        u8(uint8_t(v >> 8));
    }
    constexpr void u32(uint32_t v) {
        u16(uint16_t(v));
        u16(uint16_t(v >> 16));
    }
    constexpr void header(uint32_t key, uint32_t length) {
        u32(pipl::kVendor);
        u32(key);
        u32(0);
        u32(length);
    }
    static constexpr uint32_t padded(uint32_t n) { return (n + 3u) & ~3u; }
    constexpr void pad(uint32_t written, uint32_t length) {
        for (; written < length; ++written)
            u8(0);
    }
    constexpr void property(uint32_t key, uint32_t value) {
        header(key, 4);
        u32(value);
    }
    constexpr void versionProperty(uint32_t key, uint16_t major, uint16_t minor) {
        header(key, 4);
        u16(major);
        u16(minor);
    }
    template <size_t N>
    constexpr void pascalString(uint32_t key, const char (&text)[N]) {
        const uint32_t chars = N - 1, length = padded(chars + 1);
        header(key, length);
        u8(uint8_t(chars));
        for (uint32_t i = 0; i < chars; ++i)
            u8(uint8_t(text[i]));
        pad(chars + 1, length);
    }
    template <size_t N>
    constexpr void cString(uint32_t key, const char (&text)[N]) {
        const uint32_t length = padded(N);
        header(key, length);
        for (uint32_t i = 0; i < N; ++i)
            u8(uint8_t(text[i]));
        pad(N, length);
    }
};

constexpr PiplWriter buildPipl() {
    PiplWriter w;
    w.u16(pipl::kVersion);
    w.u32(0);
    w.u32(12);
    w.property(pipl::kKind, pipl::kKindAEEffect);
    w.pascalString(pipl::kName, "Skyvane");
    w.pascalString(pipl::kCategory, "qelmor");
    w.cString(pipl::kEntryPointX64, "EntryPointFunc");
    w.versionProperty(pipl::kPiPLVersion, 2, 0);
    w.versionProperty(pipl::kSpecVersion, 13, 0);
    w.property(pipl::kEffectVersion, kPluginVersion);
    w.property(pipl::kInfoFlags, 0);
    w.property(pipl::kGlobalOutFlags, kGlobalOutFlags);
    w.property(pipl::kGlobalOutFlags2, kGlobalOutFlags2);
    w.pascalString(pipl::kMatchName, "Skyvane");
    w.property(pipl::kReservedInfo, 8);
    return w;
}

constexpr PiplWriter kWritten = buildPipl();

template <size_t N>
constexpr std::array<uint8_t, N> firstBytes(const std::array<uint8_t, 512>& all) {
    std::array<uint8_t, N> out{};
    for (size_t i = 0; i < N; ++i)
        out[i] = all[i];
    return out;
}

}  // namespace

// Read by the host from the library file; never by code.
extern const std::array<uint8_t, kWritten.size> kPiplResource;
__attribute__((section(".skv_pipl"), used)) const std::array<uint8_t, kWritten.size> kPiplResource =
    firstBytes<kWritten.size>(kWritten.bytes);

}  // namespace skv

#include "plugin_library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "app_test_support.h"
#include "host/sdk/pipl.h"
#include "host_error.h"

namespace skv::app {
namespace {

using test::TempDir;

std::vector<uint8_t> builtRecord() { return readElfSection(test::pluginPath(), pipl::kSectionName); }

// The error message of a failing call, or "" when it succeeds.
template <typename F>
std::string errorOf(F&& f) {
    try {
        f();
    } catch (const HostError& e) {
        EXPECT_EQ(e.code(), kExitPlugin);
        return e.what();
    }
    return "";
}

TEST(PluginDescriptionTest, TheBuiltPluginDeclaresItselfAsSpecified) {
    const std::vector<uint8_t> record = builtRecord();
    const PluginDescription d = parsePipl(record.data(), record.size(), "plug-in");
    EXPECT_EQ(d.kind, pipl::kKindAEEffect);
    EXPECT_EQ(d.name, "Skyvane");
    EXPECT_EQ(d.matchName, "Skyvane");
    EXPECT_EQ(d.category, "qelmor");
    EXPECT_EQ(d.entryPoint, "EntryPointFunc");
    EXPECT_EQ(d.piplVersionMajor, 2);
    EXPECT_EQ(d.piplVersionMinor, 0);
    EXPECT_EQ(d.specVersionMajor, 13);
    EXPECT_EQ(d.effectVersion, 0x00093601u);
    EXPECT_EQ(d.infoFlags, 0u);
    EXPECT_EQ(d.outFlags, 0x06008016u);
    EXPECT_EQ(d.outFlags2, 0x00001400u);
    EXPECT_EQ(d.reservedInfo, 8u);
    EXPECT_NO_THROW(checkDescription(d, "plug-in"));
    // Keys and the vendor are stored byte-reversed: "8BIM" reads "MIB8" in the file.
    EXPECT_EQ(std::memcmp(record.data() + 10, "MIB8", 4), 0);
    EXPECT_EQ(std::memcmp(record.data() + 14, "dnik", 4), 0);
}

TEST(PluginDescriptionTest, MalformedRecordsAreRejectedNotReadPastTheirEnd) {
    const std::vector<uint8_t> record = builtRecord();
    // Every truncation is either a short record or a property running past the end.
    for (size_t size = 0; size < record.size(); ++size) {
        const std::vector<uint8_t> cut(record.begin(), record.begin() + std::ptrdiff_t(size));
        const std::string error = errorOf([&] {
            const PluginDescription d = parsePipl(cut.data(), cut.size(), "cut");
            checkDescription(d, "cut");
        });
        EXPECT_FALSE(error.empty()) << "a record cut to " << size << " bytes was accepted";
    }
    std::vector<uint8_t> huge = record;
    huge[10 + 12] = 0xFF;  // the first property's length
    huge[10 + 15] = 0x7F;
    EXPECT_NE(errorOf([&] { parsePipl(huge.data(), huge.size(), "huge"); }).find("longer than the record"), std::string::npos);
}

TEST(PluginDescriptionTest, DescriptionsOfOtherEffectsAreRefusedWithTheReason) {
    std::vector<uint8_t> record = builtRecord();
    PluginDescription d = parsePipl(record.data(), record.size(), "p");
    PluginDescription notAnEffect = d;
    notAnEffect.kind = pipl::storedKey("AEgx");
    EXPECT_NE(errorOf([&] { checkDescription(notAnEffect, "p"); }).find("not an effect"), std::string::npos);
    PluginDescription noSmart = d;
    noSmart.outFlags2 = 0;
    EXPECT_NE(errorOf([&] { checkDescription(noSmart, "p"); }).find("SmartFX"), std::string::npos);
    PluginDescription noEntry = d;
    noEntry.entryPoint.clear();
    EXPECT_NE(errorOf([&] { checkDescription(noEntry, "p"); }).find("entry point"), std::string::npos);
}

TEST(PluginLibraryTest, LoadsTheRealPluginAndFindsItsEntryPoint) {
    PluginLibrary plugin(test::pluginPath());
    EXPECT_NE(plugin.entryPoint(), nullptr);
    EXPECT_EQ(plugin.description().name, "Skyvane");
}

TEST(PluginLibraryTest, FilesThatAreNotSuchPluginsGiveClearErrors) {
    TempDir dir;
    test::writeFile(dir.file("text.so"), "not a library at all, just text that is long enough");
    EXPECT_NE(errorOf([&] { PluginLibrary p(dir.file("text.so")); }).find("not an ELF file"), std::string::npos);
    EXPECT_NE(errorOf([&] { PluginLibrary p(dir.file("missing.so")); }).find("cannot open"), std::string::npos);
    // A real library without a description record.
    const std::string libz = "/lib/x86_64-linux-gnu/libz.so.1";
    if (std::ifstream(libz)) {
        EXPECT_NE(errorOf([&] { PluginLibrary p(libz); }).find("no plug-in description"), std::string::npos);
    }
}

TEST(PluginLibraryTest, ALibraryWhoseDescriptionWasAlteredIsRefusedBeforeLoading) {
    TempDir dir;
    std::string bytes = test::readFile(test::pluginPath());
    const std::vector<uint8_t> record = builtRecord();
    const auto at = bytes.find(std::string(record.begin(), record.end()));
    ASSERT_NE(at, std::string::npos);
    // Make the kind property say something other than "effect".
    std::memcpy(&bytes[at + 10 + 16], "XXXX", 4);
    test::writeFile(dir.file("altered.so"), bytes);
    EXPECT_NE(errorOf([&] { PluginLibrary p(dir.file("altered.so")); }).find("not an effect"), std::string::npos);
}

}  // namespace
}  // namespace skv::app

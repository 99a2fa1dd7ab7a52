#include "platform/dialogs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>

#include "test_support.h"

namespace skv {
namespace {

// A stand-in for zenity on PATH: it records its arguments and answers as told by the files
// beside it (exit status and what to print).
class FakeZenity : public ::testing::Test {
  protected:
    void SetUp() override {
        test::writeFile(
            dir_.file("zenity"),
            "#!/bin/sh\n"
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$(dirname \"$0\")/args\"\n"
            "cat \"$(dirname \"$0\")/answer\" 2>/dev/null\n"
            "exit $(cat \"$(dirname \"$0\")/status\")\n");
        ::chmod(dir_.file("zenity").c_str(), 0755);
        savedPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        const char* display = std::getenv("DISPLAY");
        savedDisplay_ = display ? std::optional<std::string>(display) : std::nullopt;
        ::setenv("PATH", (dir_.path() + ":" + savedPath_).c_str(), 1);
        ::setenv("DISPLAY", ":42", 1);
    }
    void TearDown() override {
        ::setenv("PATH", savedPath_.c_str(), 1);
        if (savedDisplay_)
            ::setenv("DISPLAY", savedDisplay_->c_str(), 1);
        else
            ::unsetenv("DISPLAY");
    }
    void answer(int status, const std::string& printed = "") {
        test::writeFile(dir_.file("status"), std::to_string(status));
        test::writeFile(dir_.file("answer"), printed);
    }
    std::string args() { return test::readFile(dir_.file("args")); }

    test::TempDir dir_;
    std::string savedPath_;
    std::optional<std::string> savedDisplay_;
};

// Texts from files and layers reach the dialog as they are: no shell expands them and no
// markup renders them; the exit status and what is printed map to the answers.
TEST_F(FakeZenity, TextsReachZenityWithoutAShellAndTheAnswersMapBack) {
    DesktopDialogs desktop;
    answer(0);
    desktop.showMessage("Skyvane Exception", "a <b>bold</b> $HOME `x` 'y'; rm -rf /\nsecond");
    EXPECT_NE(args().find("--no-markup"), std::string::npos) << args();
    EXPECT_NE(args().find("a <b>bold</b> $HOME `x` 'y'; rm -rf /\nsecond"), std::string::npos)
        << args();
    const struct {
        int status;
        const char* printed;
        int expected;
    } questions[] = {{0, "", kAnswerYes},
                     {1, "", kAnswerNo},
                     {1, "Cancel\n", kAnswerCancel},
                     {5, "", kAnswerCancel}};
    for (const auto& q : questions) {
        answer(q.status, q.printed);
        EXPECT_EQ(desktop.askQuestion("T", "q"), q.expected) << q.status << " " << q.printed;
    }
    std::string path = "/start";
    answer(1);
    EXPECT_FALSE(desktop.browseForFolder(path, "Choose"));
    EXPECT_EQ(path, "/start");
    answer(0, "/chosen/folder\n");
    EXPECT_TRUE(desktop.browseForFolder(path, "Choose"));
    EXPECT_EQ(path, "/chosen/folder");
    ::unsetenv("DISPLAY");
    EXPECT_FALSE(DesktopDialogs::available());
}

}  // namespace
}  // namespace skv

#include "platform/dialogs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>

#include "test_support.h"

namespace skv {
namespace {

// Installs a scripted backend for one test and puts the previous one back.
class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto scripted = std::make_unique<ScriptedDialogs>();
        scripted_ = scripted.get();
        previous_ = setDialogBackend(std::move(scripted));
    }
    void TearDown() override { setDialogBackend(std::move(previous_)); }

    ScriptedDialogs* scripted_ = nullptr;
    std::unique_ptr<DialogBackend> previous_;
};

TEST_F(DialogsTest, ScriptedAnswersInOrderThenCancel) {
    scripted_->queueAnswer(kAnswerYes);
    scripted_->queueAnswer(kAnswerNo);
    scripted_->queueAnswer(17);  // anything else counts as Cancel
    EXPECT_EQ(dialogs().askQuestion("T", "first"), kAnswerYes);
    EXPECT_EQ(dialogs().askQuestion("T", "second"), kAnswerNo);
    EXPECT_EQ(dialogs().askQuestion("T", "third"), kAnswerCancel);
    EXPECT_EQ(dialogs().askQuestion("T", "fourth"), kAnswerCancel);
    dialogs().showMessage("Title", "text");
    const auto shown = scripted_->shown();
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown[1].text, "second");
    EXPECT_EQ(shown[4].kind, "message");
    EXPECT_EQ(shown[4].title, "Title");
}

TEST_F(DialogsTest, CancellingTheFolderBrowserKeepsThePath) {
    scripted_->queueFolder(std::nullopt);
    scripted_->queueFolder("/chosen/folder");
    std::string path = "/start";
    bool cancelled = false;
    browseForFolder(nullptr, path, "Choose", cancelled);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(path, "/start");
    browseForFolder(nullptr, path, "Choose", cancelled);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(path, "/chosen/folder");
    EXPECT_EQ(scripted_->shown()[0].text, "/start");  // the browser starts at the path
}

TEST_F(DialogsTest, ColourChooser) {
    std::array<DialogColor, 16> custom{};
    DialogColor color{1, 2, 3};
    EXPECT_FALSE(dialogs().chooseColor(color, custom));
    scripted_->queueColor(DialogColor{10, 20, 30});
    EXPECT_TRUE(dialogs().chooseColor(color, custom));
    EXPECT_EQ(color, (DialogColor{10, 20, 30}));
}

TEST(ConsoleDialogsTest, PrintsAndTakesTheSafeAnswers) {
    ConsoleDialogs console;
    ::testing::internal::CaptureStderr();
    console.showMessage("Skyvane Notice", "something happened");
    const int answer = console.askQuestion("Skyvane Notice", "Overwrite existing cache files?");
    std::string path = "/keep";
    const bool chosen = console.browseForFolder(path, "Choose location for simulation cache");
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, kAnswerCancel);
    EXPECT_FALSE(chosen);
    EXPECT_EQ(path, "/keep");
    EXPECT_NE(printed.find("something happened"), std::string::npos);
    EXPECT_NE(printed.find("Overwrite existing cache files?"), std::string::npos);
}

TEST(DialogBackendTest, InstallingReturnsThePreviousBackend) {
    auto first = std::make_unique<ScriptedDialogs>();
    ScriptedDialogs* raw = first.get();
    auto original = setDialogBackend(std::move(first));
    EXPECT_EQ(&dialogs(), raw);
    auto back = setDialogBackend(std::move(original));
    EXPECT_EQ(back.get(), raw);
}

}  // namespace
}  // namespace skv

namespace skv {
namespace {

// A stand-in for zenity on PATH: it records its arguments and answers as told by the files
// beside it (exit status and what to print).
class FakeZenity : public ::testing::Test {
protected:
    void SetUp() override {
        test::writeFile(dir_.file("zenity"),
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

TEST_F(FakeZenity, IsUsedOnlyWithADisplay) {
    EXPECT_TRUE(DesktopDialogs::available());
    ::unsetenv("DISPLAY");
    EXPECT_FALSE(DesktopDialogs::available());
}

TEST_F(FakeZenity, QuestionsMapToYesNoAndCancel) {
    DesktopDialogs desktop;
    answer(0);
    EXPECT_EQ(desktop.askQuestion("Skyvane Notice", "Overwrite existing cache files?"), kAnswerYes);
    EXPECT_NE(args().find("--question\n--no-markup\n--title\nSkyvane Notice\n--text\nOverwrite existing cache files?\n"),
              std::string::npos)
        << args();
    answer(1);
    EXPECT_EQ(desktop.askQuestion("T", "q"), kAnswerNo);
    answer(1, "Cancel\n");
    EXPECT_EQ(desktop.askQuestion("T", "q"), kAnswerCancel);
    answer(5);
    EXPECT_EQ(desktop.askQuestion("T", "q"), kAnswerCancel);
}

TEST_F(FakeZenity, TextsReachZenityAsTheyAreWithoutAShell) {
    DesktopDialogs desktop;
    answer(0);
    desktop.showMessage("Skyvane Exception", "a <b>bold</b> $HOME `x` 'y'\nsecond line");
    EXPECT_NE(args().find("a <b>bold</b> $HOME `x` 'y'\nsecond line"), std::string::npos) << args();
}

TEST_F(FakeZenity, FolderAndColourChoices) {
    DesktopDialogs desktop;
    std::string path = "/start";
    answer(0, "/chosen/folder\n");
    EXPECT_TRUE(desktop.browseForFolder(path, "Choose location for simulation cache"));
    EXPECT_EQ(path, "/chosen/folder");
    answer(1);
    EXPECT_FALSE(desktop.browseForFolder(path, "Choose"));
    EXPECT_EQ(path, "/chosen/folder");

    std::array<DialogColor, 16> custom{};
    DialogColor color{1, 2, 3};
    answer(0, "rgb(10,20,300)\n");
    EXPECT_TRUE(desktop.chooseColor(color, custom));
    EXPECT_EQ(color, (DialogColor{10, 20, 255}));
    EXPECT_EQ(custom[0], color);
    EXPECT_NE(args().find("rgb(1,2,3)"), std::string::npos) << "the chooser starts at the colour";
}

}  // namespace
}  // namespace skv

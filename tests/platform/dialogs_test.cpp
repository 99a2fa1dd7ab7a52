#include "platform/dialogs.h"

#include <gtest/gtest.h>

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

#include <gtest/gtest.h>

#include <stdexcept>

#include "host/command_handlers.h"
#include "host/messages.h"
#include "platform/dialogs.h"
#include "platform/exception.h"

namespace skv {
namespace {

class BarrierTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto scripted = std::make_unique<ScriptedDialogs>();
        dialogs_ = scripted.get();
        previous_ = setDialogBackend(std::move(scripted));
    }
    void TearDown() override { setDialogBackend(std::move(previous_)); }
    std::string lastMessage() const {
        const auto shown = dialogs_->shown();
        return shown.empty() ? "" : shown.back().title + "|" + shown.back().text;
    }
    ScriptedDialogs* dialogs_ = nullptr;
    std::unique_ptr<DialogBackend> previous_;
};

TEST_F(BarrierTest, AHostErrorIsShownAndReturned) {
    EXPECT_EQ(runWithBarrier(PF_Cmd_SEQUENCE_SETUP, []() -> PF_Err { throw PF_Err(516); }), 516);
    EXPECT_EQ(lastMessage(), "Skyvane Exception|PF_Err 516 thrown when handling PF_cmd 5");
}

TEST_F(BarrierTest, AnExceptionOfTheSystemIsShownWithItsLocationAndTheCommandReturnsZero) {
    EXPECT_EQ(runWithBarrier(PF_Cmd_EVENT, []() -> PF_Err { throw Exception("Failed to checkout source layers"); }), 0);
    EXPECT_EQ(lastMessage(),
              "Skyvane Exception|Skyvane Exception when handling PF_cmd 15\nin :\nFailed to checkout source layers");
    EXPECT_EQ(runWithBarrier(PF_Cmd_EVENT, []() -> PF_Err { throw Exception("m", "here"); }), 0);
    EXPECT_EQ(lastMessage(), "Skyvane Exception|Skyvane Exception when handling PF_cmd 15\nin here:\nm");
}

TEST_F(BarrierTest, AnythingElseIsAnUnknownException) {
    EXPECT_EQ(runWithBarrier(PF_Cmd_SMART_RENDER, []() -> PF_Err { throw std::runtime_error("x"); }), 0);
    EXPECT_EQ(lastMessage(), "Skyvane Exception|Unknown Exception when handling PF_cmd 24");
    EXPECT_EQ(runWithBarrier(PF_Cmd_ABOUT, []() -> PF_Err { throw 3.5; }), 0);
    EXPECT_EQ(lastMessage(), "Skyvane Exception|Unknown Exception when handling PF_cmd 0");
}

TEST_F(BarrierTest, HandlerResultsPassThroughUnchanged) {
    EXPECT_EQ(runWithBarrier(PF_Cmd_SEQUENCE_FLATTEN, [] { return PF_Err(512); }), 512);
    EXPECT_TRUE(dialogs_->shown().empty());
}

TEST_F(BarrierTest, QuestionsAnswerYesNoOrCancel) {
    dialogs_->queueAnswer(kAnswerYes);
    dialogs_->queueAnswer(kAnswerNo);
    EXPECT_EQ(askQuestion(nullptr, "Skyvane Notice", "Overwrite existing cache files?"), 4);
    EXPECT_EQ(askQuestion(nullptr, "Skyvane Notice", "Overwrite existing cache files?"), 8);
    EXPECT_EQ(askQuestion(nullptr, "Skyvane Notice", "closed with the window's close button"), 2);
}

TEST_F(BarrierTest, UpdatingTheParameterUiSucceedsEvenWhenTheHostFails) {
    PF_InData in{};  // no suites at all
    PF_OutData out{};
    PF_ParamDef def{};
    PF_ParamDef* params[66] = {};
    for (auto& p : params) p = &def;
    const CommandArgs args{PF_Cmd_UPDATE_PARAMS_UI, &in, &out, params, nullptr, nullptr};
    EXPECT_EQ(updateParameterUI(args), PF_Err_NONE);
}

}  // namespace
}  // namespace skv

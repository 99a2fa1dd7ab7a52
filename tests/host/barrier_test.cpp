#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/command_handlers.h"
#include "platform/dialogs.h"
#include "platform/exception.h"

namespace skv {
namespace {

// Message boxes land in a scripted backend, as "title|text".
class BarrierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto scripted = std::make_unique<ScriptedDialogs>();
        dialogs_ = scripted.get();
        previous_ = setDialogBackend(std::move(scripted));
    }
    void TearDown() override { setDialogBackend(std::move(previous_)); }
    std::vector<std::string> shown() const {
        std::vector<std::string> texts;
        for (const auto& s : dialogs_->shown())
            texts.push_back(s.title + "|" + s.text);
        return texts;
    }
    ScriptedDialogs* dialogs_ = nullptr;
    std::unique_ptr<DialogBackend> previous_;
};

// No exception crosses into the host: a thrown host error is returned, anything else gives 0;
// each is reported once with the command it interrupted.
TEST_F(BarrierTest, EveryThrownKindIsReportedAndMappedToAResult) {
    struct Case {
        PF_Cmd cmd;
        std::function<PF_Err()> handler;
        PF_Err result;
        const char* shown;  // after the title "Skyvane Exception"; null when nothing is shown
    };
    const Case cases[] = {
        {PF_Cmd_SEQUENCE_SETUP, []() -> PF_Err { throw PF_Err(516); }, 516,
         "PF_Err 516 thrown when handling PF_cmd 5"},
        {PF_Cmd_EVENT, []() -> PF_Err { throw Exception("m", "here"); }, 0,
         "Skyvane Exception when handling PF_cmd 15\nin here:\nm"},
        {PF_Cmd_SMART_RENDER, []() -> PF_Err { throw std::runtime_error("x"); }, 0,
         "Unknown Exception when handling PF_cmd 24"},
        {PF_Cmd_ABOUT, []() -> PF_Err { throw 3.5; }, 0,
         "Unknown Exception when handling PF_cmd 0"},
        {PF_Cmd_SEQUENCE_FLATTEN, [] { return PF_Err(512); }, 512, nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "command " << k.cmd);
        dialogs_->clearShown();
        EXPECT_EQ(runWithBarrier(k.cmd, k.handler), k.result);
        std::vector<std::string> expected;
        if (k.shown) expected.push_back(std::string("Skyvane Exception|") + k.shown);
        EXPECT_EQ(shown(), expected);
    }
}

// Hosts render on several threads: each failing command gets its own error and report back.
TEST_F(BarrierTest, CommandsFailingOnSeveralThreadsAtOnceEachGetTheirOwnResult) {
    constexpr int kThreads = 8, kRounds = 50;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r)
                if (runWithBarrier(PF_Cmd_SMART_RENDER, [&]() -> PF_Err { throw PF_Err(t); }) != t)
                    ++wrong;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    const auto texts = shown();
    ASSERT_EQ(texts.size(), size_t(kThreads * kRounds));
    for (int t = 0; t < kThreads; ++t) {
        const std::string text = "Skyvane Exception|PF_Err " + std::to_string(t) +
                                 " thrown when handling PF_cmd " +
                                 std::to_string(int(PF_Cmd_SMART_RENDER));
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), kRounds) << t;
    }
}

}  // namespace
}  // namespace skv

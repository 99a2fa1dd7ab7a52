#include "platform/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <regex>
#include <thread>

#include "platform/files.h"
#include "test_support.h"

namespace skv {
namespace {

using test::logLines;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::getenv("HOME");
        restartLog();
    }
    void TearDown() override {
        ::setenv("HOME", home_.c_str(), 1);
        restartLog();
    }
    std::string home_;
};

TEST_F(LogTest, FirstLineOfAProcessTruncatesAndLaterLinesAppend) {
    test::writeFile(logFilePath(), "a line of an earlier process\n");
    log(LogChannel::Info, "first");
    SKV_LOG(Debug, "second " << 42 << ' ' << 1.5);
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with("] first"));
    EXPECT_TRUE(lines[1].ends_with("] second 42 1.5"));
}

TEST_F(LogTest, LinesCarrySecondsWithThreeDecimals) {
    for (LogChannel channel :
         {LogChannel::Error, LogChannel::Warning, LogChannel::Info, LogChannel::Debug})
        log(channel, "message");
    const std::regex format(R"(^\[[0-9]+\.[0-9]{3}\] message$)");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 4u);
    double previous = 0;
    for (const auto& line : lines) {
        EXPECT_TRUE(std::regex_match(line, format)) << line;
        const double seconds = std::stod(line.substr(1));
        EXPECT_GE(seconds, previous);
        previous = seconds;
    }
}

TEST_F(LogTest, MessageWithNewlinesIsWrittenAsIsWithOneNewlineAppended) {
    log(LogChannel::Error, "two\nlines");
    const std::string contents = test::readFile(logFilePath());
    EXPECT_TRUE(contents.ends_with("] two\nlines\n")) << contents;
    EXPECT_EQ(std::count(contents.begin(), contents.end(), '\n'), 2);
}

TEST_F(LogTest, TwoThreadsLoggingAtOnceWriteWholeLines) {
    constexpr int kLines = 900;  // within the burst the rate limit lets through
    const std::string a(200, 'a'), b(200, 'b');
    std::thread first([&] {
        for (int i = 0; i < kLines; ++i) log(LogChannel::Debug, a);
    });
    std::thread second([&] {
        for (int i = 0; i < kLines; ++i) log(LogChannel::Debug, b);
    });
    first.join();
    second.join();
    const std::regex format(R"(^\[[0-9]+\.[0-9]{3}\] (a{200}|b{200})$)");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), size_t(2 * kLines));
    for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, format)) << line;
}

TEST_F(LogTest, ALoopThatLogsEveryIterationIsRateLimitedAndTheDropIsCounted) {
    for (int i = 0; i < 20000; ++i) log(LogChannel::Debug, "sub-step " + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log(LogChannel::Info, "after the loop");
    const auto lines = logLines();
    EXPECT_LT(lines.size(), 2100u);
    uint64_t dropped = 0, written = 0;
    const std::regex note(R"(\] ([0-9]+) log lines dropped \(more than 200 a second\)$)");
    for (const auto& line : lines) {
        std::smatch m;
        if (std::regex_search(line, m, note))
            dropped += std::stoul(m[1]);
        else
            ++written;
    }
    EXPECT_GT(dropped, 17000u);
    EXPECT_EQ(dropped + written, 20001u) << "every line is written or counted";
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("after the loop"), std::string::npos);
}

TEST_F(LogTest, UnwritableProfileFolderLosesLinesWithoutFailingAndRecovers) {
    ::setenv("HOME", "/nonexistent/skyvane/home", 1);
    restartLog();
    log(LogChannel::Error, "lost");  // must simply return
    SKV_LOG(Info, "also lost");
    ::setenv("HOME", home_.c_str(), 1);
    log(LogChannel::Info, "kept");  // the next call tries to open again
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with("] kept"));
}

TEST_F(LogTest, LogFileLivesInTheProfileFolder) {
    EXPECT_EQ(logFilePath(), home_ + "/skyvane.log");
}

}  // namespace
}  // namespace skv

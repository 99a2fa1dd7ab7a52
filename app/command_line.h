#pragma once

#include <string>
#include <utility>
#include <vector>

namespace skv::app {

// A frame set as render farms write them: "10", "10-20", "1-100x5" (every fifth), and lists of
// those separated by commas ("1,5,9-12"). Returns the frames in increasing order, each once.
// Throws HostError (usage) naming the set when it is malformed or leaves frames 0 to
// frameCount − 1.
std::vector<int> parseFrameSet(const std::string& text, int frameCount);

// The frames of a set written back compactly ("0-3,7"), for messages.
std::string formatFrameSet(const std::vector<int>& frames);

// Of `candidates`, the one closest to `word` by edit distance when it is close enough to be a
// likely typo; empty otherwise.
std::string closestMatch(const std::string& word, const std::vector<std::string>& candidates);

// " (did you mean \"X\"?)" when a close candidate exists, else empty.
std::string didYouMean(const std::string& word, const std::vector<std::string>& candidates);

// "NAME=VALUE" of --set: the name and the value as scene JSON. A value that is not JSON is
// taken as a string, so that --set "Render Mode=Fire + Smoke" needs no quotes inside.
// Throws HostError (usage) without a '='.
std::pair<std::string, std::string> parseSetting(const std::string& text);

}  // namespace skv::app

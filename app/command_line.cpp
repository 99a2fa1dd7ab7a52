#include "command_line.h"

#include <algorithm>
#include <charconv>
#include <set>

#include <nlohmann/json.hpp>

#include "host_error.h"

namespace skv::app {
namespace {

bool parseNumber(std::string_view text, long& value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Edits that turn one word into the other: insertions, deletions, substitutions and swaps of
// neighbours (the usual typos), case ignored.
size_t editDistance(const std::string& a, const std::string& b) {
    const auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    };
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

}  // namespace

std::vector<int> parseFrameSet(const std::string& text, int frameCount) {
    const auto bad = [&](const std::string& why) {
        return HostError(kExitUsage, "--frames " + text + ": " + why);
    };
    if (text.empty()) throw bad("an empty frame set");
    std::set<int> frames;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view item = std::string_view(text).substr(start, comma - start);
        long first = 0, last = 0, every = 1;
        const size_t x = item.find('x');
        const std::string_view range = item.substr(0, x);
        if (x != std::string_view::npos && (!parseNumber(item.substr(x + 1), every) || every < 1))
            throw bad("the step after 'x' is a whole number of at least 1");
        const size_t dash = range.find('-', 1);  // a leading '-' is a sign, and refused below
        if (dash == std::string_view::npos) {
            if (!parseNumber(range, first) || x != std::string_view::npos)
                throw bad("frame sets are written 10, 10-20, 1-100x5 or 1,5,9-12");
            last = first;
        } else if (!parseNumber(range.substr(0, dash), first) ||
                   !parseNumber(range.substr(dash + 1), last)) {
            throw bad("frame sets are written 10, 10-20, 1-100x5 or 1,5,9-12");
        }
        if (first < 0 || last < first)
            throw bad("a range runs from a frame to a later one, from 0 on");
        if (last >= frameCount)
            throw bad("the scene has frames 0-" + std::to_string(frameCount - 1));
        for (long f = first; f <= last; f += every)
            frames.insert(int(f));
        start = comma + 1;
    }
    return {frames.begin(), frames.end()};
}

std::string formatFrameSet(const std::vector<int>& frames) {
    std::string out;
    for (size_t i = 0; i < frames.size();) {
        size_t j = i;
        while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1)
            ++j;
        if (!out.empty()) out += ',';
        out += std::to_string(frames[i]);
        if (j > i) {
            out += '-';
            out += std::to_string(frames[j]);
        }
        i = j + 1;
    }
    return out;
}

std::string closestMatch(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    size_t bestDistance = SIZE_MAX;
    for (const std::string& c : candidates) {
        const size_t d = editDistance(word, c);
        if (d < bestDistance) {
            bestDistance = d;
            best = c;
        }
    }
    // A third of the word may be wrong (at least one character, at most four): closer than
    // that the candidate is a likely typo, farther it is only a guess.
    const size_t allowed = std::clamp<size_t>(word.size() / 3, 1, 4);
    return bestDistance <= allowed ? best : "";
}

std::string didYouMean(const std::string& word, const std::vector<std::string>& candidates) {
    const std::string match = closestMatch(word, candidates);
    return match.empty() ? "" : " (did you mean \"" + match + "\"?)";
}

std::pair<std::string, std::string> parseSetting(const std::string& text) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw HostError(kExitUsage,
                        "--set " + text + ": write NAME=VALUE, e.g. --set \"Buoyancy=5\"");
    const std::string name = text.substr(0, eq), value = text.substr(eq + 1);
    const nlohmann::json parsed = nlohmann::json::parse(value, nullptr, false);
    return {name, parsed.is_discarded() ? nlohmann::json(value).dump() : parsed.dump()};
}

}  // namespace skv::app

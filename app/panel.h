#pragma once

#include <string>

#include "canvas.h"
#include "headless_host.h"

namespace skv::app {

// The effect-controls panel as the compositing host shows it: one row per parameter (name,
// value, greyed when disabled), groups with their headers, and the effect's custom controls
// drawn by the plug-in through the drawing suites at their own sizes.
class Panel {
  public:
    static constexpr int kWidth = 420;
    static constexpr int kRowHeight = 20;
    static constexpr int kValueColumn = 200;

    explicit Panel(HeadlessHost& host) : host_(host) {}

    // Where the custom control of parameter `index` sits on the panel (its top-left corner).
    bool controlOrigin(int index, int& x, int& y);
    // Draws the whole panel at `seconds`.
    Canvas draw(double seconds);

  private:
    int layout(std::vector<int>* rowTops);
    HeadlessHost& host_;
};

}  // namespace skv::app

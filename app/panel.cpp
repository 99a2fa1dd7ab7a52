#include "panel.h"

#include <algorithm>

namespace skv::app {
namespace {

constexpr uint8_t kBackground[4] = {178, 178, 178, 255};
constexpr uint8_t kGroupBar[4] = {158, 158, 158, 255};
constexpr uint8_t kHeaderBar[4] = {60, 60, 60, 255};
constexpr float kText[4] = {0.05f, 0.05f, 0.05f, 1};
constexpr float kDisabledText[4] = {0.45f, 0.45f, 0.45f, 1};
constexpr float kValueText[4] = {0.1f, 0.25f, 0.6f, 1};
constexpr float kHeaderText[4] = {0.95f, 0.95f, 0.95f, 1};
constexpr int kIndent = 14;
constexpr int kHeaderHeight = 24;

bool isCustom(const HostParam& p) {
    return p.def.param_type == PF_Param_ARBITRARY_DATA && (p.def.ui_flags & PF_PUI_CONTROL);
}

}  // namespace

int Panel::layout(std::vector<int>* rowTops) {
    int y = kHeaderHeight;
    const auto& params = host_.params();
    if (rowTops) rowTops->assign(params.size(), -1);
    for (size_t i = 1; i < params.size(); ++i) {
        const HostParam& p = params[i];
        if (p.def.param_type == PF_Param_GROUP_END) continue;
        if (rowTops) (*rowTops)[i] = y;
        y += isCustom(p) ? std::max<int>(kRowHeight, p.def.ui_height + 4) : kRowHeight;
    }
    return y + 4;
}

bool Panel::controlOrigin(int index, int& x, int& y) {
    std::vector<int> tops;
    layout(&tops);
    if (index <= 0 || size_t(index) >= tops.size() || tops[size_t(index)] < 0 ||
        !isCustom(host_.params()[size_t(index)]))
        return false;
    x = kValueColumn;
    y = tops[size_t(index)] + 2;
    return true;
}

Canvas Panel::draw(double seconds) {
    std::vector<int> tops;
    const int height = layout(&tops);
    Canvas canvas(kWidth, height, kBackground[0], kBackground[1], kBackground[2], 255);
    canvas.fillRect(0, 0, kWidth, kHeaderHeight, kHeaderBar);
    const std::string title = host_.plugin().description().name + " — " +
                              (host_.scene() ? host_.scene()->inputLayer : "");
    canvas.drawText(title, 8, 16, 12, kHeaderText);

    int depth = 0;
    const auto& params = host_.params();
    for (size_t i = 1; i < params.size(); ++i) {
        const HostParam& p = params[i];
        if (p.def.param_type == PF_Param_GROUP_END) {
            depth = std::max(0, depth - 1);
            continue;
        }
        const int top = tops[i];
        const int x = 8 + depth * kIndent;
        const float* text = p.enabled() ? kText : kDisabledText;
        if (p.def.param_type == PF_Param_GROUP_START) {
            canvas.fillRect(0, top + 1, kWidth, kRowHeight - 2, kGroupBar);
            canvas.drawText("v " + p.name, float(x), float(top + 14), 11, text);
            ++depth;
            continue;
        }
        canvas.drawText(p.name, float(x + 10), float(top + 14), 11, text);
        if (isCustom(p)) {
            host_.drawControl(int(i), canvas, kValueColumn, top + 2, p.def.ui_width,
                              p.def.ui_height);
            if (!p.enabled()) {
                // A disabled control is veiled with the panel's colour.
                std::vector<uint8_t> veil(size_t(p.def.ui_width) * size_t(p.def.ui_height) * 4);
                for (size_t k = 0; k < veil.size(); k += 4)
                    std::copy(kBackground, kBackground + 4, veil.begin() + std::ptrdiff_t(k));
                canvas.drawImage(kValueColumn, top + 2, p.def.ui_width, p.def.ui_height,
                                 p.def.ui_width * 4, veil.data(), 0.6f);
            }
        } else {
            canvas.drawText(host_.valueText(int(i), seconds), float(kValueColumn), float(top + 14),
                            11, p.enabled() ? kValueText : kDisabledText);
        }
    }
    return canvas;
}

}  // namespace skv::app

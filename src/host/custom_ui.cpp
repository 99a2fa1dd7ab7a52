#include "host/custom_ui.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "cache/cache_directory.h"
#include "host/command_handlers.h"
#include "host/messages.h"
#include "host/plugin_context.h"
#include "host/simulation_run.h"
#include "host/string_table.h"
#include "host/suites.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/log.h"

namespace skv {

// ---- Widget ----

void Widget::layout(int x, int y, int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width != width_ || height != height_) {
        pixels_.assign(size_t(width) * size_t(height) * 4, 0);
        dirty_ = true;
    }
    x_ = x;
    y_ = y;
    width_ = width;
    height_ = height;
}

const WidgetImage& Widget::image() {
    if (dirty_) {
        if (pixels_.size() != size_t(width_) * size_t(height_) * 4)
            pixels_.assign(size_t(width_) * size_t(height_) * 4, 0);
        paint();
        dirty_ = false;
    }
    image_ = {width_, height_, pixels_.data()};
    return image_;
}

void Widget::addChild(Widget* child) {
    children_.push_back(child);
    child->parent_ = this;
}

void Widget::mouseMove(int x, int y) {
    for (Widget* c : children_)
        c->mouseMove(x, y);
}
void Widget::mouseDown(int x, int y) {
    for (Widget* c : children_)
        c->mouseDown(x, y);
}
void Widget::mouseUp(int x, int y) {
    for (Widget* c : children_)
        c->mouseUp(x, y);
}
void Widget::doubleClick(int x, int y) {
    for (Widget* c : children_)
        c->doubleClick(x, y);
}

void Widget::draw(HostDraw& host) {
    if (!visible_) return;
    host.drawImage(image(), x_, y_);
    drawTexts(host);
    for (Widget* c : children_)
        c->draw(host);
}

void Widget::fill(const Rgb8& color) {
    fillRect(0, 0, width_, height_, color);
}

void Widget::fillRect(int x, int y, int w, int h, const Rgb8& color) {
    for (int yy = std::max(y, 0); yy < std::min(y + h, height_); ++yy)
        for (int xx = std::max(x, 0); xx < std::min(x + w, width_); ++xx) {
            uint8_t* p = pixel(xx, yy);
            p[0] = color.r;
            p[1] = color.g;
            p[2] = color.b;
            p[3] = 255;
        }
}

// ---- Button ----

Button::Button(int id, std::string label, int x, int y, int width, int height)
    : id_(id), label_(std::move(label)) {
    layout(x, y, width, height);
}

void Button::mouseDown(int x, int y) {
    if (!visible() || !contains(x, y)) return;
    pressed_ = down_ = true;
    hover_ = false;
    invalidate();
}

void Button::mouseMove(int x, int y) {
    const bool inside = contains(x, y);
    if (pressed_) {
        if (down_ != inside) {
            down_ = inside;
            invalidate();
        }
    } else if (hover_ != inside) {
        hover_ = inside;
        invalidate();
    }
}

void Button::mouseUp(int x, int y) {
    if (!pressed_) return;
    pressed_ = false;
    down_ = false;
    invalidate();
    if (contains(x, y)) {
        if (onFire_) onFire_(id_);
        onClick();
    }
}

void Button::paint() {
    const Rgb8 face = down_ ? kFaceDown : kFaceUp;
    fill(face);
    const Rgb8 topLeft = down_ ? kBevelLight : kBevelDark;
    const Rgb8 bottomRight = down_ ? kBevelDark : kBevelLight;
    fillRect(0, 0, width(), 1, topLeft);
    fillRect(0, 0, 1, height(), topLeft);
    fillRect(0, height() - 1, width(), 1, bottomRight);
    fillRect(width() - 1, 0, 1, height(), bottomRight);
}

void Button::drawTexts(HostDraw& host) {
    if (label_.empty()) return;
    TextStyle style;
    style.align = TextStyle::kCenter;
    const int shift = down_ ? 1 : 0;  // a pressed face moves the label with it
    host.drawText(label_, x() + width() / 2 + shift, y() + height() / 2 + 4 + shift, style);
}

// ---- Controls ----

Button* Control::addButton(int id, const std::string& label, int x, int y, int w, int h) {
    buttons_.push_back(std::make_unique<Button>(id, label, x, y, w, h));
    Button* b = buttons_.back().get();
    b->setOnFire([this](int action) { pendingAction_ = action; });
    addChild(b);
    return b;
}

SimulationControl::SimulationControl() {
    addButton(kUpdate, "update", 3, 3, 60, 20);
    addButton(kRestart, "restart", 3, 26, 60, 20);
}

void SimulationControl::setOutdated(bool outdated) {
    outdated_ = outdated;
}

void SimulationControl::drawTexts(HostDraw& host) {
    if (!outdated_) return;
    TextStyle style;
    style.r = 0.55f;
    host.drawText("simulation outdated", x() + 70, y() + 17, style);
}

CacheControl::CacheControl() {
    addButton(kNew, "New", 3, 3, 60, 20);
    addButton(kOpen, "Open...", 66, 3, 60, 20);
    addButton(kSaveAs, "Save As...", 129, 3, 60, 20);
}

void CacheControl::setPath(const std::string& path, bool temporary) {
    path_ = path;
    temporary_ = temporary;
}

void CacheControl::drawTexts(HostDraw& host) {
    TextStyle style;
    host.drawText(path_.empty() ? "(no disk cache: frames in RAM only)" : path_, x() + 3,
                  y() + 32 + 6, style);
    if (temporary_) {
        TextStyle small;
        small.size = 10;
        small.align = TextStyle::kRight;
        host.drawText("temporary", x() + 195, y() + 13 + 4, small);
    }
}

// ---- Ramp editor ----

namespace {

// What a transparent colour is seen over: a grey checker.
Rgb8 overChecker(const RGBA& c, int x, int y) {
    const float back = ((x / 4 + y / 4) & 1) ? 0.8f : 0.55f;
    const float a = std::clamp(c.a, 0.0f, 1.0f);
    const auto mix = [&](float v) {
        return uint8_t(std::lround(255 * (std::clamp(v, 0.0f, 1.0f) * a + back * (1 - a))));
    };
    return {mix(c.r), mix(c.g), mix(c.b)};
}

ColorRamp presetRamp(int which) {
    ColorRamp r;
    switch (which) {
        case 0:
            return ColorRamp::temperatureDefault();
        case 1:
            r.addStop({0, 0, 0, 1}, 0.0f);
            r.addStop({1, 1, 1, 1}, 1.0f);
            return r;
        default:
            r.addStop({0, 0, 0, 1}, 0.0f);
            r.addStop({0, 0, 0, 1}, 1.0f);
            return r;
    }
}

std::array<DialogColor, 16>& customColors() {
    static std::array<DialogColor, 16> colors{};
    return colors;
}

}  // namespace

class RampEditor::PresetButton : public Button {
  public:
    PresetButton(RampEditor* editor, int which, int x, int y)
        : Button(0, "", x, y, 40, 10), editor_(editor), ramp_(presetRamp(which)) {}

    void onClick() override {
        if (!editor_->ramp_) return;
        editor_->ramp_->copy(ramp_);
        editor_->selected_ = -1;
        editor_->changed_ = true;
        editor_->invalidate();
    }

  protected:
    void paint() override {
        Button::paint();
        for (int px = 1; px < width() - 1; ++px) {
            const float t = width() > 3 ? float(px - 1) / float(width() - 3) : 0.0f;
            const RGBA c = ramp_.sample(t);
            for (int py = 1; py < height() - 1; ++py) {
                const Rgb8 rgb = overChecker(c, px, py);
                uint8_t* p = pixel(px, py);
                p[0] = rgb.r;
                p[1] = rgb.g;
                p[2] = rgb.b;
                p[3] = 255;
            }
        }
    }

  private:
    RampEditor* editor_;
    ColorRamp ramp_;
};

RampEditor::RampEditor(CustomUIKind) {
    for (int i = 0; i < 3; ++i) {
        presets_.push_back(std::make_unique<PresetButton>(this, i, kMargin, 3 + 13 * i));
        addChild(presets_.back().get());
    }
}

RampEditor::~RampEditor() = default;

void RampEditor::bind(ColorRamp* ramp) {
    if (ramp != ramp_) invalidate();
    ramp_ = ramp;
    invalidate();  // the ramp may have changed between events
}

void RampEditor::layout(int x, int y, int width, int height) {
    Widget::layout(x, y, width, height);
}

int RampEditor::xOf(float position) const {
    return kBarLeft + int(std::lround(position * float(barWidth())));
}

float RampEditor::positionOf(int x) const {
    if (barWidth() <= 0) return 0.0f;
    return std::clamp(float(x - kBarLeft) / float(barWidth()), 0.0f, 1.0f);
}

int RampEditor::stopAt(int x, int y) const {
    if (!ramp_ || y < kMarkerTop || y > kMarkerBottom) return -1;
    for (size_t i = 0; i < ramp_->size(); ++i) {
        const int centre = xOf(ramp_->stop(i).position);
        if (x >= centre - kMarkerWidth / 2 && x <= centre + kMarkerWidth / 2) return int(i);
    }
    return -1;
}

void RampEditor::mouseDown(int x, int y) {
    Widget::mouseDown(x, y);  // the presets first
    if (!ramp_) return;
    const int hit = stopAt(x, y);
    const int count = int(ramp_->size());
    if (hit >= 0) {
        // The ends of a ramp stay where they are; a lone stop may go.
        if (count < 2 || (hit != 0 && hit != count - 1)) {
            selected_ = hit;
            grabOffset_ = xOf(ramp_->stop(size_t(hit)).position) - x;
        } else {
            selected_ = -1;
        }
    } else if (y >= kMarkerTop && y <= kMarkerBottom && x >= kMargin && x <= width() - kMargin) {
        const float position = positionOf(x);
        selected_ = int(ramp_->addStop(ramp_->sample(position), position));
        grabOffset_ = 0;
        changed_ = true;
    } else {
        selected_ = -1;
    }
    invalidate();
}

void RampEditor::mouseMove(int x, int y) {
    Widget::mouseMove(x, y);
    if (!ramp_ || selected_ < 0 || size_t(selected_) >= ramp_->size()) return;
    const bool inZone =
        x >= -kDragZone && x < width() + kDragZone && y >= -kDragZone && y < height() + kDragZone;
    if (!inZone) {
        ramp_->removeStop(size_t(selected_));
        selected_ = -1;
        changed_ = true;
        invalidate();
        return;
    }
    const float position = positionOf(x + grabOffset_);
    if (position == ramp_->stop(size_t(selected_)).position) return;
    selected_ = int(ramp_->moveStop(size_t(selected_), position));
    changed_ = true;
    invalidate();
}

void RampEditor::mouseUp(int x, int y) {
    Widget::mouseUp(x, y);
    selected_ = -1;
}

void RampEditor::doubleClick(int x, int y) {
    Widget::doubleClick(x, y);
    if (!ramp_) return;
    const int hit = stopAt(x, y);
    if (hit < 0) return;
    const ColorStop& stop = ramp_->stop(size_t(hit));
    const auto byte = [](float v) { return uint8_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255)); };
    DialogColor color{byte(stop.color.r), byte(stop.color.g), byte(stop.color.b)};
    if (!dialogs().chooseColor(color, customColors())) return;
    ramp_->setStopColor(size_t(hit),
                        {color.r / 255.0f, color.g / 255.0f, color.b / 255.0f, stop.position});
    changed_ = true;
    invalidate();
}

void RampEditor::paint() {
    fill(kBackground);
    if (!ramp_) return;
    const int bw = barWidth();
    for (int px = 0; px < bw; ++px) {
        const RGBA c = ramp_->sample(bw > 1 ? float(px) / float(bw - 1) : 0.0f);
        for (int py = 0; py < kBarHeight; ++py) {
            const Rgb8 rgb = overChecker(c, px, py);
            fillRect(kBarLeft + px, kBarTop + py, 1, 1, rgb);
        }
    }
    for (size_t i = 0; i < ramp_->size(); ++i) {
        const ColorStop& s = ramp_->stop(i);
        const int left = xOf(s.position) - kMarkerWidth / 2;
        fillRect(left, kMarkerTop, kMarkerWidth, kMarkerHeight, {0, 0, 0});
        for (int py = 1; py < kMarkerHeight - 1; ++py)
            for (int px = 1; px < kMarkerWidth - 1; ++px)
                fillRect(left + px, kMarkerTop + py, 1, 1, overChecker(s.color, px, py));
        if (int(i) == selected_)
            fillRect(left + 2, kMarkerTop + kMarkerHeight - 3, kMarkerWidth - 4, 1,
                     {255, 255, 255});
    }
}

// ---- Event routing ----

namespace {

Control* controlFor(PluginContext& context, PF_ParamIndex index) {
    switch (index) {
        case kParamSimulationControl:
            return context.simulationControl.get();
        case kParamDiskCache:
            return context.cacheControl.get();
        case kParamDensityColor:
            return context.densityEditor.get();
        case kParamTemperatureColor:
            return context.temperatureEditor.get();
        case kParamFuelColor:
            return context.fuelEditor.get();
        default:
            return nullptr;
    }
}

void markChanged(const CommandArgs& a, PF_ParamIndex index) {
    if (a.params && a.params[index]) a.params[index]->uu.change_flags = PF_ChangeFlag_CHANGED_VALUE;
    a.out->out_flags |= PF_OutFlag_REFRESH_UI;
}

bool askToDropTemporary(BFS& store) {
    if (!store.isTemporary() || !store.holdsFrames()) return true;
    return askQuestion(nullptr, lookupString(kStrNoticeTitle),
                       lookupString(kStrTemporaryCacheDeleted)) == kAnswerYes;
}

void runCacheAction(const CommandArgs& a, PluginContext& context, int action) {
    BFS& store = context.engine().frameStore();
    const std::string title = lookupString(kStrExceptionTitle);
    switch (action) {
        case CacheControl::kNew: {
            if (!askToDropTemporary(store)) return;
            std::string path;
            if (chooseCacheDirectory(context, path, true))
                markChanged(a, kParamDiskCache);
            else
                showMessage(title, std::string(lookupString(kStrOpenCacheFailed)) + "\n\n" + path);
            return;
        }
        case CacheControl::kOpen: {
            if (!askToDropTemporary(store)) return;
            std::string path = store.cacheDirectoryPath();
            for (;;) {
                bool cancelled = false;
                browseCacheLocation(a.in, path, false, cancelled);
                if (cancelled) return;
                std::string chosen = path;
                // Choosing gives the current folder up first when it is temporary: try only a
                // folder that can be opened, so that a cancelled choice changes nothing.
                if (Directory().set(chosen) && chooseCacheDirectory(context, chosen, false)) {
                    markChanged(a, kParamDiskCache);
                    return;
                }
                showMessage(title, std::string(lookupString(kStrOpenCacheFailed)) + "\n\n" + path);
            }
        }
        case CacheControl::kSaveAs: {
            bool cancelled = false;
            saveCacheAs(a.in, context, cancelled);
            if (!cancelled) markChanged(a, kParamDiskCache);
            return;
        }
        default:
            return;
    }
}

void runSimulationAction(const CommandArgs& a, PluginContext& context, int action) {
    if (action == SimulationControl::kRestart) {
        context.engine().setGridsInitialised(false);
        context.continueFromCache = false;
    }
    runSimulation(a, context);
    if (!context.engine().frameStore().cacheDirectoryPath().empty())
        markChanged(a, kParamSimulationControl);
    a.out->out_flags |= PF_OutFlag_FORCE_RERENDER;
}

}  // namespace

PF_Err handleEvent(const CommandArgs& a) {
    auto* event = static_cast<PF_EventExtra*>(a.extra);
    PluginContext* context = contextFrom(a.in);
    if (!event || !context) return PF_Err_NONE;
    if (!a.in->effect_ref) SKV_LOG(Debug, "WARNING: in_data->effect_ref == NULL");
    const PF_ParamIndex index = event->effect_win.index;
    Control* control = controlFor(*context, index);
    if (!control) return PF_Err_NONE;
    auto* editor = dynamic_cast<RampEditor*>(control);

    // A ramp editor edits the parameter's own ramp for the length of the event.
    ColorRamp* ramp = nullptr;
    PF_Handle rampHandle = nullptr;
    std::optional<HandleSuite> handles;
    if (editor) {
        rampHandle = a.params && a.params[index] ? a.params[index]->u.arb_d.value : nullptr;
        handles.emplace(a.in, kPFHandleSuite, kPFHandleSuiteVersion1);
        if (rampHandle) {
            if (void* block = (*handles)->host_lock_handle(rampHandle))
                std::memcpy(&ramp, block, sizeof ramp);
        }
        editor->bind(ramp);
    }
    const PF_Rect& area = event->effect_win.current_frame;
    // Every event knows the control's area: a click may come before the first draw.
    control->layout(0, 0, area.right - area.left, area.bottom - area.top);
    const int x = event->u.do_click.screen_point.h - area.left;
    const int y = event->u.do_click.screen_point.v - area.top;
    bool handled = true;
    switch (event->e_type) {
        case PF_Event_DO_CLICK:
            if (editor && event->u.do_click.double_click)
                control->doubleClick(x, y);
            else
                control->mouseDown(x, y);
            event->u.do_click.send_drag = 1;
            break;
        case PF_Event_DRAG:
            if (event->u.do_click.last_time)
                control->mouseUp(x, y);
            else
                control->mouseMove(x, y);
            break;
        case PF_Event_ADJUST_CURSOR:
            control->mouseMove(event->u.adjust_cursor.screen_point.h - area.left,
                               event->u.adjust_cursor.screen_point.v - area.top);
            break;
        case PF_Event_DRAW: {
            if (auto* cache = dynamic_cast<CacheControl*>(control)) {
                BFS& store = context->engine().frameStore();
                cache->setPath(store.cacheDirectoryPath(), store.isTemporary());
            }
            if (auto* sim = dynamic_cast<SimulationControl*>(control))
                sim->setOutdated(context->engine().frameStore().outdated());
            AEHostDraw draw(a.in, event, area.left, area.top);
            control->draw(draw);
            break;
        }
        default:
            handled = false;
            break;
    }
    if (handled) event->evt_out_flags |= PF_EO_HANDLED_EVENT;

    if (editor) {
        if (editor->changed()) {
            markChanged(a, index);
            editor->clearChanged();
        }
        editor->bind(nullptr);
        if (rampHandle) (*handles)->host_unlock_handle(rampHandle);
    }

    if (const int action = control->pendingAction()) {
        control->clearPendingAction();
        if (control == context->simulationControl.get()) runSimulationAction(a, *context, action);
        if (control == context->cacheControl.get()) runCacheAction(a, *context, action);
    }
    return PF_Err_NONE;
}

}  // namespace skv

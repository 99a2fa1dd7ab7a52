#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/host_draw.h"
#include "host/parameters.h"
#include "render/color_ramp.h"

namespace skv {

// ---- The widget toolkit of the custom controls ----

struct Rgb8 {
    uint8_t r, g, b;
};

// A control painted off screen into an RGBA image and handed to the host. Children are owned
// by the widget that created them; positions are relative to the parameter's area.
class Widget {
  public:
    Widget() = default;
    virtual ~Widget() = default;
    Widget(const Widget&) = delete;
    Widget& operator=(const Widget&) = delete;

    virtual void layout(int x, int y, int width, int height);
    // The widget's pixels, repainted when stale.
    virtual const WidgetImage& image();
    virtual void mouseMove(int x, int y);
    virtual void mouseDown(int x, int y);
    virtual void mouseUp(int x, int y);
    virtual void doubleClick(int x, int y);
    virtual void draw(HostDraw& host);

    int x() const { return x_; }
    int y() const { return y_; }
    int width() const { return width_; }
    int height() const { return height_; }
    bool visible() const { return visible_; }
    void setVisible(bool visible) { visible_ = visible; }
    void addChild(Widget* child);
    bool contains(int px, int py) const {
        return px >= x_ && py >= y_ && px < x_ + width_ && py < y_ + height_;
    }

  protected:
    // Paints the widget's own pixels (children draw themselves).
    virtual void paint() {}
    // Texts drawn on top of the image, through the host.
    virtual void drawTexts(HostDraw&) {}
    void invalidate() { dirty_ = true; }
    void fill(const Rgb8& color);
    void fillRect(int x, int y, int w, int h, const Rgb8& color);
    uint8_t* pixel(int x, int y) { return &pixels_[(size_t(y) * size_t(width_) + size_t(x)) * 4]; }

    std::vector<Widget*> children_;
    Widget* parent_ = nullptr;

  private:
    int x_ = 0, y_ = 0, width_ = 0, height_ = 0;
    bool visible_ = true;
    bool dirty_ = true;
    std::vector<uint8_t> pixels_;
    WidgetImage image_;
};

// A push button. It fires when released over itself after a press on itself.
class Button : public Widget {
  public:
    Button(int id, std::string label, int x, int y, int width, int height);
    int id() const { return id_; }
    const std::string& label() const { return label_; }
    bool pressed() const { return pressed_; }
    bool down() const { return down_; }
    bool hover() const { return hover_; }
    // Told the button's identifier when it fires (the owning control's pending action).
    void setOnFire(std::function<void(int)> onFire) { onFire_ = std::move(onFire); }

    void mouseMove(int x, int y) override;
    void mouseDown(int x, int y) override;
    void mouseUp(int x, int y) override;
    void doubleClick(int x, int y) override { mouseDown(x, y); }
    virtual void onClick() {}

    static constexpr Rgb8 kFaceUp{194, 194, 194};
    static constexpr Rgb8 kFaceDown{170, 170, 170};
    static constexpr Rgb8 kBevelDark{0, 0, 0};
    static constexpr Rgb8 kBevelLight{140, 140, 140};

  protected:
    void paint() override;
    void drawTexts(HostDraw& host) override;

  private:
    int id_;
    std::string label_;
    bool pressed_ = false, down_ = false, hover_ = false;
    std::function<void(int)> onFire_;
};

// A control of its own parameter, with the action its buttons ask for.
class Control : public Widget {
  public:
    static constexpr Rgb8 kBackground{194, 194, 194};
    int pendingAction() const { return pendingAction_; }
    void clearPendingAction() { pendingAction_ = 0; }

  protected:
    Button* addButton(int id, const std::string& label, int x, int y, int w, int h);
    void paint() override { fill(kBackground); }
    std::vector<std::unique_ptr<Button>> buttons_;
    int pendingAction_ = 0;
};

// "Simulation Control": the update and restart buttons.
class SimulationControl : public Control {
  public:
    enum Action { kUpdate = 1, kRestart = 2 };
    SimulationControl();
    // Tells the control whether the cached simulation is outdated (shown beside the buttons).
    void setOutdated(bool outdated);

  protected:
    void drawTexts(HostDraw& host) override;

  private:
    bool outdated_ = false;
};

// "Disk Cache": new, open and save-as buttons, the cache folder and whether it is temporary.
class CacheControl : public Control {
  public:
    enum Action { kOpen = 1, kNew = 2, kSaveAs = 3 };
    CacheControl();
    void setPath(const std::string& path, bool temporary);
    const std::string& path() const { return path_; }
    bool temporary() const { return temporary_; }

  protected:
    void drawTexts(HostDraw& host) override;

  private:
    std::string path_;
    bool temporary_ = true;
};

// A colour-ramp editor: the ramp bar with its stop markers and three preset buttons.
class RampEditor : public Control {
  public:
    static constexpr int kMargin = 6;
    static constexpr int kBarLeft = 56;
    static constexpr int kBarTop = 3;
    static constexpr int kBarHeight = 16;
    static constexpr int kMarkerTop = 19;
    static constexpr int kMarkerBottom = 31;
    static constexpr int kMarkerWidth = 7;
    static constexpr int kMarkerHeight = 12;
    // How far beyond the editor a dragged stop may go before it is taken off the ramp.
    static constexpr int kDragZone = 20;

    explicit RampEditor(CustomUIKind kind);
    ~RampEditor() override;
    // Binds the ramp being edited for the duration of one event (not owned).
    void bind(ColorRamp* ramp);
    ColorRamp* ramp() const { return ramp_; }
    bool changed() const { return changed_; }
    void clearChanged() { changed_ = false; }
    int selected() const { return selected_; }

    void layout(int x, int y, int width, int height) override;
    void mouseDown(int x, int y) override;
    void mouseMove(int x, int y) override;
    void mouseUp(int x, int y) override;
    void doubleClick(int x, int y) override;

    int barWidth() const { return width() - kMargin - kBarLeft; }
    int xOf(float position) const;
    float positionOf(int x) const;
    // The stop whose marker contains x on the marker row, or -1.
    int stopAt(int x, int y) const;

  protected:
    void paint() override;

  private:
    class PresetButton;
    ColorRamp* ramp_ = nullptr;
    int selected_ = -1;
    int grabOffset_ = 0;
    bool changed_ = false;
    std::vector<std::unique_ptr<PresetButton>> presets_;
};

}  // namespace skv

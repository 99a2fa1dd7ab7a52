#pragma once

#include <cstdint>
#include <string>

#include "host/sdk/ae_suites.h"

namespace skv {

// An 8-bit RGBA image of a widget, rows top to bottom.
struct WidgetImage {
    int width = 0, height = 0;
    uint8_t* pixels = nullptr;  // width × height × 4
};

struct TextStyle {
    float r = 0, g = 0, b = 0, a = 1;
    float size = 11.0f;
    enum Align { kLeft, kCenter, kRight } align = kLeft;
};

// Where widgets draw: images and texts placed inside the parameter's area.
class HostDraw {
  public:
    virtual ~HostDraw() = default;
    // Draws the image fully opaque with its top-left corner at (x, y).
    virtual void drawImage(const WidgetImage& image, int x, int y) = 0;
    // Draws a line of text with its baseline starting at (x, y) (or centred/right-aligned on x).
    virtual void drawText(const std::string& text, int x, int y, const TextStyle& style) = 0;
};

// The host's drawing, through its custom-UI and drawing suites, for one draw event. Positions
// are relative to the parameter's area, whose top-left corner is `origin`.
class AEHostDraw : public HostDraw {
  public:
    AEHostDraw(const PF_InData* in, const PF_EventExtra* event, int originX, int originY);
    void drawImage(const WidgetImage& image, int x, int y) override;
    void drawText(const std::string& text, int x, int y, const TextStyle& style) override;

  private:
    DRAWBOT_DrawRef drawing();
    const PF_InData* in_;
    const PF_EventExtra* event_;
    int originX_, originY_;
};

}  // namespace skv

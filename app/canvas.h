#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace skv::app {

// An 8-bit RGBA drawing surface that the host's drawing suites paint into: what the effect
// controls panel shows, drawn off screen. Text is set in DejaVu Sans through FreeType.
class Canvas {
  public:
    Canvas(int width, int height, uint8_t r = 0, uint8_t g = 0, uint8_t b = 0, uint8_t a = 255);
    ~Canvas();  // releases what a plug-in forgot to release
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    Canvas(Canvas&&) = default;
    int width() const { return width_; }
    int height() const { return height_; }
    uint8_t* pixel(int x, int y) { return &pixels_[(size_t(y) * size_t(width_) + size_t(x)) * 4]; }
    const uint8_t* pixel(int x, int y) const {
        return &pixels_[(size_t(y) * size_t(width_) + size_t(x)) * 4];
    }
    const std::vector<uint8_t>& pixels() const { return pixels_; }

    void fillRect(int x, int y, int w, int h, const uint8_t rgba[4]);
    // Draws RGBA pixels (row stride in bytes) at (x, y), blended by their alpha × opacity.
    void drawImage(int x, int y, int w, int h, int rowBytes, const uint8_t* rgba, float opacity);
    // Draws a line of text with its baseline starting at (x, y); returns its advance in pixels.
    int drawText(const std::string& utf8, float x, float y, float size, const float rgba[4]);
    // The advance a text would take.
    static int textWidth(const std::string& utf8, float size);

    // Objects the drawing suites hand out, tracked so that a released or foreign one is caught.
    std::set<void*>& objects() { return objects_; }

  private:
    int width_, height_;
    std::vector<uint8_t> pixels_;
    std::set<void*> objects_;
};

// The drawing suite named `name`, or null when it is not one of them.
const void* canvasSuite(const std::string& name);

}  // namespace skv::app

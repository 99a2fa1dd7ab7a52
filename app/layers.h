#pragma once

#include <memory>
#include <string>
#include <vector>

#include "animated.h"
#include "image.h"

namespace skv::app {

// A layer of the composition: pixels that may change over time, at the layer's own size.
class Layer {
  public:
    virtual ~Layer() = default;
    const std::string& name() const { return name_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // The layer's pixels at `time` seconds (straight alpha). An image of size 0 × 0 means the
    // layer has no pixels at that time (before or after an image sequence).
    virtual Image render(double time, double fps) const = 0;

  protected:
    Layer(std::string name, int width, int height)
        : name_(std::move(name)), width_(width), height_(height) {}

  private:
    std::string name_;
    int width_, height_;
};

// Throws HostError (scene) for the first key of `object` that is not in `known`, naming `file`,
// the place (`where`, e.g. "composition: ") and the nearest known key.
void rejectUnknownKeys(const std::string& file, const std::string& where, const Json& object,
                       const std::vector<std::string>& known);

// Builds a layer from its scene description. `baseDir` resolves relative image paths; the
// composition size is the canvas of procedural layers unless they give "width"/"height".
// Throws HostError (scene) naming the layer and what is wrong.
std::unique_ptr<Layer> makeLayer(const std::string& name, const Json& spec,
                                 const std::string& baseDir, int compWidth, int compHeight);

}  // namespace skv::app

#pragma once

#include <future>
#include <string>
#include <vector>

#include "image.h"

namespace skv::app {

// Reads any image OpenImageIO reads into float RGBA (grey and RGB images get alpha 1).
// Throws HostError (scene) naming the file when it cannot be read.
Image readImage(const std::string& path);

// Writes an image with 8, 16 or 32 bits per channel (32: float, unclamped; the file format
// must hold floats, e.g. EXR or TIFF). The file appears under its name only when complete: it
// is written under a temporary name in the same folder, checked (the writer's error state, a
// size above 0), flushed to the device and renamed into place. Throws HostError (render) on
// failure, with nothing left under either name.
// How the effect's pixels (straight alpha, display-referred sRGB) are written. By default each
// format gets its convention: EXR and the other float formats scene-linear ("linear") and
// premultiplied, PNG, TIFF, DPX and the like sRGB and straight. The file's metadata
// ("oiio:ColorSpace", the alpha association) says what it holds.
struct ImageEncoding {
    std::string colorspace;  // another colour space by name (OpenColorIO, as OpenImageIO has it)
    bool straight = false;   // straight alpha where the format's convention is premultiplied
};
void writeImage(const std::string& path, const Image& image, int bits,
                const ImageEncoding& encoding = {});

// Writes images one behind the caller on a thread of its own, so that the next frame renders
// while the last one is compressed and flushed. One write at a time is in flight: it holds one
// image more than writing in turn would.
class ImageWriteQueue {
  public:
    ImageWriteQueue() = default;
    ImageWriteQueue(const ImageWriteQueue&) = delete;
    ImageWriteQueue& operator=(const ImageWriteQueue&) = delete;
    // Waits for the write in flight; its failure is lost only when the caller is unwinding.
    ~ImageWriteQueue();

    // Waits for the write in flight, rethrowing its failure, then starts this one.
    void write(std::string path, Image image, int bits, ImageEncoding encoding = {});
    // Waits for the write in flight, rethrowing its failure; returns the images written so far.
    int finish();
    // The images written so far, the one in flight not counted.
    int written() const { return written_; }

  private:
    std::future<void> pending_;
    int written_ = 0;
};

// Whether a file name's format holds scene-linear, premultiplied pixels by convention (EXR).
bool holdsSceneLinear(const std::string& path);
// The colour spaces images can be written in.
std::vector<std::string> colorSpaceNames();

// An image as a person sees it: converted from the colour space and alpha its file holds to
// straight sRGB (contact sheets, preview movies).
Image readDisplayImage(const std::string& path);

// Removes the temporary files that renders of `pattern` killed mid-write left behind (those of
// this machine's processes that no longer run), never other files. Returns how many it removed.
int removeStaleImages(const std::string& pattern);

// Expands a frame pattern by a frame number: a run of '#' (its length is the zero padding,
// "out/f_####.png") or printf's "%04d" / "%d". A pattern without either gets "_" + the number
// before its extension.
std::string expandFramePattern(const std::string& pattern, int frame);

}  // namespace skv::app

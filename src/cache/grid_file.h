#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "grid/float_grid.h"
#include "grid/rational.h"
#include "platform/files.h"

namespace skv {

// A grid file: an 11-byte header ("qelmor bcf" and the version byte 2) followed by grid chunks
// up to the end of the file. All values are little-endian. A chunk is
//   L (u32, payload bytes + 24) | type (u8, 1..23) | codec (u8) | time cursor (4 doubles:
//   time num, den, step num, den) | aux vector (3 floats) | width, height, depth (3 u32) |
//   payload (L - 24 bytes) | L again (u32)
// and so occupies L + 42 bytes. The first 38 bytes form the chunk header.

using AuxVector = std::array<float, 3>;

struct GridDimensions {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t depth = 0;
    // Cells in all; the largest value when the product does not fit 64 bits.
    uint64_t count() const {
        uint64_t cells = 0;
        return __builtin_mul_overflow(uint64_t(width) * height, uint64_t(depth), &cells)
                   ? UINT64_MAX
                   : cells;
    }
};

enum GridCodec : uint32_t {
    kCodecRaw = 0,        // the floats as stored in memory
    kCodecRunLength = 1,  // run-length records on whole floats (cache/run_length.h)
    kCodecPredictive = 2  // predictive range coder (cache/range_coder.h)
};

constexpr uint32_t kMinGridType = 1;
constexpr uint32_t kMaxGridType = 23;

// The 38-byte chunk header as stored. The time cursor is kept as the four stored doubles so
// that a chunk reads back bit for bit; timeCursor() interprets them.
struct GridChunkHeader {
    static constexpr size_t kSize = 38;
    uint32_t length = 0;  // L
    uint8_t gridType = 0;
    uint8_t codec = 0;
    double times[4] = {0.0, 1.0, 1.0, 1.0};

    TimeCursor timeCursor() const;
    void setTimeCursor(const TimeCursor& cursor);
    void store(uint8_t* bytes) const;  // kSize bytes
    void load(const uint8_t* bytes);
};

// Encodes the grid's values with `codec` into `out` (replacing its contents); throws
// Exception "Unknown codec" for another codec.
void encodeGridPayload(uint32_t codec, const FloatGrid& grid, std::vector<uint8_t>& out);
// Decodes a payload into `grid`, which already has its dimensions. False when the payload does
// not describe exactly the grid's values (raw: a different size; the others: corrupt or too
// short). Throws "Unknown codec".
bool decodeGridPayload(uint32_t codec, const uint8_t* payload, size_t size, FloatGrid& grid);

// Reads and writes grid files through the platform file layer. Contract violations by the
// caller (no open file, a grid type outside 1..23, an empty chunk, a header read twice, an
// unknown codec) throw Exception with fixed texts. Defects of the file's contents (short
// reads, lengths or dimensions that do not fit, a trailer that differs from the length,
// undecodable payloads) make the read return false with failed() set and error() saying why;
// nothing read from a file sizes an allocation before it has been checked against the file's
// size and cellLimit().
class GridFile {
  public:
    static constexpr size_t kHeaderSize = 11;
    static constexpr uint8_t kVersion = 2;
    // Cells one grid may claim. A 1 GiB grid is far beyond any simulation we write (a 4K
    // frame's grids have ~9 M cells), yet a run-length or predictive payload of a few bytes
    // could claim billions: decoding would exhaust memory before the payload runs out.
    static constexpr uint64_t kDefaultCellLimit = uint64_t(1) << 28;

    GridFile() = default;
    GridFile(const GridFile&) = delete;
    GridFile& operator=(const GridFile&) = delete;

    // Opens an existing file shared for reading and checks its header.
    bool openForReading(const std::string& path);
    // With truncate: creates or empties the file and writes the header. Without: opens for
    // reading and writing (creating the file), keeps a valid header, else writes one.
    bool openForWriting(const std::string& path, bool truncate);
    void close();
    // Makes what was written durable (fsync); false when the device refuses.
    bool sync() { return file_.sync(); }
    bool canRead() const { return file_.canRead(); }
    bool canWrite() const { return file_.canWrite(); }

    // Reads the next chunk header, skipping what is left of the previous chunk. False at the
    // end of the file (failed() false) or on a short or invalid header (failed() true).
    bool readChunk(GridChunkHeader& header);
    // Reads the aux vector and dimensions of the chunk `header` came from; with skipData moves
    // past its payload and checks its trailer. False on a short read.
    bool readFloatGridHeader(const GridChunkHeader& header, AuxVector& aux, GridDimensions& dims,
                             bool skipData);
    // Reads the rest of the chunk into `grid` (resized to the chunk's dimensions). On false the
    // grid's contents are undefined.
    bool readFloatGrid(const GridChunkHeader& header, AuxVector& aux, FloatGrid& grid);

    // Appends one chunk with an encoded payload; false when a write fails or the payload is
    // too large for the length field.
    bool addFloatGrid(uint32_t gridType, uint32_t codec, const TimeCursor& times,
                      const AuxVector& aux, const GridDimensions& dims, const uint8_t* payload,
                      size_t size);
    // Encodes `grid` with `codec` and appends it.
    bool writeGrid(uint32_t gridType, uint32_t codec, const TimeCursor& times, const AuxVector& aux,
                   const FloatGrid& grid);

    uint32_t chunksRead() const { return chunksRead_; }
    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }
    uint64_t cellLimit() const { return cellLimit_; }
    void setCellLimit(uint64_t cells) { cellLimit_ = cells; }
    const std::string& path() const { return file_.path(); }

  private:
    bool fail(const std::string& why);
    bool writeHeader();
    bool readHeader();

    BinaryFile file_;
    uint32_t chunksRead_ = 0;
    uint64_t unread_ = 0;  // bytes of the current chunk after its header, until consumed
    std::vector<uint8_t> scratch_;
    uint64_t cellLimit_ = kDefaultCellLimit;
    bool failed_ = false;
    std::string error_;
};

}  // namespace skv

#include "cache/grid_file.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "cache/range_coder.h"
#include "cache/run_length.h"
#include "platform/exception.h"

namespace skv {
namespace {

static_assert(std::endian::native == std::endian::little, "grid files are little-endian");

constexpr char kMagic[10] = {'q', 'e', 'l', 'm', 'o', 'r', ' ', 'b', 'c', 'f'};
// Aux vector and dimensions: the fixed fields between the chunk header and the payload; L
// counts them together with the payload.
constexpr uint32_t kFixedFields = 24;
constexpr size_t kTrailerSize = 4;

const char* const kNotReadable = "Failed to read float grid. No file opened for reading.";
const char* const kNotWritable = "Failed to add float grid. No file opened for writing.";
const char* const kInvalidType = "Invalid grid type.";
const char* const kUnknownCodec = "Unknown codec";

bool validGridType(uint32_t type) {
    return type >= kMinGridType && type <= kMaxGridType;
}

template <typename T>
void put(uint8_t*& out, T value) {
    std::memcpy(out, &value, sizeof value);
    out += sizeof value;
}

template <typename T>
T get(const uint8_t*& in) {
    T value;
    std::memcpy(&value, in, sizeof value);
    in += sizeof value;
    return value;
}

}  // namespace

// ---- GridChunkHeader ----

TimeCursor GridChunkHeader::timeCursor() const {
    return TimeCursor{Rational(times[0], times[1]), Rational(times[2], times[3])};
}

void GridChunkHeader::setTimeCursor(const TimeCursor& cursor) {
    times[0] = cursor.time.num();
    times[1] = cursor.time.den();
    times[2] = cursor.step.num();
    times[3] = cursor.step.den();
}

void GridChunkHeader::store(uint8_t* bytes) const {
    put(bytes, length);
    put(bytes, gridType);
    put(bytes, codec);
    for (double t : times)
        put(bytes, t);
}

void GridChunkHeader::load(const uint8_t* bytes) {
    length = get<uint32_t>(bytes);
    gridType = get<uint8_t>(bytes);
    codec = get<uint8_t>(bytes);
    for (double& t : times)
        t = get<double>(bytes);
}

// ---- Payload codecs ----

void encodeGridPayload(uint32_t codec, const FloatGrid& grid, std::vector<uint8_t>& out) {
    out.clear();
    const size_t n = grid.count();
    switch (codec) {
        case kCodecRaw: {
            const auto* bytes = reinterpret_cast<const uint8_t*>(grid.data());
            if (n > 0) out.assign(bytes, bytes + n * sizeof(float));
            return;
        }
        case kCodecRunLength:
            out.reserve(n * sizeof(float) + 4);
            encodeRunLength(grid.data(), n, out);
            return;
        case kCodecPredictive:
            // Sparse fields code to well under a byte per value; the vector grows when not.
            out.reserve(n + 64);
            encodePredictive(grid.data(), grid.width(), grid.height(), grid.depth(), out);
            return;
        default:
            throw Exception(kUnknownCodec);
    }
}

bool decodeGridPayload(uint32_t codec, const uint8_t* payload, size_t size, FloatGrid& grid) {
    const size_t n = grid.count();
    switch (codec) {
        case kCodecRaw:
            if (size != n * sizeof(float)) return false;
            if (n > 0) std::memcpy(grid.data(), payload, size);
            return true;
        case kCodecRunLength:
            return decodeRunLength(payload, size, grid.data(), n);
        case kCodecPredictive:
            return decodePredictive(payload, size, grid.data(), grid.width(), grid.height(),
                                    grid.depth());
        default:
            throw Exception(kUnknownCodec);
    }
}

// ---- GridFile ----

bool GridFile::fail(const std::string& why) {
    failed_ = true;
    error_ = why;
    return false;
}

bool GridFile::readHeader() {
    uint8_t header[kHeaderSize];
    if (!file_.read(header, kHeaderSize)) return false;
    return std::memcmp(header, kMagic, sizeof kMagic) == 0 && header[10] == kVersion;
}

bool GridFile::writeHeader() {
    uint8_t header[kHeaderSize];
    std::memcpy(header, kMagic, sizeof kMagic);
    header[10] = kVersion;
    return file_.write(header, kHeaderSize);
}

bool GridFile::openForReading(const std::string& path) {
    close();
    failed_ = false;
    error_.clear();
    if (!file_.openRead(path)) return false;
    if (readHeader()) return true;
    close();
    return false;
}

bool GridFile::openForWriting(const std::string& path, bool truncate) {
    close();
    failed_ = false;
    error_.clear();
    if (truncate) {
        if (file_.openWrite(path) && writeHeader()) return true;
        close();
        return false;
    }
    if (!file_.openReadWrite(path)) return false;
    if (readHeader()) return true;
    // An empty or foreign file: start it afresh with our header.
    if ((file_.tell() == 0 || file_.seek(0)) && writeHeader()) return true;
    close();
    return false;
}

void GridFile::close() {
    file_.close();
    chunksRead_ = 0;
    unread_ = 0;
}

bool GridFile::readChunk(GridChunkHeader& header) {
    if (!canRead()) throw Exception(kNotReadable);
    failed_ = false;
    error_.clear();
    if (unread_ > 0) {
        const uint64_t next = file_.tell() + unread_;
        unread_ = 0;
        if (!file_.seek(next)) return fail("cannot skip to the next grid chunk");
    }
    const uint64_t position = file_.tell(), size = file_.size();
    if (position == size) return false;  // the end of the file, between chunks
    if (position > size) return fail("the previous grid chunk runs past the end of the file");
    uint8_t bytes[GridChunkHeader::kSize];
    if (!file_.read(bytes, sizeof bytes)) return fail("grid chunk header cut short");
    header.load(bytes);
    for (double t : header.times)
        if (!std::isfinite(t)) return fail("grid chunk header holds a time that is not finite");
    ++chunksRead_;
    unread_ = uint64_t(header.length) + kTrailerSize;
    return true;
}

bool GridFile::readFloatGridHeader(const GridChunkHeader& header, AuxVector& aux,
                                   GridDimensions& dims, bool skipData) {
    if (!canRead()) throw Exception(kNotReadable);
    if (!validGridType(header.gridType)) throw Exception(kInvalidType);
    if (header.length == 0) throw Exception("Trying to read empty grid");
    if (unread_ == 0) throw Exception("readFloatGridHeader without readChunk");
    unread_ = 0;
    failed_ = false;
    error_.clear();
    if (header.length < kFixedFields) return fail("grid chunk length is below its fixed fields");
    uint8_t bytes[kFixedFields];
    if (!file_.read(bytes, sizeof bytes)) return fail("grid chunk cut short");
    const uint8_t* in = bytes;
    for (float& a : aux)
        a = get<float>(in);
    dims.width = get<uint32_t>(in);
    dims.height = get<uint32_t>(in);
    dims.depth = get<uint32_t>(in);
    const uint64_t payload = header.length - kFixedFields;
    // Checked before anything is allocated for it: a payload must lie inside the file.
    if (file_.tell() + payload + kTrailerSize > file_.size())
        return fail("grid chunk runs past the end of the file");
    if (!skipData) return true;
    uint32_t trailer = 0;
    if (!file_.seek(file_.tell() + payload) || !file_.read(&trailer, sizeof trailer))
        return fail("grid chunk cut short");
    if (trailer != header.length) return fail("grid chunk trailer does not match its length");
    return true;
}

bool GridFile::readFloatGrid(const GridChunkHeader& header, AuxVector& aux, FloatGrid& grid) {
    GridDimensions dims;
    if (!readFloatGridHeader(header, aux, dims, false)) return false;
    if (header.codec > kCodecPredictive) throw Exception(kUnknownCodec);
    const uint64_t count = dims.count();
    if (count > cellLimit_) return fail("grid dimensions exceed the cell limit");
    const uint64_t payload = header.length - kFixedFields;
    if (header.codec == kCodecRaw && payload != count * sizeof(float))
        return fail("raw grid payload does not match the grid's size");
    scratch_.resize(payload);
    if (!file_.read(scratch_.data(), payload)) return fail("grid payload cut short");
    uint32_t trailer = 0;
    if (!file_.read(&trailer, sizeof trailer)) return fail("grid chunk trailer missing");
    if (trailer != header.length) return fail("grid chunk trailer does not match its length");
    grid.resize(dims.width, dims.height, dims.depth, false);
    if (!decodeGridPayload(header.codec, scratch_.data(), payload, grid))
        return fail("grid payload does not decode to the grid's values");
    return true;
}

bool GridFile::addFloatGrid(uint32_t gridType, uint32_t codec, const TimeCursor& times,
                            const AuxVector& aux, const GridDimensions& dims,
                            const uint8_t* payload, size_t size) {
    if (!canWrite()) throw Exception(kNotWritable);
    if (!validGridType(gridType)) throw Exception(kInvalidType);
    failed_ = false;
    error_.clear();
    if (unread_ > 0) {
        const uint64_t next = file_.tell() + unread_;
        unread_ = 0;
        if (!file_.seek(next)) return fail("cannot skip to the end of the grid chunk");
    }
    if (size > std::numeric_limits<uint32_t>::max() - kFixedFields)
        return fail("grid payload too large for a chunk");
    GridChunkHeader header;
    header.length = static_cast<uint32_t>(size) + kFixedFields;
    header.gridType = static_cast<uint8_t>(gridType);
    header.codec = static_cast<uint8_t>(codec);
    header.setTimeCursor(times);
    uint8_t fixed[GridChunkHeader::kSize + kFixedFields];
    header.store(fixed);
    uint8_t* out = fixed + GridChunkHeader::kSize;
    for (float a : aux)
        put(out, a);
    put(out, dims.width);
    put(out, dims.height);
    put(out, dims.depth);
    if (!file_.truncate() || !file_.write(fixed, sizeof fixed) || !file_.write(payload, size) ||
        !file_.write(&header.length, sizeof header.length))
        return fail("cannot write grid chunk");
    return true;
}

bool GridFile::writeGrid(uint32_t gridType, uint32_t codec, const TimeCursor& times,
                         const AuxVector& aux, const FloatGrid& grid) {
    if (!canWrite()) throw Exception(kNotWritable);
    if (!validGridType(gridType)) throw Exception(kInvalidType);
    encodeGridPayload(codec, grid, scratch_);
    const GridDimensions dims{grid.width(), grid.height(), grid.depth()};
    return addFloatGrid(gridType, codec, times, aux, dims, scratch_.data(), scratch_.size());
}

}  // namespace skv

// Fuzz target: a whole grid file, as the cache reads frame files.
#include "fuzz_support.h"
#include "platform/exception.h"

namespace skv::fuzz {

GridFileOutcome readGridFileBytes(const uint8_t* data, size_t size) {
    GridFileOutcome outcome;
    const std::string path = scratchFile("input.bcf");
    {
        FileHandle out;
        SKV_FUZZ_CHECK(out.openWrite(path));
        SKV_FUZZ_CHECK(size == 0 || out.write(data, size) == size);
    }
    GridFile file;
    file.setCellLimit(kCellLimit);
    outcome.opened = file.openForReading(path);
    if (!outcome.opened) {
        outcome.rejected = true;
        outcome.why = "header";
        return outcome;
    }
    try {
        GridChunkHeader header;
        FloatGrid grid;
        while (file.readChunk(header)) {
            ChunkRead chunk;
            chunk.header = header;
            if (!file.readFloatGrid(header, chunk.aux, grid)) break;
            chunk.dims = {grid.width(), grid.height(), grid.depth()};
            SKV_FUZZ_CHECK(chunk.dims.count() == grid.count() && grid.count() <= kCellLimit);
            chunk.values.assign(grid.data(), grid.data() + grid.count());
            checkRoundTrip(header.codec, grid);
            outcome.chunks.push_back(std::move(chunk));
        }
        if (file.failed()) {
            outcome.rejected = true;
            outcome.why = file.error();
        }
    } catch (const Exception& e) {
        outcome.rejected = true;
        outcome.why = e.message();
    }
    // Every chunk occupies at least 66 bytes after the 11-byte header.
    SKV_FUZZ_CHECK(outcome.chunks.size() * 66 + 11 <= size);
    return outcome;
}

}  // namespace skv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    skv::fuzz::readGridFileBytes(data, size);
    return 0;
}

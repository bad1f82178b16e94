// zstd for the heads of the store.
#include "cache/head_codec.h"

#include <zdict.h>
#include <zstd.h>

namespace maildig {

namespace {

// Fast enough that a walk which fetches the heads hardly notices, and with the dictionary the ratio of
// much slower levels without one.
constexpr int kLevel = 3;

} // namespace

struct THeadCodec::TState {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    ZSTD_CDict* cdict = nullptr;
    ZSTD_DDict* ddict = nullptr;

    ~TState() {
        ZSTD_freeCDict(cdict);
        ZSTD_freeDDict(ddict);
        ZSTD_freeCCtx(cctx);
        ZSTD_freeDCtx(dctx);
    }
};

THeadCodec::THeadCodec() : state_(std::make_unique<TState>()) {
    ZSTD_CCtx_setParameter(state_->cctx, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(state_->cctx, ZSTD_c_compressionLevel, kLevel);
}

THeadCodec::~THeadCodec() = default;

std::string THeadCodec::Compress(std::string_view raw, bool withDictionary) {
    std::string out(ZSTD_compressBound(raw.size()), '\0');
    ZSTD_CCtx_refCDict(state_->cctx, withDictionary ? state_->cdict : nullptr);
    const size_t n = ZSTD_compress2(state_->cctx, out.data(), out.size(), raw.data(), raw.size());
    out.resize(ZSTD_isError(n) ? 0 : n);
    return out;
}

bool THeadCodec::Decompress(std::string_view data, std::size_t rawSize, bool withDictionary,
                            std::string& raw) {
    if (withDictionary && state_->ddict == nullptr) return false;
    // The frame says its size; one that claims another than the entry's is damaged.
    const unsigned long long said = ZSTD_getFrameContentSize(data.data(), data.size());
    if (said != rawSize) return false;
    raw.resize(rawSize);
    const size_t n =
        withDictionary ? ZSTD_decompress_usingDDict(state_->dctx, raw.data(), raw.size(), data.data(),
                                                    data.size(), state_->ddict)
                       : ZSTD_decompressDCtx(state_->dctx, raw.data(), raw.size(), data.data(), data.size());
    return !ZSTD_isError(n) && n == rawSize;
}

std::string THeadCodec::TrainDictionary(const std::vector<std::string>& samples, std::size_t maxBytes) {
    std::string joined;
    std::vector<size_t> sizes;
    for (const std::string& s : samples) {
        joined += s;
        sizes.push_back(s.size());
    }
    std::string dictionary(maxBytes, '\0');
    const size_t n = ZDICT_trainFromBuffer(dictionary.data(), dictionary.size(), joined.data(), sizes.data(),
                                           static_cast<unsigned>(sizes.size()));
    dictionary.resize(ZDICT_isError(n) ? 0 : n);
    return dictionary;
}

void THeadCodec::SetDictionary(std::string_view dictionary) {
    ZSTD_freeCDict(state_->cdict);
    ZSTD_freeDDict(state_->ddict);
    state_->cdict = ZSTD_createCDict(dictionary.data(), dictionary.size(), kLevel);
    state_->ddict = ZSTD_createDDict(dictionary.data(), dictionary.size());
}

} // namespace maildig

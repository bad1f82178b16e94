// How the store keeps a head on disk: compressed with zstd, with a dictionary trained on the store's own
// first heads once enough of them were seen (small texts that share their words compress far better so).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace maildig {

class THeadCodec {
  public:
    THeadCodec();
    ~THeadCodec();
    THeadCodec(const THeadCodec&) = delete;
    THeadCodec& operator=(const THeadCodec&) = delete;

    // Compresses with the dictionary when withDictionary (and one is set), with a checksum of the content.
    std::string Compress(std::string_view raw, bool withDictionary);
    // The rawSize bytes that Compress made of them into raw; false when data is not such a frame (damaged),
    // needs a dictionary that is not set, or does not give exactly rawSize bytes.
    bool Decompress(std::string_view data, std::size_t rawSize, bool withDictionary, std::string& raw);

    // A dictionary of at most maxBytes trained on samples; empty when they are too few or too alike.
    static std::string TrainDictionary(const std::vector<std::string>& samples, std::size_t maxBytes);
    void SetDictionary(std::string_view dictionary);

  private:
    struct TState;
    std::unique_ptr<TState> state_;
};

} // namespace maildig

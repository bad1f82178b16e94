// One node of the MIME structure of a message: its content fields, the split of its lines into
// header, body and sub-parts, and the decoding of its body into bytes of the target character set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mime/basic/header_values.h"
#include "mime/basic/lines.h"
#include "mime/charset/charsets.h"

enum TMimePrimary { MP_TEXT, MP_MULTIPART, MP_MESSAGE, MP_BINARY };
enum TMimeEncoding { ME_7BIT, ME_8BIT, ME_QUOTED_PRINTABLE, ME_BASE64, ME_UU, ME_XX };

class TMimePart;
using THookWalkPart = std::function<void(TMimePart& Sender)>;

// Deepest level that is still split into sub-parts, whatever MaxSubLevel says: a part at this
// level keeps its multipart or embedded-message body unsplit in PartBody. It bounds the recursion
// of splitting, of walking the tree and of freeing it, so no message can exhaust the stack.
inline constexpr int32_t MimeMaxNesting = 100;

// Most parts one tree holds. The parts met once a tree has this many keep their body unsplit in PartBody,
// as at the nesting limit, so that a body made of thousands of boundary lines costs no more memory than a
// few megabytes. Parts are split depth first, so the first text leaf of any message with fewer parts than
// this is found as without a limit.
inline constexpr std::size_t MimeMaxParts = 10000;

// The lines of a part: a list the part owns (as the root of a tree is given its lines), or a stretch of
// the lines of another list, shared instead of copied, as the sub-parts and the body of a split part are.
// A shared stretch may read every line right-trimmed (characters of code 32 or below removed at the
// end). Shared lines are read through their list, so they follow it: valid while that list lives, and
// never beyond its current end.
class TPartLines {
  public:
    class const_iterator {
      public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        const_iterator(const TPartLines* lines, std::size_t index) : FLines(lines), FIndex(index) {}
        std::string_view operator*() const { return (*FLines)[FIndex]; }
        const_iterator& operator++() {
            ++FIndex;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++FIndex;
            return old;
        }
        bool operator==(const const_iterator& other) const { return FIndex == other.FIndex; }

      private:
        const TPartLines* FLines = nullptr;
        std::size_t FIndex = 0;
    };
    using iterator = const_iterator;
    using value_type = std::string_view;
    using size_type = std::size_t;

    TPartLines() = default;
    TPartLines(const TPartLines&) = delete;
    TPartLines& operator=(const TPartLines&) = delete;

    // Owns lines from now on.
    TPartLines& operator=(::Lines lines);
    // Reads all of lines, whatever it holds when read.
    void ShareAll(const ::Lines& lines);
    // Reads the count lines of source from first on (the lines source reads there), right-trimmed when
    // trimmed is set or source itself trims.
    void Share(const TPartLines& source, std::size_t first, std::size_t count, bool trimmed);
    // Empty, owning nothing.
    void clear();

    std::size_t size() const {
        const std::size_t total = Source().size();
        if (FFirst >= total) return 0;
        return std::min(FCount, total - FFirst);
    }
    bool empty() const { return size() == 0; }
    // Line i, for i below size().
    std::string_view operator[](std::size_t i) const {
        const std::string_view line = Source()[FFirst + i];
        return FTrimmed ? TrimGeneralRightView(line) : line;
    }
    std::string_view front() const { return (*this)[0]; }
    std::string_view back() const { return (*this)[size() - 1]; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

    friend bool operator==(const TPartLines& a, const ::Lines& b);

  private:
    static constexpr std::size_t kAll = static_cast<std::size_t>(-1);
    ::Lines FOwned;
    const ::Lines* FSource = nullptr; // nullptr: the owned lines
    std::size_t FFirst = 0;
    std::size_t FCount = kAll;
    bool FTrimmed = false;

    const ::Lines& Source() const { return FSource != nullptr ? *FSource : FOwned; }
};

// True when the line starts a UU-encoded block ("begin" followed by a blank and more text).
bool LooksLikeUU(std::string_view line);

class TMimePart {
  public:
    TMimePart();
    virtual ~TMimePart();
    TMimePart(const TMimePart&) = delete;
    TMimePart& operator=(const TMimePart&) = delete;

    // Primary media type as last set; setting it also sets PrimaryCode ("text" -> MP_TEXT,
    // "multipart" -> MP_MULTIPART, "message" -> MP_MESSAGE, anything else MP_BINARY; by prefix,
    // any case).
    const std::string& Primary() const { return FPrimary; }
    TMimePrimary PrimaryCode() const { return FPrimaryCode; }
    void SetPrimary(std::string_view value);

    // Transfer encoding as last set; setting it also sets EncodingCode by prefix (8BIT,
    // QUOTED-PRINTABLE, BASE64, X-UU, X-XX; anything else ME_7BIT).
    const std::string& Encoding() const { return FEncoding; }
    TMimeEncoding EncodingCode() const { return FEncodingCode; }
    void SetEncoding(std::string_view value);

    // Character-set name; setting a non-empty value also sets CharsetCode, an empty value is ignored.
    const std::string& Charset() const { return FCharset; }
    TMimeChar CharsetCode() const { return FCharsetCode; }
    void SetCharset(std::string_view value);

    // True when some preamble, body or epilogue line looks like the start of a UU-encoded block.
    bool AttachInside() const { return FAttachInside; }

    std::string Secondary;      // media subtype ("plain" by default, upper case from a header)
    std::string DefaultCharset; // charset name assumed when the header names none
    TMimeChar TargetCharset;    // charset that DecodeBody converts text into
    std::string Description;
    std::string Disposition; // disposition type, upper case (ATTACHMENT, INLINE...)
    std::string ContentID;
    std::string Boundary; // multipart boundary, case as written
    std::string FileName; // encoded words decoded, directories removed
    // Raw lines of the part: header block and body. A root is given its lines; a sub-part shares a
    // stretch of its parent's, and PartBody, PrePart and PostPart share stretches of Lines, so the lines a
    // split part reads from must stay as they are while its tree is read.
    TPartLines Lines;
    TPartLines PartBody; // body lines, not decoded
    ::Lines Headers;     // the part's header lines, unfolded
    TPartLines PrePart;  // multipart preamble
    TPartLines PostPart; // multipart epilogue, right-trimmed
    // Decoded body filled by DecodeBody: bytes in TargetCharset for converted text parts, lines
    // separated as in the source (CR LF after every line of a joined body).
    std::string DecodedLines;
    int32_t SubLevel = 0;     // nesting depth; 0 for a root
    int32_t MaxSubLevel = -1; // nesting limit; -1 means none (MimeMaxNesting still applies)
    bool ConvertCharset = true;
    bool ForcedHTMLConvert = false;
    THookWalkPart OnWalkPart; // carried, never called
    int32_t MaxLineLength = 78;

    // Back to the state before splitting; keeps Lines, DefaultCharset, SubLevel, MaxSubLevel,
    // MaxLineLength and OnWalkPart, frees the sub-parts.
    void Reset();

    int32_t CountSubParts() const;
    // Direct sub-part at a zero-based index, or nullptr outside 0 .. CountSubParts()-1.
    TMimePart* SubPartAt(int32_t index) const;
    void ClearSubParts();
    // New sub-part appended to this part: DefaultCharset and MaxSubLevel copied, SubLevel + 1.
    TMimePart* NewSubPart();
    // True when a multipart or embedded message at this level is split into sub-parts.
    bool CanSplitFurther() const;

    // Builds Headers, the content fields, PartBody, PrePart, PostPart and the sub-part tree from Lines.
    // Splitting stops at MimeMaxNesting levels, at MimeMaxParts parts, and once the sub-parts, level by
    // level, have read several times the bytes of Lines (which bounds the work of deep nesting over a
    // large body); parts beyond a limit keep their body unsplit in PartBody.
    void SplitParts();
    // Derives the content fields from Headers.
    void ReadPartHeaders();
    // Fills DecodedLines from PartBody: transfer decoding, then for text parts the charset conversion.
    void DecodeBody();
    // The text DecodeBody would give, split at CR LF, a lone CR or a lone LF into lines (a line end after
    // the last line adds no empty line). Plain bodies that need no conversion are taken line by line from
    // PartBody without joining them; the strings already in lines are reused. DecodedLines is left empty.
    void DecodeBodyLines(::Lines& lines);

  private:
    std::string FPrimary;
    TMimePrimary FPrimaryCode = MP_TEXT;
    std::string FEncoding;
    TMimeEncoding FEncodingCode = ME_7BIT;
    std::string FCharset;
    TMimeChar FCharsetCode;
    bool FAttachInside = false;
    std::vector<std::unique_ptr<TMimePart>> FSubParts;

    // Decoded text that is not kept in DecodedLines, reused from one decoding to the next.
    std::string FScratch;
    // The root of the tree (nullptr in a root), and in a root the parts freed by the last reset, kept for
    // the next split.
    static constexpr std::size_t kMaxSpareParts = 256;
    TMimePart* FRoot = nullptr;
    std::vector<std::unique_ptr<TMimePart>> FSpareParts;
    // In a root, line strings left over by DecodeBodyLines, lent to the next call.
    static constexpr std::size_t kMaxSpareLines = 4096;
    std::vector<std::string> FSpareLines;

    struct TSplitBudget;
    void SetAttachFrom(std::string_view line);
    // SplitParts within what is left of the tree's limits.
    void SplitWithin(TSplitBudget& budget);
    // The decoded body into text (replacing it), using FScratch for the steps in between.
    void DecodeText(std::string& text);
    // Whether DecodeBody converts the charset of text (not when the conversion would leave it unchanged).
    bool ConvertsCharset(const std::string& text) const;
};

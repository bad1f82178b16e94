// One node of the MIME structure of a message: its content fields, the split of its lines into
// header, body and sub-parts, and the decoding of its body into bytes of the target character set.
// The class is implemented by concern: mime_part.cpp (life cycle and sub-part access),
// mime_part_fields.cpp (content fields), mime_part_split.cpp (the tree split and its limits),
// mime_part_pool.cpp (what a root keeps for the next message), mime_part_decode.cpp (body decoding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mime/basic/lines.h"
#include "mime/charset/charsets.h"
#include "mime/mime_part_lines.h"

namespace maildig {

enum TMimePrimary { MP_TEXT, MP_MULTIPART, MP_MESSAGE, MP_BINARY };
enum TMimeEncoding { ME_7BIT, ME_8BIT, ME_QUOTED_PRINTABLE, ME_BASE64, ME_UU, ME_XX };

// Deepest level that is still split into sub-parts, whatever MaxSubLevel says: a part at this
// level keeps its multipart or embedded-message body unsplit in PartBody. It bounds the recursion
// of splitting, of walking the tree and of freeing it, so no message can exhaust the stack.
inline constexpr int32_t MimeMaxNesting = 100;

// Most parts one tree holds. The parts met once a tree has this many keep their body unsplit in PartBody,
// as at the nesting limit, so that a body made of thousands of boundary lines costs no more memory than a
// few megabytes. Parts are split depth first, so the first text leaf of any message with fewer parts than
// this is found as without a limit.
inline constexpr std::size_t MimeMaxParts = 10000;

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
    TPartLines PartBody;    // body lines, not decoded
    maildig::Lines Headers; // the part's header lines, unfolded
    TPartLines PrePart;     // multipart preamble
    TPartLines PostPart;    // multipart epilogue, right-trimmed
    // Decoded body filled by DecodeBody: bytes in TargetCharset for converted text parts, lines
    // separated as in the source (CR LF after every line of a joined body).
    std::string DecodedLines;
    int32_t SubLevel = 0;     // nesting depth; 0 for a root
    int32_t MaxSubLevel = -1; // nesting limit; -1 means none (MimeMaxNesting still applies)
    bool ConvertCharset = true;
    bool ForcedHTMLConvert = false;

    // Back to the state before splitting; keeps Lines, DefaultCharset, SubLevel and MaxSubLevel, frees the
    // sub-parts.
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
    void DecodeBodyLines(maildig::Lines& lines);

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

    // Decoded text and other buffers are kept between messages only up to this size.
    static constexpr std::size_t kKeptBuffer = std::size_t{256} << 10;
    static void ReleaseIfLarge(std::string& buffer);

    // What the root of a tree keeps between messages: the parts freed by the last reset, for the next
    // split, and the line strings left over by DecodeBodyLines, lent to the next call.
    struct TPools {
        static constexpr std::size_t kMaxParts = 256;
        static constexpr std::size_t kMaxLines = 4096;
        std::vector<std::unique_ptr<TMimePart>> Parts;
        std::vector<std::string> Lines;
    };
    TPools FPools;              // used in a root only
    TMimePart* FRoot = nullptr; // the root of the tree; nullptr in a root
    TMimePart& Root() { return FRoot != nullptr ? *FRoot : *this; }
    // A part from the pool made as good as new, or a new one.
    std::unique_ptr<TMimePart> TakeSparePart();
    // Moves the spare line strings to the end of lines.
    void LendSpareLines(maildig::Lines& lines);
    // Keeps the strings of lines from index used on (those not too large), up to the pool's limit.
    void KeepSpareLines(maildig::Lines& lines, std::size_t used);

    // Splitting: what the tree may still spend, the steps of SplitWithin, and the UU flag.
    struct TSplitBudget;
    // SplitParts within what is left of the tree's limits.
    void SplitWithin(TSplitBudget& budget);
    // The header block into Headers; returns the index of the first body line.
    std::size_t ReadHeaderBlock();
    // Preamble, sub-parts (or the unsplit body) of a multipart from line i; returns the line after them.
    std::size_t SplitMultipart(std::size_t i, TSplitBudget& budget, bool split);
    // The embedded message from line i as the one sub-part.
    void SplitEmbedded(std::size_t i, TSplitBudget& budget);
    // Lines from i to the end into list (right-trimmed when trimmed is set), noting a UU block among them.
    void TakeRest(TPartLines& list, std::size_t i, bool trimmed);
    void SetAttachFrom(std::string_view line);

    // True when the body needs no transfer decoding (7bit and 8bit).
    bool IsPlainTransfer() const { return FEncodingCode == ME_7BIT || FEncodingCode == ME_8BIT; }
    // The decoded body into text (replacing it), using FScratch for the steps in between.
    void DecodeText(std::string& text);
    // Whether DecodeBody converts the charset of text (not when the conversion would leave it unchanged).
    bool ConvertsCharset(const std::string& text) const;
};

} // namespace maildig

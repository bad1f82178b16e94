// One node of the MIME structure of a message: its content fields, the split of its lines into
// header, body and sub-parts, and the decoding of its body into bytes of the target character set.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
    ::Lines Lines;        // raw lines of the part: header block and body
    ::Lines PartBody;     // body lines, not decoded
    ::Lines Headers;      // the part's header lines, unfolded
    ::Lines PrePart;      // multipart preamble
    ::Lines PostPart;     // multipart epilogue, right-trimmed
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
    // Splitting stops at MimeMaxNesting levels, and also once the sub-parts hold several times the
    // bytes of Lines; parts beyond either limit keep their body unsplit in PartBody.
    void SplitParts();
    // Derives the content fields from Headers.
    void ReadPartHeaders();
    // Fills DecodedLines from PartBody: transfer decoding, then for text parts the charset conversion.
    void DecodeBody();

  private:
    std::string FPrimary;
    TMimePrimary FPrimaryCode = MP_TEXT;
    std::string FEncoding;
    TMimeEncoding FEncodingCode = ME_7BIT;
    std::string FCharset;
    TMimeChar FCharsetCode;
    bool FAttachInside = false;
    std::vector<std::unique_ptr<TMimePart>> FSubParts;

    void SetAttachFrom(std::string_view line);
    // SplitParts with a limit on the bytes still to be copied into sub-parts of the tree.
    void SplitWithin(std::size_t& budget);
};

// The MIME part tree: construction, reset and access to the sub-parts.
#include "mime/mime_part.h"

namespace maildig {

namespace {

// The system charset and its name, read once: asking the locale costs far more than building a
// part, and a message can hold thousands of parts.
TMimeChar SystemTarget() {
    static const TMimeChar charset = SystemCharset();
    return charset;
}

const std::string& SystemCharsetName() {
    static const std::string name = CharsetName(SystemTarget());
    return name;
}

} // namespace

TMimePart::TMimePart()
    : DefaultCharset(SystemCharsetName()), TargetCharset(SystemTarget()), FCharsetCode(ISO_8859_1) {}

TMimePart::~TMimePart() {
    ClearSubParts();
}

void TMimePart::ReleaseIfLarge(std::string& buffer) {
    if (buffer.capacity() > kKeptBuffer) std::string().swap(buffer);
}

void TMimePart::Reset() {
    FPrimary.clear();
    FEncoding.clear();
    FCharset.clear();
    Secondary.clear();
    Disposition.clear();
    ContentID.clear();
    Description.clear();
    Boundary.clear();
    FileName.clear();
    FPrimaryCode = MP_TEXT;
    FEncodingCode = ME_7BIT;
    FCharsetCode = ISO_8859_1;
    TargetCharset = SystemTarget();
    FAttachInside = false;
    ConvertCharset = true;
    ForcedHTMLConvert = false;
    PartBody.clear();
    Headers.clear();
    PrePart.clear();
    PostPart.clear();
    DecodedLines.clear();
    // What a large message grew is not kept for the next one.
    for (std::string* buffer : {&DecodedLines, &FScratch, &FileName, &Description, &ContentID, &Boundary})
        ReleaseIfLarge(*buffer);
    ClearSubParts();
}

int32_t TMimePart::CountSubParts() const {
    return static_cast<int32_t>(FSubParts.size());
}

TMimePart* TMimePart::SubPartAt(int32_t index) const {
    if (index < 0 || index >= CountSubParts()) return nullptr;
    return FSubParts[static_cast<std::size_t>(index)].get();
}

bool TMimePart::CanSplitFurther() const {
    if (SubLevel >= MimeMaxNesting) return false;
    return MaxSubLevel == -1 || MaxSubLevel > SubLevel;
}

} // namespace maildig

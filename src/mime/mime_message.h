// A downloaded message: its raw lines, the decoded main header fields and the MIME part tree.
// Only decoding: nothing here composes mail.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "mime/basic/lines.h"
#include "mime/charset/charsets.h"
#include "mime/mime_part.h"

namespace maildig {

enum class TMessPriority { MP_unknown, MP_low, MP_normal, MP_high };

// Priority of a "Priority:", "X-Priority:" or "X-MSMail-Priority:" header line: the first word of
// its value, as a number (1-2 high, 3 normal, 4-5 low) or a word (urgent, normal, low...).
TMessPriority ParsePriority(std::string_view line);

class TMessHeader {
  public:
    TMessHeader();
    virtual ~TMessHeader();

    std::string From;
    maildig::Lines ToList; // one entry per address of every To header, display name kept
    maildig::Lines CCList;
    std::string Subject;
    std::string Organization;
    maildig::Lines CustomHeaders; // unfolded header lines that are not recognised, whole
    double Date = 0;              // local date-time, days since 30 December 1899
    std::string XMailer;
    TMimeChar CharsetCode; // charset encoded words are converted into; kept by Reset
    std::string ReplyTo;
    std::string MessageID;
    TMessPriority Priority = TMessPriority::MP_unknown;

    // Stores one unfolded header line; true when its name is one this class knows.
    virtual bool ParseHeaderLine(const std::string& line);
    // Empties the fields; CharsetCode and the per-kind priority slots are kept.
    virtual void Reset();
    // Writing the fields back as header lines is not needed by this program: does nothing.
    virtual void WriteHeaderLines(maildig::Lines& lines) const;

    // Parses the header block at the start of lines (up to the first empty logical line).
    void ParseHeaderLines(const maildig::Lines& lines);

  private:
    TMessPriority FPriority = TMessPriority::MP_unknown;
    TMessPriority FXPriority = TMessPriority::MP_unknown;
    TMessPriority FMsMailPriority = TMessPriority::MP_unknown;
    std::string FLine; // the header line being unfolded, reused
};

class TMimeMess {
  public:
    TMimeMess();
    // A message whose header is of a class derived from TMessHeader.
    explicit TMimeMess(std::unique_ptr<TMessHeader> header);
    virtual ~TMimeMess();
    TMimeMess(const TMimeMess&) = delete;
    TMimeMess& operator=(const TMimeMess&) = delete;

    TMimePart& MessagePart() { return *FMessagePart; }
    const TMimePart& MessagePart() const { return *FMessagePart; }
    // The raw lines. Fill them by assignment, or without copying by moving or swapping a list in (the
    // lines a reused list already holds keep their storage for the next message when swapped back). The
    // part tree reads these lines instead of copying them: change them only before ParseMessage or
    // after Reset.
    maildig::Lines& Lines() { return FLines; }
    const maildig::Lines& Lines() const { return FLines; }
    TMessHeader& Header() { return *FHeader; }
    const TMessHeader& Header() const { return *FHeader; }

    // Resets the part tree and the header, clears Lines (Header().CharsetCode is kept).
    virtual void Reset();
    // Decodes Lines into Header() and MessagePart() (whose lines are these, shared).
    void ParseMessage();

  private:
    std::unique_ptr<TMimePart> FMessagePart;
    maildig::Lines FLines;
    std::unique_ptr<TMessHeader> FHeader;
};

} // namespace maildig

// The two single-message actions: print the message with a given UID, or delete it on the server.
#pragma once

#include <string>

// The Date line's value: the locale's date format (strftime %x) and, unless the time of day is exactly
// midnight, a blank and the locale's time format (%X). A zero date (no Date header) gives "".
std::string formatViewDate(double date);

// Prints the header fields and the first text part of the message whose UID equals the positional argument.
// quit(1) when no listed UID equals it.
void viewByUid();

// Marks the message whose UID equals the positional argument for deletion (DELE). quit(1) when no listed UID
// equals it, quit(17) when the server refuses DELE. The deletion becomes final with the driver's QUIT.
void deleteByUid();

// The value area of a tag as the host hands it to the read function and to SingleWrite, and the
// upper-cased working copy of a tag's address.
//
// The host's area is trusted for its size only: a numeric value is the unsigned 16-bit word at
// byte offset 2 (the first word belongs to the host), a STRING value is an 80-byte text area
// that the host need not have terminated. Every access here stays inside those bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

// A text value as the driver takes it: at most 79 characters and the terminator.
inline constexpr size_t kTextValueSize = KIV_STRING_VALUE_SIZE;
// The working copy of an address: 39 characters and the terminator.
inline constexpr size_t kAddressCopySize = 40;

// The tag record of a read or write request: nullptr when the request lacks its instance, its
// record or the record's value area (the entry point then answers 2).
const GateAccess* GateOfRequest(const KivRequest& request);

// The written number; 0 when the host gave no value area.
uint16_t GateNumber(const GateAccess& gate);
// Stores a number in the value area (the word at byte offset 2); nothing without an area.
void SetGateNumber(const GateAccess& gate, uint16_t value);

// Copies the written text into 'text', cut at 79 characters and always terminated; an empty
// text when the host gave no value area.
void CopyGateText(const GateAccess& gate, char (&text)[kTextValueSize]);
// Fills the 80-byte text area with zeros and copies at most 'size' bytes of 'text' into it,
// stopping at a NUL and leaving the area terminated; nothing without an area.
void SetGateText(const GateAccess& gate, const char* text, size_t size);

// Copies at most 39 characters of the address (an empty text for none) and upper-cases the
// copy with UpperCaseChar.
void CopyUpperCaseAddress(const char* address, char (&copy)[kAddressCopySize]);

}  // namespace kiv
